// The case folding of the code without Qt (the plug-in's) against Qt's own, which the wizard
// and the headless program fold with.
#include "CaseFold.h"

#include <QChar>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool IsUtf8(const std::string& AText) {
    for (std::size_t I = 0; I < AText.size();) {
        char32_t Code = 0;
        const std::size_t Length = DecodeUtf8(AText, I, Code);
        if (Length == 0)
            return false;
        I += Length;
    }
    return true;
}

TEST(CaseFold, TheTableFoldsEveryCodePointAsQtDoes) {
    int Differences = 0;
    for (char32_t Code = 0; Code <= 0x10FFFF; ++Code) {
        if (FoldCodePoint(Code) != QChar::toCaseFolded(Code) && ++Differences <= 10)
            ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(Code) << " folds to U+"
                          << static_cast<unsigned>(FoldCodePoint(Code)) << ", Qt gives U+"
                          << static_cast<unsigned>(QChar::toCaseFolded(Code));
    }
    EXPECT_EQ(Differences, 0);
}

// The other direction, which the folded lookups spell names with: every code point that
// folds alike, and only those.
TEST(CaseFold, VariantsAreExactlyTheCodePointsThatFoldAlike) {
    std::vector<std::vector<char32_t>> ByFolding(0x110000);
    for (char32_t Code = 0; Code <= 0x10FFFF; ++Code)
        ByFolding[QChar::toCaseFolded(Code)].push_back(Code);
    int Differences = 0;
    for (char32_t Code = 0; Code <= 0x10FFFF; ++Code) {
        const std::vector<char32_t>& Expected = ByFolding[QChar::toCaseFolded(Code)];
        if (CaseVariants(Code) != Expected && ++Differences <= 10)
            ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(Code);
        const bool Outside = Code >= 0x80 && Expected.size() > 1;
        if (HasCaseVariantsOutsideAscii(Code) != Outside && ++Differences <= 10)
            ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(Code) << " outside ASCII";
    }
    EXPECT_EQ(Differences, 0);
}

// The order of the Access copy's NOCASE: that of the folded texts, equal exactly when they
// fold alike, a stray byte after every character.
TEST(CaseFold, FoldedOrderIsThatOfTheFoldedTexts) {
    const std::vector<std::string> Texts{
        "",        "a",         "A",         "ab",       "aB",      "b",       "é",
        "É",       "e",         "éa",        "Éz",       "ÉZ",      "ß",       "ẞ",
        "ss",      "Σ",         "σ",         "ς",        "k",       "\u212A",  "K",
        "Ａ",      "ａ",        "\U00010400", "\U00010428", "流行",  "\xC3",    "\xC3" "A",
        "\xFF",    "a\xFF",     "Ä\xC3",     "ä\xC3"};
    const auto Sign = [](int AValue) { return (AValue > 0) - (AValue < 0); };
    for (const std::string& Left : Texts)
        for (const std::string& Right : Texts) {
            const int Folded = Sign(CompareFolded(Left, Right));
            EXPECT_EQ(Folded, -Sign(CompareFolded(Right, Left))) << Left << " | " << Right;
            EXPECT_EQ(Folded == 0, FoldCase(Left) == FoldCase(Right)) << Left << " | " << Right;
            if (IsUtf8(Left) && IsUtf8(Right)) {
                EXPECT_EQ(Folded, Sign(FoldCase(Left).compare(FoldCase(Right))))
                    << Left << " | " << Right;
            }
        }
    EXPECT_GT(CompareFolded("\xC3", "\U0010FFFF"), 0);
}

} // namespace
