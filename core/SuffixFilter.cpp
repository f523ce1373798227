#include "SuffixFilter.h"

#include <algorithm>

namespace {

bool IsBlank(QChar AChar) { return AChar.unicode() <= 0x20; }

bool IsAscii(std::string_view ABytes) {
    return std::all_of(ABytes.begin(), ABytes.end(),
                       [](char AChar) { return static_cast<unsigned char>(AChar) < 0x80; });
}

} // namespace

QStringList TSuffixFilter::Split(const QString& ASuffixs) {
    QStringList Result;
    const qsizetype Size = ASuffixs.size();
    qsizetype At = 0;
    const auto SkipBlanks = [&] {
        while (At < Size && IsBlank(ASuffixs[At]))
            ++At;
    };
    SkipBlanks();
    while (At < Size) {
        QString Entry;
        if (ASuffixs[At] == u'"') {
            // Up to the closing quote (or the end); a doubled quote stands for one.
            for (++At; At < Size; ++At) {
                if (ASuffixs[At] != u'"') {
                    Entry += ASuffixs[At];
                } else if (At + 1 < Size && ASuffixs[At + 1] == u'"') {
                    Entry += u'"';
                    ++At;
                } else {
                    ++At;
                    break;
                }
            }
        } else {
            const qsizetype Start = At;
            while (At < Size && !IsBlank(ASuffixs[At]) && ASuffixs[At] != u';')
                ++At;
            Entry = ASuffixs.mid(Start, At - Start);
        }
        Result.append(Entry);
        SkipBlanks();
        if (At < Size && ASuffixs[At] == u';') {
            if (At + 1 == Size)
                Result.append(QString());
            ++At;
            SkipBlanks();
        }
    }
    return Result;
}

TSuffixFilter::TSuffixFilter(const QString& ASuffixs) {
    for (const QString& Entry : Split(ASuffixs)) {
        if (Entry == QLatin1String(".*"))
            FAll = true;
        FFolded.push_back(Entry.toCaseFolded().toStdString());
    }
}

bool TSuffixFilter::Accepts(std::string_view AName) const {
    if (FAll)
        return true;
    const std::size_t Dot = AName.rfind('.');
    const std::string_view Extension = Dot == std::string_view::npos ? std::string_view() : AName.substr(Dot);
    std::string Folded;
    if (IsAscii(Extension)) {
        // Short enough to stay in the string's own buffer: no allocation per file.
        Folded.assign(Extension);
        for (char& Char : Folded)
            if (Char >= 'A' && Char <= 'Z')
                Char = static_cast<char>(Char - 'A' + 'a');
    } else {
        Folded = QString::fromUtf8(Extension.data(), static_cast<qsizetype>(Extension.size()))
                     .toCaseFolded()
                     .toStdString();
    }
    return std::find(FFolded.begin(), FFolded.end(), Folded) != FFolded.end();
}
