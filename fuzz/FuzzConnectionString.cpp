// The connection-string reader on any text and key, against a reference reading; and a data
// source put after a provider reads back as itself, trimmed and unquoted.
#include "ConnectionString.h"
#include "FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace {

// Characters of code 32 and below are blank.
std::string_view TrimControls(std::string_view AText) {
    const auto Blank = [](char AChar) { return static_cast<unsigned char>(AChar) <= 32; };
    std::size_t First = 0;
    std::size_t Last = AText.size();
    while (First < Last && Blank(AText[First]))
        ++First;
    while (Last > First && Blank(AText[Last - 1]))
        --Last;
    return AText.substr(First, Last - First);
}

std::string Unquoted(std::string_view AValue) {
    if (AValue.size() >= 2 && (AValue[0] == '"' || AValue[0] == '\'') &&
        AValue[AValue.size() - 1] == AValue[0])
        return std::string(AValue.substr(1, AValue.size() - 2));
    return std::string(AValue);
}

char FoldAscii(char AChar) {
    return AChar >= 'a' && AChar <= 'z' ? static_cast<char>(AChar - 'a' + 'A') : AChar;
}

std::string Folded(std::string_view AText) {
    std::string Result(AText);
    for (char& Char : Result)
        Char = FoldAscii(Char);
    return Result;
}

// The first "key=value" part whose trimmed key equals AKey without regard to ASCII case.
std::string ReferenceValue(std::string_view AText, std::string_view AKey) {
    std::size_t Start = 0;
    while (Start < AText.size()) {
        std::size_t End = AText.find(';', Start);
        if (End == std::string_view::npos)
            End = AText.size();
        const std::string_view Part = AText.substr(Start, End - Start);
        Start = End + 1;
        const std::size_t Equals = Part.find('=');
        if (Equals != std::string_view::npos &&
            Folded(TrimControls(Part.substr(0, Equals))) == Folded(AKey))
            return Unquoted(TrimControls(Part.substr(Equals + 1)));
    }
    return {};
}

std::string WithoutSemicolons(std::string AText) {
    std::erase(AText, ';');
    return AText;
}

// The key with its letters in the case the input picks.
std::string Recased(std::string_view AKey, FuzzedDataProvider& AInput) {
    std::string Result(AKey);
    const auto Mask = AInput.ConsumeIntegral<std::uint16_t>();
    for (std::size_t I = 0; I < Result.size(); ++I) {
        const char Char = Result[I];
        const bool Upper = (Mask >> (I % 16)) & 1;
        if (Char >= 'a' && Char <= 'z' && Upper)
            Result[I] = static_cast<char>(Char - 'a' + 'A');
        else if (Char >= 'A' && Char <= 'Z' && !Upper)
            Result[I] = static_cast<char>(Char - 'A' + 'a');
    }
    return Result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    FuzzedDataProvider Input(AData, ASize);
    if (Input.ConsumeBool()) {
        const std::string Key = Input.ConsumeRandomLengthString(64);
        const std::string Text = Input.ConsumeRemainingBytesAsString();
        const std::string Value = ConnectionStringValue(Text, Key);
        FUZZ_CHECK(Value == ReferenceValue(Text, Key));
        FUZZ_CHECK(Value.find(';') == std::string::npos);
        return 0;
    }
    const std::string Provider = WithoutSemicolons(Input.ConsumeRandomLengthString(64));
    const std::string Key = Recased("Data Source", Input);
    const std::string Tail = Input.ConsumeBool() ? ";Persist Security Info=false;" : "";
    const std::string Source = WithoutSemicolons(Input.ConsumeRemainingBytesAsString());
    const std::string Text = "Provider=" + Provider + ";Data Source=" + Source + Tail;
    FUZZ_CHECK(ConnectionStringValue(Text, Key) == Unquoted(TrimControls(Source)));
    return 0;
}
