#include "SqlParameters.h"

#include "TextRules.h"

#include <algorithm>

namespace {

bool IsNameByte(char AChar) {
    const auto Byte = static_cast<unsigned char>(AChar);
    return (Byte >= 'a' && Byte <= 'z') || (Byte >= 'A' && Byte <= 'Z') ||
           (Byte >= '0' && Byte <= '9') || Byte == '_' || Byte == '$' || Byte >= 0x80;
}

// The position after the quoted text or comment starting at APos; APos when none starts there.
std::size_t SkipQuotedOrComment(std::string_view ASQL, std::size_t APos) {
    const char C = ASQL[APos];
    const auto Until = [&](std::string_view AEnd, std::size_t AFrom) {
        const std::size_t End = ASQL.find(AEnd, AFrom);
        return End == std::string_view::npos ? ASQL.size() : End + AEnd.size();
    };
    switch (C) {
    case '\'':
    case '"':
    case '`': {
        // A doubled quote stands for itself and keeps the text going.
        std::size_t Pos = APos + 1;
        for (;;) {
            Pos = Until(std::string_view(&C, 1), Pos);
            if (Pos < ASQL.size() && ASQL[Pos] == C) {
                ++Pos;
                continue;
            }
            return Pos;
        }
    }
    case '[':
        return Until("]", APos + 1);
    case '-':
        return APos + 1 < ASQL.size() && ASQL[APos + 1] == '-' ? Until("\n", APos + 2) : APos;
    case '/':
        return APos + 1 < ASQL.size() && ASQL[APos + 1] == '*' ? Until("*/", APos + 2) : APos;
    default:
        return APos;
    }
}

} // namespace

std::vector<TSqlParameter> FindSqlParameters(std::string_view ASQL) {
    std::vector<TSqlParameter> Result;
    for (std::size_t Pos = 0; Pos < ASQL.size();) {
        const std::size_t Skipped = SkipQuotedOrComment(ASQL, Pos);
        if (Skipped != Pos) {
            Pos = Skipped;
            continue;
        }
        if (ASQL[Pos] != ':' || (Pos > 0 && ASQL[Pos - 1] == ':')) {
            ++Pos;
            continue;
        }
        std::size_t End = Pos + 1;
        while (End < ASQL.size() && IsNameByte(ASQL[End]))
            ++End;
        if (End == Pos + 1) {
            ++Pos;
            continue;
        }
        const std::string_view Name = ASQL.substr(Pos + 1, End - Pos - 1);
        const auto Same = std::find_if(Result.begin(), Result.end(),
                                       [Name](const TSqlParameter& P) { return SameText(P.Name, Name); });
        if (Same != Result.end())
            Same->Places.push_back(Pos);
        else
            Result.push_back(TSqlParameter{std::string(Name), {Pos}});
        Pos = End;
    }
    return Result;
}
