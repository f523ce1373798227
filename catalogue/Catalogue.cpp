#include "Catalogue.h"

#include "CaseFold.h"
#include "TextRules.h"

#include <algorithm>

namespace {

// One name table: the select text, the name parameter and column, the identifier column and
// the step of the folded lookup.
struct TNameTable {
    const char* Select;
    const char* NameColumn;
    const char* IDColumn;
    const char* Folded;
};

constexpr TNameTable SongTypesTable{SqlSelectSongType, "TypeName", "TypeID", SqlFoldedSongType};
constexpr TNameTable LanguagesTable{SqlSelectLanguage, "LanguageName", "LanguageID", SqlFoldedLanguage};
constexpr TNameTable DiscoTypesTable{SqlSelectDiscoType, "TypeName", "TypeID", SqlFoldedDiscoType};

// A guard against a table that keeps the walk going for ever (it cannot, as each step moves
// on, but a damaged index could say otherwise).
constexpr int MaxFoldedSteps = 100000;

// Byte order as NOCASE has it: ASCII letters lowered.
int CompareNoCase(std::string_view ALeft, std::string_view ARight) {
    const std::size_t Common = std::min(ALeft.size(), ARight.size());
    for (std::size_t I = 0; I < Common; ++I) {
        const auto A = static_cast<unsigned char>(LowerAscii(ALeft[I]));
        const auto B = static_cast<unsigned char>(LowerAscii(ARight[I]));
        if (A != B)
            return A < B ? -1 : 1;
    }
    return ALeft.size() < ARight.size() ? -1 : ALeft.size() > ARight.size() ? 1 : 0;
}

bool StartsWithNoCase(std::string_view AText, std::string_view APrefix) {
    return AText.size() >= APrefix.size() && CompareNoCase(AText.substr(0, APrefix.size()), APrefix) == 0;
}

// Every spelling of a text that folds alike, letter case of ASCII aside: a sequence of places,
// each with its alternatives in NOCASE order. A letter outside ASCII has one alternative for
// each of its cases; a run of other characters is one place with one alternative. The
// alternatives of a place are whole characters, so none starts another, and the order of two
// spellings is that of their alternatives at the first place where they differ.
class TSpellings {
public:
    explicit TSpellings(std::string_view AText) {
        std::string Run;
        const auto EndRun = [&] {
            if (!Run.empty())
                FPlaces.push_back({std::move(Run)});
            Run.clear();
        };
        for (std::size_t I = 0; I < AText.size();) {
            char32_t Code = 0;
            const std::size_t Length = DecodeUtf8(AText, I, Code);
            if (Length == 0 || !HasCaseVariantsOutsideAscii(Code)) {
                Run.append(AText.substr(I, std::max<std::size_t>(Length, 1)));
                I += std::max<std::size_t>(Length, 1);
                continue;
            }
            EndRun();
            std::vector<std::string> Alternatives;
            for (const char32_t Variant : CaseVariants(Code)) {
                std::string Text;
                AppendUtf8(Text, Variant);
                Alternatives.push_back(std::move(Text));
            }
            std::sort(Alternatives.begin(), Alternatives.end(),
                      [](const std::string& A, const std::string& B) { return CompareNoCase(A, B) < 0; });
            Alternatives.erase(std::unique(Alternatives.begin(), Alternatives.end(),
                                           [](const std::string& A, const std::string& B) {
                                               return CompareNoCase(A, B) == 0;
                                           }),
                               Alternatives.end());
            FPlaces.push_back(std::move(Alternatives));
            I += Length;
        }
        EndRun();
    }

    // The least and the greatest spelling.
    std::string First() const { return Spell(std::vector<std::size_t>(FPlaces.size(), 0)); }
    std::string Last() const {
        std::vector<std::size_t> Choice;
        for (const auto& Place : FPlaces)
            Choice.push_back(Place.size() - 1);
        return Spell(Choice);
    }

    // The least spelling not below ARow in NOCASE order; AExact tells whether that is ARow
    // itself. False when every spelling is below ARow.
    bool NotBelow(std::string_view ARow, std::string& ASpelling, bool& AExact) const {
        std::vector<std::size_t> Matched;
        std::size_t Offset = 0;
        for (const auto& Place : FPlaces) {
            const auto Same = std::find_if(Place.begin(), Place.end(), [&](const std::string& A) {
                return StartsWithNoCase(ARow.substr(Offset), A);
            });
            if (Same == Place.end())
                break;
            Matched.push_back(static_cast<std::size_t>(Same - Place.begin()));
            Offset += Same->size();
        }
        AExact = false;
        std::vector<std::size_t> Choice(FPlaces.size(), 0);
        std::copy(Matched.begin(), Matched.end(), Choice.begin());
        if (Matched.size() == FPlaces.size()) {
            if (Offset == ARow.size()) {
                AExact = true;
                ASpelling = std::string(ARow);
                return true;
            }
        } else {
            // The first place ARow leaves: its least alternative above the row's rest.
            const auto& Place = FPlaces[Matched.size()];
            const std::string_view Rest = ARow.substr(Offset);
            const auto Above = std::find_if(Place.begin(), Place.end(),
                                            [&](const std::string& A) { return CompareNoCase(A, Rest) > 0; });
            if (Above != Place.end()) {
                Choice[Matched.size()] = static_cast<std::size_t>(Above - Place.begin());
                ASpelling = Spell(Choice);
                return true;
            }
        }
        // Every spelling that follows ARow as far as it goes is below it: the next
        // alternative at the last place that has one.
        for (std::size_t Depth = Matched.size(); Depth-- > 0;) {
            if (Matched[Depth] + 1 < FPlaces[Depth].size()) {
                std::fill(Choice.begin() + static_cast<std::ptrdiff_t>(Depth), Choice.end(), 0);
                Choice[Depth] = Matched[Depth] + 1;
                ASpelling = Spell(Choice);
                return true;
            }
        }
        return false;
    }

private:
    std::string Spell(const std::vector<std::size_t>& AChoice) const {
        std::string Result;
        for (std::size_t I = 0; I < FPlaces.size(); ++I)
            Result += FPlaces[I][AChoice[I]];
        return Result;
    }

    std::vector<std::vector<std::string>> FPlaces;
};

TOptionalID LookupID(TConnection& AConnection, TQuery& AQuery, const TNameTable& ATable,
                     const std::string& AName, bool AAutoInsert, TQueryCache* ACache) {
    const TQueryCloser Closer(AQuery);
    AQuery.SetText(ATable.NameColumn, AName);
    AQuery.Open();
    if (AQuery.RecordCount() <= 0) {
        if (const auto Stored = FindFoldedText(AConnection, ATable.Folded, AName, ACache)) {
            AQuery.SetText(ATable.NameColumn, *Stored);
            AQuery.Open();
        }
    }
    if (AQuery.RecordCount() <= 0 && AAutoInsert) {
        AQuery.Append();
        AQuery.SetFieldText(ATable.NameColumn, AName);
        AQuery.Post();
    }
    return AQuery.FieldAsInteger(ATable.IDColumn);
}

TOptionalID LookupID(TConnection& AConnection, const TNameTable& ATable, const std::string& AName,
                     bool AAutoInsert, TQueryCache* ACache) {
    if (AName.empty())
        return std::nullopt;
    if (ACache != nullptr)
        return LookupID(AConnection, ACache->Query(AConnection, ATable.Select), ATable, AName,
                        AAutoInsert, ACache);
    TQuery Query(AConnection);
    Query.SetSQL(ATable.Select);
    Query.Prepare();
    return LookupID(AConnection, Query, ATable, AName, AAutoInsert, ACache);
}

std::optional<std::string> FindFoldedText(TQuery& AQuery, const std::string& AText) {
    const TSpellings Spellings(AText);
    const TQueryCloser Closer(AQuery);
    AQuery.SetText("High", Spellings.Last());
    std::string From = Spellings.First();
    for (int Step = 0; Step < MaxFoldedSteps; ++Step) {
        AQuery.SetText("Low", From);
        AQuery.Open();
        if (AQuery.RecordCount() <= 0)
            return std::nullopt;
        const std::string Row = AQuery.FieldAsString(0);
        bool Exact = false;
        if (!Spellings.NotBelow(Row, From, Exact))
            return std::nullopt;
        // Otherwise From is now the least spelling above the row: the next step starts there.
        if (Exact)
            return Row;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> FindFoldedText(TConnection& AConnection, const char* ASQLFolded,
                                          const std::string& AText, TQueryCache* ACache) {
    // A server's collation has compared the letter case of every script already.
    if (!NeedsFoldedLookup(AText) || AConnection.Engine().FoldsLetterCase())
        return std::nullopt;
    if (ACache != nullptr)
        return FindFoldedText(ACache->Query(AConnection, ASQLFolded), AText);
    TQuery Query(AConnection);
    Query.SetSQL(ASQLFolded);
    Query.Prepare();
    return FindFoldedText(Query, AText);
}

bool FindFoldedSongPath(TConnection& AConnection, std::string& AFilePath, TQueryCache* ACache) {
    const auto Stored = FindFoldedText(AConnection, SqlFoldedSongPath, AFilePath, ACache);
    if (Stored)
        AFilePath = *Stored;
    return Stored.has_value();
}

void SetOptionalID(TQuery& AQuery, std::string_view AName, const TOptionalID& AValue) {
    if (AValue)
        AQuery.SetInteger(AName, *AValue);
    else
        AQuery.SetNull(AName);
}

void BindSongParameters(TQuery& AQuery, const TKtvSongInfo& AInfo) {
    AQuery.SetText("SongNumber", AInfo.SongNumber);
    AQuery.SetText("SongName", AInfo.SongName);
    AQuery.SetText("FilePath", AInfo.FilePath);
    AQuery.SetText("SingerName", AInfo.SingerName);
    AQuery.SetText("PYCode", AInfo.PYCode);
    AQuery.SetInteger("CharsCount", AInfo.CharsCount);
    AQuery.SetInteger("StrokesNumber", AInfo.StrokesNumber);
    SetOptionalID(AQuery, "LanguageID", AInfo.LanguageID);
    SetOptionalID(AQuery, "TypeID", AInfo.TypeID);
    AQuery.SetText("Special", AInfo.Special);
    AQuery.SetInteger("Track", AInfo.Track);
    AQuery.SetInteger("Sound", AInfo.Sound);
    AQuery.SetBoolean("IsNew", AInfo.IsNew);
    AQuery.SetInteger("DemandTimes", AInfo.DemandTimes);
    AQuery.SetText("MediaType", AInfo.MediaType);
    AQuery.SetInteger("FileSize", AInfo.FileSize);
    AQuery.SetDate("PublishDate", AInfo.PublishDate);
}

TOptionalID GetTypeID(TConnection& AConnection, const std::string& ATypeName, bool AAutoInsert,
                      TQueryCache* ACache) {
    return LookupID(AConnection, SongTypesTable, ATypeName, AAutoInsert, ACache);
}

TOptionalID GetLanguageID(TConnection& AConnection, const std::string& ALanguageName,
                          bool AAutoInsert, TQueryCache* ACache) {
    return LookupID(AConnection, LanguagesTable, ALanguageName, AAutoInsert, ACache);
}

TOptionalID GetDiscoTypeID(TConnection& AConnection, const std::string& ATypeName,
                           TQueryCache* ACache) {
    return LookupID(AConnection, DiscoTypesTable, ATypeName, false, ACache);
}

std::int32_t PlugInTypeID(TConnection& AConnection, const std::string& ATypeName) {
    return GetTypeID(AConnection, ATypeName).value_or(0);
}

std::int32_t PlugInLanguageID(TConnection& AConnection, const std::string& ALanguageName) {
    return GetLanguageID(AConnection, ALanguageName).value_or(0);
}
