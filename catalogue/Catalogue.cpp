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

TOptionalID LookupID(TConnection& AConnection, const TNameTable& ATable, const std::string& AName,
                     bool AAutoInsert) {
    TOptionalID Result;
    if (AName.empty())
        return Result;
    TQuery Query(AConnection);
    Query.SetSQL(ATable.Select);
    Query.Prepare();
    Query.SetText(ATable.NameColumn, AName);
    Query.Open();
    if (Query.RecordCount() <= 0 && AAutoInsert) {
        Query.Append();
        Query.SetFieldText(ATable.NameColumn, AName);
        Query.Post();
    }
    Result = Query.FieldAsInteger(ATable.IDColumn);
    return Result;
}

} // namespace

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

TOptionalID GetTypeID(TConnection& AConnection, const std::string& ATypeName, bool AAutoInsert) {
    return LookupID(AConnection, SongTypesTable, ATypeName, AAutoInsert);
}

TOptionalID GetLanguageID(TConnection& AConnection, const std::string& ALanguageName,
                          bool AAutoInsert) {
    return LookupID(AConnection, LanguagesTable, ALanguageName, AAutoInsert);
}

TOptionalID GetDiscoTypeID(TConnection& AConnection, const std::string& ATypeName) {
    return LookupID(AConnection, DiscoTypesTable, ATypeName, false);
}

std::int32_t PlugInTypeID(TConnection& AConnection, const std::string& ATypeName) {
    return GetTypeID(AConnection, ATypeName).value_or(0);
}

std::int32_t PlugInLanguageID(TConnection& AConnection, const std::string& ALanguageName) {
    return GetLanguageID(AConnection, ALanguageName).value_or(0);
}
