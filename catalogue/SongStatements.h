// The statement texts of the catalogue, shared by the wizard's worker, corvena-index and the
// plug-in. The song and lookup statements are those the song-request system's own programs run,
// word for word.
#pragma once

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

// The statements the song writer adds for the disco mirror.
inline constexpr const char* SqlDiscoInsert =
    "Insert into Discos (DiscoName,FilePath,Player,PYCode,CharsCount,LanguageID,TypeID,Track,"
    "Sound) Values (:DiscoName,:FilePath,:Player,:PYCode,:CharsCount,:LanguageID,:TypeID,:Track,"
    ":Sound)";
inline constexpr const char* SqlDiscoUpdate =
    "Update Discos Set DiscoName=:DiscoName,Player=:Player,PYCode=:PYCode,CharsCount=:CharsCount,"
    "LanguageID=:LanguageID,TypeID=:TypeID,Track=:Track,Sound=:Sound where FilePath=:FilePath";
// A song's mirrors: all of them when it is no disco song (any longer), and all but the first
// when an older version left it more than one.
inline constexpr const char* SqlDiscoDelete = "Delete from Discos where FilePath=:FilePath";
inline constexpr const char* SqlDiscoDeleteRepeats =
    "Delete from Discos where FilePath=:FilePath and rowid<>"
    "(select min(rowid) from Discos where FilePath=:FilePath)";

// The greatest song number in text order: where the plug-in's numbering goes on from.
inline constexpr const char* SqlMaxSongNumber = "select max(songnumber) from songs";
