// The connection-string reader on any text and key, against a reference reading; and a data
// source put after a provider reads back as itself, trimmed and unquoted. The PostgreSQL
// reader on any text, and on strings of each form holding a password: always refused, never
// shown; a Jet string is never taken for a server.
#include "ConnectionString.h"
#include "FuzzSupport.h"
#include "PgConnectionString.h"

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

// A password no other part of the string holds.
constexpr std::string_view Secret = "S3cr3tPw";

std::string WithoutSecret(std::string AText) {
    for (auto At = AText.find(Secret); At != std::string::npos; At = AText.find(Secret))
        AText.erase(At, Secret.size());
    return AText;
}

// A server's string of one of the three forms, its parts from the input, holding the password.
std::string WithPassword(FuzzedDataProvider& AInput) {
    const auto Part = [&AInput](const char* AStops) {
        std::string Text = AInput.ConsumeRandomLengthString(24);
        std::erase_if(Text, [AStops](char C) { return std::string_view(AStops).find(C) != std::string_view::npos; });
        return WithoutSecret(Text);
    };
    // No '%' either: a URI's part decoded could spell the password.
    const std::string User = Part("@/?:;'% \\"), Host = Part("@/?;'% \\"), Database = Part("?;'% \\");
    switch (AInput.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return "postgresql://" + User + ":" + std::string(Secret) + "@" + Host + "/" + Database;
    case 1:
        return "postgres://" + Host + "/" + Database + "?password=" + std::string(Secret);
    case 2:
        return "host='" + Host + "' password=" + std::string(Secret) + " dbname='" + Database + "'";
    default:
        return "Provider=PostgreSQL;Host=" + Host + ";Password=" + std::string(Secret) + ";Database=" + Database;
    }
}

void CheckServerString(FuzzedDataProvider& AInput) {
    switch (AInput.ConsumeIntegralInRange(0, 2)) {
    case 0: {
        // Any text: read without a crash; what it shows holds no more than the text.
        const std::string Text = AInput.ConsumeRemainingBytesAsString();
        if (IsPgConnectionString(Text)) {
            const TPgConnectInfo Info = ParsePgConnectionString(Text);
            FUZZ_CHECK(PgDisplayName(Info).rfind("postgresql://", 0) == 0);
        }
        return;
    }
    case 1: {
        const std::string Text = WithPassword(AInput);
        FUZZ_CHECK(IsPgConnectionString(Text));
        const TPgConnectInfo Info = ParsePgConnectionString(Text);
        FUZZ_CHECK(Info.Problem.find("holds a password") != std::string::npos);
        FUZZ_CHECK(Info.Problem.find(Secret) == std::string::npos);
        FUZZ_CHECK(PgDisplayName(Info).find(Secret) == std::string::npos);
        return;
    }
    default: {
        const std::string Provider = WithoutSemicolons(AInput.ConsumeRandomLengthString(64));
        const std::string Text = "Provider=" + Provider + ";Data Source=" + AInput.ConsumeRemainingBytesAsString();
        const std::string Named = Unquoted(TrimControls(Provider));
        if (Named.size() < 10 || Folded(std::string_view(Named).substr(0, 10)) != "POSTGRESQL")
            FUZZ_CHECK(!IsPgConnectionString(Text));
        return;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    FuzzedDataProvider Input(AData, ASize);
    if (Input.ConsumeIntegralInRange(0, 2) == 0) {
        CheckServerString(Input);
        return 0;
    }
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
