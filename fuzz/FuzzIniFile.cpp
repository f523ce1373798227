// The profile reader on any file content, and write-then-read: a value written reads back as
// reading that value from a line of its own gives, and every other key reads as before.
#include "FuzzSupport.h"
#include "IniFile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

const std::string& ProfileName() {
    static const TFuzzDir Dir("ini");
    static const std::string Name = Dir.File("Profile.ini");
    return Name;
}

// No read returns a line break, so this default tells a missing key from any value.
constexpr std::string_view Missing = "\n(missing)";
constexpr std::string_view Bom = "\xEF\xBB\xBF";

void WriteFile(const std::string& AName, const std::string& AContent) {
    std::FILE* File = std::fopen(AName.c_str(), "wb");
    FUZZ_CHECK(File != nullptr);
    FUZZ_CHECK(std::fwrite(AContent.data(), 1, AContent.size(), File) == AContent.size());
    FUZZ_CHECK(std::fclose(File) == 0);
}

std::string ReadFile(const std::string& AName) {
    std::string Content;
    std::FILE* File = std::fopen(AName.c_str(), "rb");
    FUZZ_CHECK(File != nullptr);
    char Buffer[4096];
    std::size_t Count;
    while ((Count = std::fread(Buffer, 1, sizeof Buffer, File)) > 0)
        Content.append(Buffer, Count);
    std::fclose(File);
    return Content;
}

// The blanks of the profile rules: space, tab, CR, VT and FF.
bool IsBlank(char AChar) {
    return AChar == ' ' || AChar == '\t' || AChar == '\r' || AChar == '\v' || AChar == '\f';
}

std::string_view TrimBlanks(std::string_view AText) {
    while (!AText.empty() && IsBlank(AText.front()))
        AText.remove_prefix(1);
    while (!AText.empty() && IsBlank(AText.back()))
        AText.remove_suffix(1);
    return AText;
}

bool SameName(std::string_view ALeft, std::string_view ARight) {
    const auto Lower = [](char AChar) {
        return AChar >= 'A' && AChar <= 'Z' ? static_cast<char>(AChar - 'A' + 'a') : AChar;
    };
    if (ALeft.size() != ARight.size())
        return false;
    for (std::size_t I = 0; I < ALeft.size(); ++I)
        if (Lower(ALeft[I]) != Lower(ARight[I]))
            return false;
    return true;
}

bool StartsCharacter(char AByte) { return (static_cast<unsigned char>(AByte) & 0xC0) != 0x80; }

std::size_t Characters(std::string_view AText) {
    std::size_t Count = 0;
    for (const char Byte : AText)
        Count += StartsCharacter(Byte) ? 1 : 0;
    return Count;
}

// What a read returns for a stored value: blanks dropped, then matching quotes, then the cut.
std::string ReadRule(std::string_view AStored) {
    std::string_view Value = TrimBlanks(AStored);
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
        Value.back() == Value.front())
        Value = Value.substr(1, Value.size() - 2);
    std::size_t Count = 0;
    for (std::size_t I = 0; I < Value.size(); ++I)
        if (StartsCharacter(Value[I]) && ++Count > TIniFile::MaxValueLength)
            return std::string(Value.substr(0, I));
    return std::string(Value);
}

// Sign and decimal digits within 32 bits, or 0x and up to eight hexadecimal digits.
std::int32_t ReferenceInt(std::string_view AText, std::int32_t ADefault) {
    std::string_view Text = TrimBlanks(AText);
    if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
        std::uint64_t Value = 0;
        for (const char Char : Text.substr(2)) {
            const char Lower = Char >= 'A' && Char <= 'F' ? static_cast<char>(Char + 32) : Char;
            int Digit;
            if (Lower >= '0' && Lower <= '9')
                Digit = Lower - '0';
            else if (Lower >= 'a' && Lower <= 'f')
                Digit = Lower - 'a' + 10;
            else
                return ADefault;
            Value = Value * 16 + static_cast<std::uint64_t>(Digit);
            if (Value > 0xFFFFFFFFu)
                return ADefault;
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(Value));
    }
    bool Negative = false;
    if (!Text.empty() && (Text[0] == '+' || Text[0] == '-')) {
        Negative = Text[0] == '-';
        Text.remove_prefix(1);
    }
    if (Text.empty())
        return ADefault;
    std::int64_t Value = 0;
    for (const char Char : Text) {
        if (Char < '0' || Char > '9')
            return ADefault;
        Value = Value * 10 + (Char - '0');
        if (Value > 2147483648LL)
            return ADefault;
    }
    if (Negative)
        Value = -Value;
    if (Value < INT32_MIN || Value > INT32_MAX)
        return ADefault;
    return static_cast<std::int32_t>(Value);
}

struct TName {
    std::string Section;
    std::string Key;
};

// Section and key names found in the content, by a plain reading of the format.
std::vector<TName> NamesIn(std::string_view AContent, std::size_t AMax) {
    std::vector<TName> Names;
    if (AContent.starts_with(Bom))
        AContent.remove_prefix(Bom.size());
    std::string Section;
    bool InSection = false;
    while (!AContent.empty() && Names.size() < AMax) {
        const std::size_t End = AContent.find('\n');
        const std::string_view Line = TrimBlanks(AContent.substr(0, End));
        AContent = End == std::string_view::npos ? std::string_view() : AContent.substr(End + 1);
        if (Line.starts_with('[') && Line.find(']') != std::string_view::npos) {
            Section = TrimBlanks(Line.substr(1, Line.rfind(']') - 1));
            InSection = true;
        } else if (InSection && !Line.starts_with(';') && Line.find('=') != std::string_view::npos) {
            Names.push_back({Section, std::string(TrimBlanks(Line.substr(0, Line.find('='))))});
        }
    }
    return Names;
}

bool OnOneLine(std::string_view AText) {
    return AText.find('\r') == std::string_view::npos && AText.find('\n') == std::string_view::npos;
}

// Names and a value that certainly fit in a section line and a key line of their own.
bool Storable(std::string_view ASection, std::string_view AKey, std::string_view AValue) {
    const std::string_view Section = TrimBlanks(ASection);
    const std::string_view Key = TrimBlanks(AKey);
    return OnOneLine(ASection) && OnOneLine(AKey) && OnOneLine(AValue) && !Section.empty() &&
           Section.find(']') == std::string_view::npos && !Key.empty() &&
           Key.find('=') == std::string_view::npos && Key.front() != '[' && Key.front() != ';';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    FuzzedDataProvider Input(AData, ASize);
    const std::string Content = Input.ConsumeRandomLengthString(8192);
    const std::string ReadSection = Input.ConsumeRandomLengthString(64);
    const std::string ReadKey = Input.ConsumeRandomLengthString(64);
    const std::int32_t Default = Input.ConsumeIntegral<std::int32_t>();
    const std::string WriteSection = Input.ConsumeRandomLengthString(64);
    const std::string WriteKey = Input.ConsumeRandomLengthString(64);
    std::string WriteValue = Input.ConsumeRandomLengthString(4096);
    // Past the 2047-character cut now and then.
    if (Input.ConsumeBool() && !WriteValue.empty())
        while (WriteValue.size() < 2 * TIniFile::MaxValueLength)
            WriteValue += WriteValue;

    const std::string& Name = ProfileName();
    WriteFile(Name, Content);
    TIniFile Ini(Name);

    const std::string Value = Ini.ReadString(ReadSection, ReadKey, Missing);
    const bool Found = Value != Missing;
    FUZZ_CHECK(!Found || Value.find('\n') == std::string::npos);
    FUZZ_CHECK(Characters(Value) <= TIniFile::MaxValueLength);
    FUZZ_CHECK(Ini.ReadInteger(ReadSection, ReadKey, Default) ==
               (Found ? ReferenceInt(Value, Default) : Default));
    for (const bool BoolDefault : {false, true})
        FUZZ_CHECK(Ini.ReadBool(ReadSection, ReadKey, BoolDefault) ==
                   (Found ? ReferenceInt(Value, BoolDefault ? 1 : 0) != 0 : BoolDefault));

    std::vector<TName> Names = NamesIn(Content, 32);
    Names.push_back({ReadSection, ReadKey});
    Names.push_back({WriteSection, WriteKey});
    std::vector<std::string> Before;
    for (const TName& Each : Names)
        Before.push_back(Ini.ReadString(Each.Section, Each.Key, Missing));

    try {
        Ini.WriteString(WriteSection, WriteKey, WriteValue);
    } catch (const TIniError&) {
        FUZZ_CHECK(!Storable(WriteSection, WriteKey, WriteValue));
        FUZZ_CHECK(ReadFile(Name) == Content);
        return 0;
    }

    FUZZ_CHECK(ReadFile(Name).starts_with(Bom) == Content.starts_with(Bom));
    FUZZ_CHECK(Ini.ReadString(WriteSection, WriteKey, Missing) == ReadRule(WriteValue));
    for (std::size_t I = 0; I < Names.size(); ++I) {
        const bool Written = SameName(TrimBlanks(Names[I].Section), TrimBlanks(WriteSection)) &&
                             SameName(TrimBlanks(Names[I].Key), TrimBlanks(WriteKey));
        FUZZ_CHECK(Ini.ReadString(Names[I].Section, Names[I].Key, Missing) ==
                   (Written ? ReadRule(WriteValue) : Before[I]));
    }
    return 0;
}
