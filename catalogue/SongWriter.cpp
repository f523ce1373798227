#include "SongWriter.h"

#include "Catalogue.h"
#include "Savepoint.h"

#include <limits>

namespace {

void BindDisco(TQuery& AQuery, const TKtvSongInfo& AInfo, std::int32_t ADiscoTypeID) {
    AQuery.SetText("DiscoName", AInfo.SongName);
    AQuery.SetText("FilePath", AInfo.FilePath);
    AQuery.SetText("Player", AInfo.SingerName);
    AQuery.SetText("PYCode", AInfo.PYCode);
    AQuery.SetInteger("CharsCount", AInfo.CharsCount);
    SetOptionalID(AQuery, "LanguageID", AInfo.LanguageID);
    AQuery.SetInteger("TypeID", ADiscoTypeID);
    AQuery.SetInteger("Track", AInfo.Track);
    AQuery.SetInteger("Sound", AInfo.Sound);
}

} // namespace

TSongWriteRules IndexerWriteRules(bool AOverWrite) {
    TSongWriteRules Rules;
    Rules.OverWrite = AOverWrite;
    Rules.DiscoMirror = true;
    return Rules;
}

TSongWriteRules PlugInWriteRules() {
    TSongWriteRules Rules;
    Rules.OverWrite = true;
    Rules.NumberFloor = GeneratedSongNumberFloor;
    return Rules;
}

std::string NextSongNumber(TConnection& AConnection, std::int32_t AFloor, TQueryCache* AQueries) {
    try {
        TQueryCache Own;
        TQuery& Query = (AQueries != nullptr ? *AQueries : Own).Query(AConnection, SqlMaxSongNumber);
        const TQueryCloser Closer(Query);
        Query.Open();
        const std::int32_t Greatest = Query.FieldAsInteger(0);
        // 2147483647 has no 32-bit successor: like any other unusable greatest number it gives
        // the floor.
        if (Greatest < AFloor || Greatest == std::numeric_limits<std::int32_t>::max())
            return std::to_string(AFloor);
        return std::to_string(Greatest + 1);
    } catch (...) {
        return std::to_string(AFloor);
    }
}

TSongWriter::TSongWriter(TConnection& AConnection, const TSongWriteRules& ARules, TQueryCache* AQueries)
    : FConnection(AConnection), FRules(ARules), FQueries(AQueries != nullptr ? *AQueries : FOwnQueries) {}

TQuery& TSongWriter::Query(const char* ASQL) { return FQueries.Query(FConnection, ASQL); }

void TSongWriter::Write(const TKtvSongInfo& AInfo, TSongWriteResult& AResult) {
    AResult = TSongWriteResult();
    // The record as written: a copy only when the number or the path differ from the caller's.
    TKtvSongInfo Copy;
    const TKtvSongInfo* Info = &AInfo;
    const auto Changing = [&]() -> TKtvSongInfo& {
        if (Info != &Copy) {
            Copy = AInfo;
            Info = &Copy;
        }
        return Copy;
    };
    if (FRules.NumberFloor != 0 && AInfo.SongNumber.empty())
        Changing().SongNumber = NextSongNumber(FConnection, FRules.NumberFloor, &FQueries);

    bool Exists = false;
    {
        TQuery& Query = this->Query(SqlSongExists);
        const TQueryCloser Closer(Query);
        Query.SetText("FilePath", Info->FilePath);
        Query.Open();
        Exists = Query.RecordCount() > 0;
    }
    // The database tells letter case outside ASCII apart; the stored path is the song's key.
    if (!Exists) {
        std::string StoredPath = Info->FilePath;
        Exists = FindFoldedSongPath(FConnection, StoredPath, &FQueries);
        if (Exists && StoredPath != Info->FilePath)
            Changing().FilePath = StoredPath;
    }
    if (Exists && !FRules.OverWrite)
        return;

    TQuery& Song = Query(Exists ? SqlSongUpdate : SqlSongInsert);
    BindSongParameters(Song, *Info);
    AResult.Changed = Song.ExecSQL() > 0;
    AResult.Write = Exists ? TSongWrite::Updated : TSongWrite::Inserted;
    if (!FRules.DiscoMirror)
        return;

    // Only songs of a disco type are mirrored; other types would fill the disco list with every
    // song.
    const std::int32_t DiscoTypeID =
        Info->TypeName.empty() ? 0 : GetDiscoTypeID(FConnection, Info->TypeName, &FQueries).value_or(0);
    if (DiscoTypeID == 0) {
        TQuery& Delete = Query(SqlDiscoDelete);
        Delete.SetText("FilePath", Info->FilePath);
        Delete.ExecSQL();
        return;
    }
    AResult.Changed = WriteMirror(*Info, DiscoTypeID);
}

bool TSongWriter::WriteMirror(const TKtvSongInfo& AInfo, std::int32_t ADiscoTypeID) {
    // Undone as a whole when it fails; the song row stays.
    TSavepoint DiscoStep(FConnection, "DiscoMirror");
    // The mirror of the path, whether the song was there or not: a mirror missing (lost to a
    // crash of an older version, or deleted by hand) is inserted, one left without its song row
    // is taken over.
    TQuery& Update = Query(SqlDiscoUpdate);
    BindDisco(Update, AInfo, ADiscoTypeID);
    int Changed = Update.ExecSQL();
    if (Changed == 0) {
        TQuery& Insert = Query(SqlDiscoInsert);
        BindDisco(Insert, AInfo, ADiscoTypeID);
        Changed = Insert.ExecSQL();
    } else if (Changed > 1) {
        TQuery& Repeats = Query(SqlDiscoDeleteRepeats);
        Repeats.SetText("FilePath", AInfo.FilePath);
        Repeats.ExecSQL();
    }
    DiscoStep.Release();
    return Changed > 0;
}
