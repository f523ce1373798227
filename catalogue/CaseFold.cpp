#include "CaseFold.h"

#include "TextRules.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

struct TFoldPair {
    std::uint32_t From;
    std::uint32_t To;
};

#include "CaseFoldTable.inc"

constexpr bool ByFrom(const TFoldPair& ALeft, std::uint32_t ACode) { return ALeft.From < ACode; }

// The table's code points lie in a few blocks of 256: most text (CJK above all) is told to have
// no case by one bit.
constexpr std::size_t BlockCount = 0x110000 / 256;
constexpr std::array<bool, BlockCount> CasedBlocks = [] {
    std::array<bool, BlockCount> Blocks{};
    for (const TFoldPair& Pair : FoldPairs) {
        Blocks[Pair.From / 256] = true;
        Blocks[Pair.To / 256] = true;
    }
    return Blocks;
}();

static_assert(std::is_sorted(std::begin(FoldPairs), std::end(FoldPairs),
                             [](const TFoldPair& A, const TFoldPair& B) { return A.From < B.From; }));
static_assert(std::is_sorted(std::begin(FoldSources), std::end(FoldSources),
                             [](const TFoldPair& A, const TFoldPair& B) {
                                 return A.From < B.From || (A.From == B.From && A.To < B.To);
                             }));

// A unit of the folded order: a folded code point, or a stray byte after all of them.
std::uint32_t NextUnit(std::string_view AText, std::size_t& APos) {
    const auto Lead = static_cast<unsigned char>(AText[APos]);
    if (Lead < 0x80) {
        ++APos;
        return static_cast<unsigned char>(LowerAscii(static_cast<char>(Lead)));
    }
    char32_t Code = 0;
    const std::size_t Length = DecodeUtf8(AText, APos, Code);
    if (Length == 0) {
        ++APos;
        return 0x110000u + Lead;
    }
    APos += Length;
    return FoldCodePoint(Code);
}

} // namespace

char32_t FoldCodePoint(char32_t ACode) {
    if (ACode < 0x80)
        return static_cast<unsigned char>(LowerAscii(static_cast<char>(ACode)));
    if (ACode >= 0x110000 || !CasedBlocks[ACode / 256])
        return ACode;
    const auto* At = std::lower_bound(std::begin(FoldPairs), std::end(FoldPairs), ACode, ByFrom);
    return At != std::end(FoldPairs) && At->From == ACode ? At->To : ACode;
}

std::string FoldCase(std::string_view AText) { return MapCodePoints(AText, FoldCodePoint); }

std::vector<char32_t> CaseVariants(char32_t ACode) {
    const char32_t Folded = FoldCodePoint(ACode);
    std::vector<char32_t> Result{Folded};
    const auto* At = std::lower_bound(std::begin(FoldSources), std::end(FoldSources), Folded, ByFrom);
    for (; At != std::end(FoldSources) && At->From == Folded; ++At)
        Result.push_back(At->To);
    std::sort(Result.begin(), Result.end());
    return Result;
}

bool HasCaseVariantsOutsideAscii(char32_t ACode) {
    if (ACode < 0x80 || ACode >= 0x110000 || !CasedBlocks[ACode / 256])
        return false;
    // Either it folds to another, or another folds to it.
    if (FoldCodePoint(ACode) != ACode)
        return true;
    const auto* At = std::lower_bound(std::begin(FoldSources), std::end(FoldSources), ACode, ByFrom);
    return At != std::end(FoldSources) && At->From == ACode;
}

bool NeedsFoldedLookup(std::string_view AText) {
    for (std::size_t I = 0; I < AText.size();) {
        if (static_cast<unsigned char>(AText[I]) < 0x80) {
            ++I;
            continue;
        }
        char32_t Code = 0;
        const std::size_t Length = DecodeUtf8(AText, I, Code);
        if (Length == 0) {
            ++I;
            continue;
        }
        if (HasCaseVariantsOutsideAscii(Code))
            return true;
        I += Length;
    }
    return false;
}

int CompareFolded(std::string_view ALeft, std::string_view ARight) {
    std::size_t Left = 0;
    std::size_t Right = 0;
    while (Left < ALeft.size() && Right < ARight.size()) {
        const std::uint32_t A = NextUnit(ALeft, Left);
        const std::uint32_t B = NextUnit(ARight, Right);
        if (A != B)
            return A < B ? -1 : 1;
    }
    if (Left < ALeft.size())
        return 1;
    return Right < ARight.size() ? -1 : 0;
}
