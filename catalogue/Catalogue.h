// The song catalogue: statement texts shared by the wizard and the plug-in, the wizard's song
// record and the name-to-identifier lookups. Works on any TConnection.
#pragma once

#include "DbAccess.h"

#include <cstdint>
#include <optional>
#include <string>

// A 32-bit identifier that may be absent; absent is written to the database as null.
using TOptionalID = std::optional<std::int32_t>;

// Song statements, word for word as the song-request system's database expects them.
inline constexpr const char* SqlSongExists = "select songnumber from songs where FilePath=:FilePath";
inline constexpr const char* SqlSongInsert =
    "Insert into songs (SongNumber,SongName,FilePath,SingerName,PYCode,CharsCount,StrokesNumber,"
    "LanguageID,TypeID,Special,Track,Sound,IsNew,DemandTimes,MediaType,FileSize,PublishDate) "
    "Values (:SongNumber,:SongName,:FilePath,:SingerName,:PYCode,:CharsCount,:StrokesNumber,"
    ":LanguageID,:TypeID,:Special,:Track,:Sound,:IsNew,:DemandTimes,:MediaType,:FileSize,"
    ":PublishDate)";
inline constexpr const char* SqlSongUpdate =
    "Update songs Set SongNumber=:SongNumber,SongName=:SongName,SingerName=:SingerName,"
    "PYCode=:PYCode,CharsCount=:CharsCount,StrokesNumber=:StrokesNumber,LanguageID=:LanguageID,"
    "TypeID=:TypeID,Special=:Special,Track=:Track,Sound=:Sound,IsNew=:IsNew,"
    "DemandTimes=:DemandTimes,MediaType=:MediaType,FileSize=:FileSize,PublishDate=:PublishDate "
    "where FilePath=:FilePath";
inline constexpr const char* SqlSelectSongType = "Select * from SongTypes where TypeName=:TypeName";
inline constexpr const char* SqlSelectLanguage =
    "Select * from Languages where LanguageName=:LanguageName";
inline constexpr const char* SqlSelectDiscoType = "select * from DiscoTypes where TypeName=:TypeName";

// The wizard's song record; strings are UTF-8 and owned by the record.
struct TKtvSongInfo {
    std::int32_t SongID = 0;
    std::string SongNumber;
    std::string SongName;
    std::string FilePath;
    std::string SingerName;
    std::string PYCode;
    std::int32_t CharsCount = 0;
    std::int32_t StrokesNumber = 0;
    TOptionalID LanguageID;
    std::string LanguageName;
    TOptionalID TypeID;
    std::string TypeName;
    TDateTime PublishDate = 0.0;
    std::int32_t Track = 0;
    std::int32_t Sound = 0;
    std::string MediaType;
    std::int32_t FileSize = 0;
    std::string Special;
    bool IsNew = false;
    std::int32_t DemandTimes = 0;

    // Every string empty, every number 0, both identifiers absent, the date 0.0.
    void Clear() { *this = TKtvSongInfo(); }

    bool operator==(const TKtvSongInfo&) const = default;
};

// Binds an identifier as an integer, or null when absent.
void SetOptionalID(TQuery& AQuery, std::string_view AName, const TOptionalID& AValue);

// Binds every parameter of the song insert or update from the record of the same name.
void BindSongParameters(TQuery& AQuery, const TKtvSongInfo& AInfo);

// Lookups as the wizard runs them: an empty name gives an absent identifier without touching
// the database; a missing type or language is added when AAutoInsert is true. Names are bound
// exactly as passed. Database errors propagate.
TOptionalID GetTypeID(TConnection& AConnection, const std::string& ATypeName,
                      bool AAutoInsert = true);
TOptionalID GetLanguageID(TConnection& AConnection, const std::string& ALanguageName,
                          bool AAutoInsert = true);
// Never inserts: a name not in DiscoTypes gives 0.
TOptionalID GetDiscoTypeID(TConnection& AConnection, const std::string& ATypeName);

// The plug-in's form: the result starts at 0, so an empty name gives 0; names are added.
std::int32_t PlugInTypeID(TConnection& AConnection, const std::string& ATypeName);
std::int32_t PlugInLanguageID(TConnection& AConnection, const std::string& ALanguageName);
