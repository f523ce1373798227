#include "Catalogue.h"

namespace {

// One name table: the select text, the name parameter and column, and the identifier column.
struct TNameTable {
    const char* Select;
    const char* NameColumn;
    const char* IDColumn;
};

constexpr TNameTable SongTypesTable{SqlSelectSongType, "TypeName", "TypeID"};
constexpr TNameTable LanguagesTable{SqlSelectLanguage, "LanguageName", "LanguageID"};
constexpr TNameTable DiscoTypesTable{SqlSelectDiscoType, "TypeName", "TypeID"};

TOptionalID LookupID(TQuery& AQuery, const TNameTable& ATable, const std::string& AName,
                     bool AAutoInsert) {
    const TQueryCloser Closer(AQuery);
    AQuery.SetText(ATable.NameColumn, AName);
    AQuery.Open();
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
        return LookupID(ACache->Query(AConnection, ATable.Select), ATable, AName, AAutoInsert);
    TQuery Query(AConnection);
    Query.SetSQL(ATable.Select);
    Query.Prepare();
    return LookupID(Query, ATable, AName, AAutoInsert);
}

} // namespace

TQuery& TQueryCache::Query(TConnection& AConnection, const char* ASQL) {
    for (TEntry& Entry : FEntries)
        if (Entry.Connection == &AConnection && Entry.SQL == ASQL) {
            Entry.Query->Close();
            return *Entry.Query;
        }
    auto Query = std::make_unique<TQuery>(AConnection);
    Query->SetSQL(ASQL);
    Query->Prepare();
    FEntries.push_back(TEntry{&AConnection, ASQL, std::move(Query)});
    return *FEntries.back().Query;
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
