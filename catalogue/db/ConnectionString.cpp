#include "ConnectionString.h"

#include "TextRules.h"

namespace {

// Calls AOn(Key, Value) for each pair until it returns false.
template <typename TOn>
void ForEachPair(std::string_view AConnectionString, TOn AOn) {
    std::string_view Rest = AConnectionString;
    while (!Rest.empty()) {
        const auto End = Rest.find(';');
        const std::string_view Part = Rest.substr(0, End);
        Rest = End == std::string_view::npos ? std::string_view() : Rest.substr(End + 1);
        const auto Equals = Part.find('=');
        if (Equals == std::string_view::npos)
            continue;
        std::string_view Value = TrimControls(Part.substr(Equals + 1));
        if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') && Value.back() == Value.front())
            Value = Value.substr(1, Value.size() - 2);
        if (!AOn(TrimControls(Part.substr(0, Equals)), Value))
            return;
    }
}

} // namespace

std::string ConnectionStringValue(std::string_view AConnectionString, std::string_view AKey) {
    std::string Result;
    ForEachPair(AConnectionString, [&](std::string_view AName, std::string_view AValue) {
        if (!SameText(AName, AKey))
            return true;
        Result = AValue;
        return false;
    });
    return Result;
}

std::vector<std::pair<std::string, std::string>> ConnectionStringPairs(std::string_view AConnectionString) {
    std::vector<std::pair<std::string, std::string>> Result;
    ForEachPair(AConnectionString, [&](std::string_view AName, std::string_view AValue) {
        Result.emplace_back(AName, AValue);
        return true;
    });
    return Result;
}
