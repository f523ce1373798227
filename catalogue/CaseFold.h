// Letter case in every script, without Qt (the plug-in links this). SQLite's NOCASE folds ASCII
// letters only, where the song-request system's database ignores letter case in every script:
// what is told apart here is Unicode simple case folding, one code point for one (ß is not ss,
// accents and character widths still count).
#pragma once

#include "Utf8.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// AText (UTF-8) with every code point replaced by AMap's; bytes that are not UTF-8 stay as they
// are.
template <typename TMap>
std::string MapCodePoints(std::string_view AText, TMap AMap) {
    std::string Result;
    Result.reserve(AText.size());
    for (std::size_t I = 0; I < AText.size();) {
        char32_t Code = 0;
        const std::size_t Length = DecodeUtf8(AText, I, Code);
        if (Length == 0) {
            Result += AText[I++];
            continue;
        }
        AppendUtf8(Result, AMap(Code));
        I += Length;
    }
    return Result;
}

// The code point under simple case folding (itself when it has none).
char32_t FoldCodePoint(char32_t ACode);

// AText (UTF-8) under simple case folding. Bytes that are not UTF-8 stay as they are, so two
// texts fold alike only when they differ in letter case.
std::string FoldCase(std::string_view AText);

// Every code point that folds as ACode does (ACode included), ascending.
std::vector<char32_t> CaseVariants(char32_t ACode);

// True for a code point outside ASCII that another code point folds alike: the letters whose
// case the database's own comparison does not see.
bool HasCaseVariantsOutsideAscii(char32_t ACode);

// True when AText has such a letter, so the database may have missed a row that differs from
// it in letter case only.
bool NeedsFoldedLookup(std::string_view AText);

// A total order that ignores letter case in every script: texts compare as the sequences of
// their folded code points (a byte that is not UTF-8 after every code point). 0 exactly when
// FoldCase gives the same for both.
int CompareFolded(std::string_view ALeft, std::string_view ARight);
