// The host handle reader: any text (as UTF-8 or as raw UTF-16) against a reference parse, and
// every 64-bit number printed as the host may print it parses back to itself.
#include "CommandLine.h"
#include "FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace {

// Wide enough that no digit string of up to 64 bits overflows while it is read.
__extension__ typedef unsigned __int128 TWide;

// Sign, then "$" or "0x"/"0X" and hexadecimal digits (taken modulo 2^64, the sign negating
// modulo 2^64), or decimal digits within the signed 64-bit range.
std::optional<std::int64_t> ReferenceParse(const std::u16string& AText) {
    std::size_t Pos = 0;
    bool Negative = false;
    if (Pos < AText.size() && (AText[Pos] == u'-' || AText[Pos] == u'+'))
        Negative = AText[Pos++] == u'-';
    unsigned Base = 10;
    if (AText.compare(Pos, 1, u"$") == 0) {
        Base = 16;
        Pos += 1;
    } else if (AText.compare(Pos, 2, u"0x") == 0 || AText.compare(Pos, 2, u"0X") == 0) {
        Base = 16;
        Pos += 2;
    }
    if (Pos == AText.size())
        return std::nullopt;
    const TWide Limit =
        Base == 16 ? UINT64_MAX : (Negative ? TWide{INT64_MAX} + 1 : TWide{INT64_MAX});
    TWide Value = 0;
    for (; Pos < AText.size(); ++Pos) {
        const char16_t C = AText[Pos];
        unsigned Digit;
        if (C >= u'0' && C <= u'9')
            Digit = C - u'0';
        else if (Base == 16 && C >= u'a' && C <= u'f')
            Digit = C - u'a' + 10;
        else if (Base == 16 && C >= u'A' && C <= u'F')
            Digit = C - u'A' + 10;
        else
            return std::nullopt;
        Value = Value * Base + Digit;
        if (Value > Limit)
            return std::nullopt;
    }
    const std::uint64_t Bits = static_cast<std::uint64_t>(Value);
    return static_cast<std::int64_t>(Negative ? ~Bits + 1 : Bits);
}

void CheckText(const QString& AText) {
    const std::optional<std::int64_t> Expected = ReferenceParse(AText.toStdU16String());
    FUZZ_CHECK(ParseInt64(AText) == Expected);
    const std::uintptr_t Handle =
        Expected ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(*Expected)) : 0;
    FUZZ_CHECK(HostHandleFromArguments({"corvena", "/i", AText}) == Handle);
    FUZZ_CHECK(HostHandleFromArguments({"corvena", "/e", AText, "more"}) == Handle);
    FUZZ_CHECK(HostHandleFromArguments({"corvena", "/I", AText}) == 0);
    FUZZ_CHECK(HostHandleFromArguments({"corvena", AText}) == 0);
}

QString Printed(const char* AFormat, std::uint64_t AValue) {
    char Buffer[48];
    std::snprintf(Buffer, sizeof Buffer, AFormat, AValue);
    return QString::fromLatin1(Buffer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    FuzzedDataProvider Input(AData, ASize);
    switch (Input.ConsumeIntegralInRange(0, 2)) {
    case 0:
        CheckText(QString::fromUtf8(Input.ConsumeRemainingBytesAsString()));
        return 0;
    case 1: {
        const std::string Bytes = Input.ConsumeRemainingBytesAsString();
        CheckText(QString::fromUtf16(reinterpret_cast<const char16_t*>(Bytes.data()),
                                     static_cast<qsizetype>(Bytes.size() / 2)));
        return 0;
    }
    default:
        break;
    }
    const auto Value = Input.ConsumeIntegral<std::int64_t>();
    const auto Bits = static_cast<std::uint64_t>(Value);
    const auto Magnitude = Value < 0 ? ~Bits + 1 : Bits;
    const int Zeros = Input.ConsumeIntegralInRange(0, 3);
    const QString Pad(Zeros, u'0');
    const QString Sign = Value < 0 ? "-" : (Input.ConsumeBool() ? "+" : "");
    const QString Forms[] = {
        QString::number(Value),
        Sign + Pad + Printed("%" PRIu64, Magnitude),
        "0x" + Pad + Printed("%" PRIx64, Bits),
        "$" + Pad + Printed("%" PRIX64, Bits),
        Sign + "0X" + Pad + Printed("%" PRIX64, Magnitude),
        Sign + "$" + Pad + Printed("%" PRIx64, Magnitude),
    };
    for (const QString& Form : Forms) {
        FUZZ_CHECK(ParseInt64(Form) == Value);
        CheckText(Form);
    }
    return 0;
}
