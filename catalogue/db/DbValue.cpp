#include "DbValue.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

namespace {

bool ParseInt32(std::string_view AText, std::int32_t& AValue) {
    if (AText.empty())
        return false;
    std::size_t Pos = 0;
    bool Negative = false;
    if (AText[0] == '+' || AText[0] == '-') {
        Negative = AText[0] == '-';
        Pos = 1;
    }
    if (Pos == AText.size())
        return false;
    std::int64_t Value = 0;
    for (; Pos < AText.size(); ++Pos) {
        const char C = AText[Pos];
        if (C < '0' || C > '9')
            return false;
        Value = Value * 10 + (C - '0');
        if (Value > 2147483648LL)
            return false;
    }
    if (Negative)
        Value = -Value;
    if (Value > std::numeric_limits<std::int32_t>::max())
        return false;
    AValue = static_cast<std::int32_t>(Value);
    return true;
}

} // namespace

std::string ValueText(const TDbValue& AValue) {
    if (const auto* Text = std::get_if<std::string>(&AValue))
        return *Text;
    if (const auto* Int = std::get_if<std::int64_t>(&AValue))
        return std::to_string(*Int);
    if (const auto* Real = std::get_if<double>(&AValue)) {
        char Buffer[64];
        std::snprintf(Buffer, sizeof Buffer, "%.15g", *Real);
        return Buffer;
    }
    return {};
}

std::optional<std::int32_t> ValueInteger(const TDbValue& AValue, TFieldKind AKind) {
    if (std::holds_alternative<std::monostate>(AValue)) {
        // A null reads as 0, except in a text column: empty text is no number.
        if (AKind != TFieldKind::Text)
            return 0;
        return std::nullopt;
    }
    if (const auto* Int = std::get_if<std::int64_t>(&AValue)) {
        if (*Int < std::numeric_limits<std::int32_t>::min() ||
            *Int > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
        return static_cast<std::int32_t>(*Int);
    }
    if (const auto* Real = std::get_if<double>(&AValue)) {
        const double Rounded = std::nearbyint(*Real);
        if (!(Rounded >= -2147483648.0 && Rounded <= 2147483647.0))
            return std::nullopt;
        return static_cast<std::int32_t>(Rounded);
    }
    std::int32_t Result = 0;
    if (!ParseInt32(std::get<std::string>(AValue), Result))
        return std::nullopt;
    return Result;
}

std::optional<TDateTime> ValueDateTime(const TDbValue& AValue) {
    if (std::holds_alternative<std::monostate>(AValue))
        return 0.0;
    if (const auto* Int = std::get_if<std::int64_t>(&AValue))
        return static_cast<double>(*Int);
    if (const auto* Real = std::get_if<double>(&AValue))
        return *Real;
    TDateTime Result = 0.0;
    if (!ParseDateText(std::get<std::string>(AValue), Result))
        return std::nullopt;
    return Result;
}
