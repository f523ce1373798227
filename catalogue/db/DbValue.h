// A value of a result row, as any engine hands it over, and the rules the catalogue code was
// written against (Jet through ADO) for reading it as text, a 32-bit integer or a date-time.
// Written once here, not in each engine.
#pragma once

#include "DateTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

// Null, an integer, a real or text (UTF-8).
using TDbValue = std::variant<std::monostate, std::int64_t, double, std::string>;

// A column's declared kind, as the engine tells it: a null read as an integer is 0 in any
// column but a text one.
enum class TFieldKind { Untyped, Integer, Text, Real, Numeric };

// Text as it reads: null is empty, numbers in decimal (reals with up to 15 significant digits).
std::string ValueText(const TDbValue& AValue);

// The value as a 32-bit integer: a null is 0 outside text columns; an integer or a real
// (rounded to the nearest) within 32 bits; text only when it is a decimal integer within 32 bits
// (an optional sign, digits, nothing else). nullopt otherwise: empty text and a null in a text
// column included.
std::optional<std::int32_t> ValueInteger(const TDbValue& AValue, TFieldKind AKind);

// The value as a date-time: a null is 0.0, a number is taken as it is, text must be a date
// (ParseDateText); nullopt for other text.
std::optional<TDateTime> ValueDateTime(const TDbValue& AValue);
