#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <string_view>
#include <vector>

// The accepted extensions of a search. The text is split at ';'; blanks and control characters
// separate entries too; an entry may be double-quoted ("" inside quotes is one quote); an empty
// entry (";;", a trailing ';') accepts files without an extension and ".*" accepts every file.
// Extensions are compared under Unicode case folding.
class TSuffixFilter {
public:
    explicit TSuffixFilter(const QString& ASuffixs);

    // The entries as the text gives them, in order.
    static QStringList Split(const QString& ASuffixs);
    // AName is a file name (no folder) in UTF-8; its extension runs from its last '.'.
    bool Accepts(std::string_view AName) const;

private:
    bool FAll = false;
    std::vector<std::string> FFolded; // the entries case-folded, in UTF-8
};
