#include "SqlParameters.h"

#include "TextRules.h"

#include <algorithm>
#include <array>

namespace {

// What each byte can be: the start of a mark, quote or comment, and a byte of a name.
enum : unsigned char { Special = 1, NameByte = 2 };

constexpr std::array<unsigned char, 256> ByteClasses = [] {
    std::array<unsigned char, 256> Classes{};
    for (int Byte = 0; Byte < 256; ++Byte) {
        const bool Name = (Byte >= 'a' && Byte <= 'z') || (Byte >= 'A' && Byte <= 'Z') ||
                          (Byte >= '0' && Byte <= '9') || Byte == '_' || Byte == '$' || Byte >= 0x80;
        const bool Starts = Byte == ':' || Byte == '\'' || Byte == '"' || Byte == '`' || Byte == '[' ||
                            Byte == '-' || Byte == '/';
        Classes[static_cast<std::size_t>(Byte)] =
            static_cast<unsigned char>((Starts ? Special : 0) | (Name ? NameByte : 0));
    }
    return Classes;
}();

bool Is(char AChar, unsigned char AClass) {
    return (ByteClasses[static_cast<unsigned char>(AChar)] & AClass) != 0;
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

TSqlParameters FindSqlParameters(std::string_view ASQL) {
    TSqlParameters Result;
    const auto Colons = static_cast<std::size_t>(std::count(ASQL.begin(), ASQL.end(), ':'));
    Result.Names.reserve(Colons);
    Result.Marks.reserve(Colons);
    for (std::size_t Pos = 0; Pos < ASQL.size();) {
        const char C = ASQL[Pos];
        if (!Is(C, Special)) {
            ++Pos;
            continue;
        }
        const std::size_t Skipped = SkipQuotedOrComment(ASQL, Pos);
        if (Skipped != Pos) {
            Pos = Skipped;
            continue;
        }
        if (C != ':' || (Pos > 0 && ASQL[Pos - 1] == ':')) {
            ++Pos;
            continue;
        }
        std::size_t End = Pos + 1;
        while (End < ASQL.size() && Is(ASQL[End], NameByte))
            ++End;
        if (End == Pos + 1) {
            ++Pos;
            continue;
        }
        const std::string_view Name = ASQL.substr(Pos + 1, End - Pos - 1);
        const auto Parameter = static_cast<int>(
            std::find_if(Result.Names.begin(), Result.Names.end(),
                         [Name](const std::string& AKnown) { return SameText(AKnown, Name); }) -
            Result.Names.begin());
        if (Parameter == static_cast<int>(Result.Names.size()))
            Result.Names.emplace_back(Name);
        Result.Marks.push_back({Pos, End - Pos, Parameter});
        Pos = End;
    }
    return Result;
}
