#include "TextRules.h"

#include <algorithm>

bool SameText(std::string_view ALeft, std::string_view ARight) {
    return ALeft.size() == ARight.size() &&
           std::equal(ALeft.begin(), ALeft.end(), ARight.begin(),
                      [](char X, char Y) { return LowerAscii(X) == LowerAscii(Y); });
}

std::string Quoted(std::string_view AText) {
    std::string Result;
    Result.reserve(AText.size() + 2);
    Result += '"';
    Result += AText;
    Result += '"';
    return Result;
}

std::string_view TrimControls(std::string_view AText) {
    const auto IsBlank = [](char C) { return static_cast<unsigned char>(C) <= ' '; };
    while (!AText.empty() && IsBlank(AText.front()))
        AText.remove_prefix(1);
    while (!AText.empty() && IsBlank(AText.back()))
        AText.remove_suffix(1);
    return AText;
}

std::string_view TrimProfileBlanks(std::string_view AText) {
    constexpr std::string_view Blanks = " \t\r\v\f";
    const std::size_t First = AText.find_first_not_of(Blanks);
    if (First == std::string_view::npos)
        return {};
    const std::size_t Last = AText.find_last_not_of(Blanks);
    return AText.substr(First, Last - First + 1);
}
