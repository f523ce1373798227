// The accepted-suffix list on any text, and on lists built from entries: split back into the
// same entries (plain and quoted), every entry's files accepted in any ASCII letter case.
#include "FuzzSupport.h"
#include "SuffixFilter.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

bool Separates(QChar AChar) { return AChar.unicode() <= 0x20 || AChar == u';' || AChar == u'"'; }

QString Quoted(const QString& AEntry) {
    QString Result = QStringLiteral("\"");
    for (const QChar Char : AEntry)
        Result += Char == u'"' ? QStringLiteral("\"\"") : QString(Char);
    return Result + u'"';
}

// ".mpg" gives "x.mpg" and "x.MPG"; entries with a second dot or none name no such file.
void CheckAccepted(const TSuffixFilter& AFilter, const QString& AEntry) {
    if (!AEntry.startsWith(u'.') || AEntry.indexOf(u'.', 1) >= 0)
        return;
    const QString Name = QStringLiteral("x") + AEntry;
    if (!AFilter.Accepts(Name.toStdString()))
        FuzzFail("a file with a listed extension was refused");
    QString Upper = Name;
    for (QChar& Char : Upper)
        if (Char >= u'a' && Char <= u'z')
            Char = QChar(Char.unicode() - 'a' + 'A');
    if (!AFilter.Accepts(Upper.toStdString()))
        FuzzFail("a listed extension in upper case was refused");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    FuzzedDataProvider Input(AData, ASize);
    // Any text at all: nothing may break, and ".*" anywhere accepts every file.
    const QString Text = QString::fromUtf8(Input.ConsumeRandomLengthString(256));
    const TSuffixFilter Any(Text);
    if (TSuffixFilter::Split(Text).contains(QStringLiteral(".*")) && !Any.Accepts("no-extension"))
        FuzzFail("\".*\" did not accept every file");
    (void)Any.Accepts(Input.ConsumeRandomLengthString(64));

    // A list built from entries splits back into them.
    std::vector<QString> Plain, Free;
    const int Count = Input.ConsumeIntegralInRange(1, 8);
    for (int I = 0; I < Count; ++I) {
        const QString Entry = QString::fromUtf8(Input.ConsumeRandomLengthString(24));
        Free.push_back(Entry);
        QString Clean;
        for (const QChar Char : Entry)
            if (!Separates(Char))
                Clean += Char;
        Plain.push_back(Clean);
    }
    QStringList PlainEntries(Plain.begin(), Plain.end());
    QStringList FreeEntries(Free.begin(), Free.end());
    // A lone empty entry is an empty text, which lists nothing.
    if (!(PlainEntries.size() == 1 && PlainEntries[0].isEmpty()) &&
        TSuffixFilter::Split(PlainEntries.join(u';')) != PlainEntries)
        FuzzFail("a plain list did not split back into its entries");
    QStringList QuotedEntries;
    for (const QString& Entry : FreeEntries)
        QuotedEntries.append(Quoted(Entry));
    if (TSuffixFilter::Split(QuotedEntries.join(u';')) != FreeEntries)
        FuzzFail("a quoted list did not split back into its entries");
    const TSuffixFilter Filter(QuotedEntries.join(u';'));
    for (const QString& Entry : FreeEntries)
        CheckAccepted(Filter, Entry);
    return 0;
}
