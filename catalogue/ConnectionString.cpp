#include "ConnectionString.h"

#include "TextRules.h"

std::string ConnectionStringValue(std::string_view AConnectionString, std::string_view AKey) {
    std::string_view Rest = AConnectionString;
    while (!Rest.empty()) {
        const auto End = Rest.find(';');
        const std::string_view Part = Rest.substr(0, End);
        Rest = End == std::string_view::npos ? std::string_view() : Rest.substr(End + 1);
        const auto Equals = Part.find('=');
        if (Equals == std::string_view::npos)
            continue;
        if (SameText(TrimControls(Part.substr(0, Equals)), AKey)) {
            std::string_view Value = TrimControls(Part.substr(Equals + 1));
            if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
                Value.back() == Value.front())
                Value = Value.substr(1, Value.size() - 2);
            return std::string(Value);
        }
    }
    return {};
}
