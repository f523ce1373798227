// The song catalogue: statement texts shared by the wizard and the plug-in, the wizard's song
// record and the name-to-identifier lookups. Works on any TConnection.
#pragma once

#include "DbAccess.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// The first stored text from :Low on (up to :High) in the order of the columns' NOCASE index:
// one step of a folded lookup (FindFoldedText).
inline constexpr const char* SqlFoldedSongPath =
    "select FilePath from Songs where FilePath>=:Low collate nocase and FilePath<=:High collate nocase"
    " order by FilePath collate nocase limit 1";
inline constexpr const char* SqlFoldedSongType =
    "select TypeName from SongTypes where TypeName>=:Low collate nocase and TypeName<=:High collate nocase"
    " order by TypeName collate nocase limit 1";
inline constexpr const char* SqlFoldedLanguage =
    "select LanguageName from Languages where LanguageName>=:Low collate nocase and"
    " LanguageName<=:High collate nocase order by LanguageName collate nocase limit 1";
inline constexpr const char* SqlFoldedDiscoType =
    "select TypeName from DiscoTypes where TypeName>=:Low collate nocase and TypeName<=:High collate nocase"
    " order by TypeName collate nocase limit 1";

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

// Prepared queries kept for a run of many operations: one per connection and statement text,
// compiled on first use and re-bound by every later one, so a run compiles each statement
// once. Like its queries, a cache belongs to the one thread that uses it; it must go before
// the connections it holds statements of.
class TQueryCache {
public:
    // The query holding ASQL on AConnection, prepared and closed; earlier bindings stay until
    // the caller binds again (every user binds every parameter).
    TQuery& Query(TConnection& AConnection, const char* ASQL);
    // Finalizes every statement.
    void Clear() { FEntries.clear(); }

private:
    struct TEntry {
        TConnection* Connection;
        std::string SQL;
        std::unique_ptr<TQuery> Query;
    };
    std::vector<TEntry> FEntries;
};

// Closes a query (its result rows go) when the scope ends, also on error: what a query
// created for one operation gets by being released.
class TQueryCloser {
public:
    explicit TQueryCloser(TQuery& AQuery) : FQuery(AQuery) {}
    ~TQueryCloser() { FQuery.Close(); }
    TQueryCloser(const TQueryCloser&) = delete;
    TQueryCloser& operator=(const TQueryCloser&) = delete;

private:
    TQuery& FQuery;
};

// Binds an identifier as an integer, or null when absent.
void SetOptionalID(TQuery& AQuery, std::string_view AName, const TOptionalID& AValue);

// Binds every parameter of the song insert or update from the record of the same name.
void BindSongParameters(TQuery& AQuery, const TKtvSongInfo& AInfo);

// The stored text that equals AText under Unicode case folding where the database's own
// comparison (NOCASE: ASCII letters only) tells them apart, from ASQLFolded (one of the
// SqlFolded... texts); nullopt when there is none, and at once, without a query, when AText has
// no letter with case variants outside ASCII. It walks the column's NOCASE order from one
// possible spelling of AText to the next (each letter in each of its cases), so it reads a few
// rows and never the whole table. Only the letters outside ASCII are varied: a Kelvin sign
// stored for an ASCII k is not found. Database errors propagate.
std::optional<std::string> FindFoldedText(TConnection& AConnection, const char* ASQLFolded,
                                          const std::string& AText, TQueryCache* ACache = nullptr);

// The existence check by path when the existence query found nothing: true when a Songs row
// holds AFilePath in another letter case outside ASCII; AFilePath then becomes the stored
// path, the key the song update needs.
bool FindFoldedSongPath(TConnection& AConnection, std::string& AFilePath,
                        TQueryCache* ACache = nullptr);

// Lookups as the wizard runs them: an empty name gives an absent identifier without touching
// the database; a missing type or language is added when AAutoInsert is true. Names are bound
// exactly as passed; a name stored in another letter case of any script is found
// (FindFoldedText) and not added again. Database errors propagate. With ACache the selects are
// taken from it (and compiled once for all calls); without, each call prepares its own.
TOptionalID GetTypeID(TConnection& AConnection, const std::string& ATypeName,
                      bool AAutoInsert = true, TQueryCache* ACache = nullptr);
TOptionalID GetLanguageID(TConnection& AConnection, const std::string& ALanguageName,
                          bool AAutoInsert = true, TQueryCache* ACache = nullptr);
// Never inserts: a name not in DiscoTypes gives 0.
TOptionalID GetDiscoTypeID(TConnection& AConnection, const std::string& ATypeName,
                           TQueryCache* ACache = nullptr);

// The plug-in's form: the result starts at 0, so an empty name gives 0; names are added.
std::int32_t PlugInTypeID(TConnection& AConnection, const std::string& ATypeName);
std::int32_t PlugInLanguageID(TConnection& AConnection, const std::string& ALanguageName);
