// Connection strings as the Jet provider takes them: "Key=Value;Key=Value;...".
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Every Key=Value pair in order (blanks around keys and values, and one pair of quotes around a
// value, dropped); a part without '=' is skipped.
std::vector<std::pair<std::string, std::string>> ConnectionStringPairs(std::string_view AConnectionString);

// The value of AKey (any letter case; blanks around keys and values, and one pair of quotes
// around a value, dropped); "" when absent.
std::string ConnectionStringValue(std::string_view AConnectionString, std::string_view AKey);
