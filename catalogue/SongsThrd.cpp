#include "SongsThrd.h"

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

TSongsThrd::TSongsThrd(std::uintptr_t AOwnerHandle, TConnectionRef ACnnLocal,
                       TConnectionRef ACnnTotal)
    : FOwnerHandle(AOwnerHandle), FCnnLocal(std::move(ACnnLocal)), FCnnTotal(std::move(ACnnTotal)) {
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

TSongsThrd::~TSongsThrd() = default;

std::unique_ptr<TQuery> TSongsThrd::CreateQuery(TConnection& AConnection, const std::string& ASQL) {
    auto Query = std::make_unique<TQuery>(AConnection);
    Query->SetSQL(ASQL);
    Query->Prepare();
    return Query;
}

TOptionalID TSongsThrd::GetTypeID(const std::string& ATypeName, bool AAutoInsert) {
    return ::GetTypeID(*FCnnLocal, ATypeName, AAutoInsert, &FQueries);
}

TOptionalID TSongsThrd::GetLanguageID(const std::string& ALanguageName, bool AAutoInsert) {
    return ::GetLanguageID(*FCnnLocal, ALanguageName, AAutoInsert, &FQueries);
}

TOptionalID TSongsThrd::GetDiscoTypeID(const std::string& ATypeName) {
    return ::GetDiscoTypeID(*FCnnLocal, ATypeName, &FQueries);
}

bool TSongsThrd::SaveSong(const TKtvSongInfo& AInfo, bool AOverWrite, TSongWrite* AWrite) {
    bool Exists = false;
    {
        TQuery& Query = FQueries.Query(*FCnnLocal, SqlSongExists);
        const TQueryCloser Closer(Query);
        Query.SetText("FilePath", AInfo.FilePath);
        Query.Open();
        Exists = Query.RecordCount() > 0;
    }
    // The database tells letter case outside ASCII apart; the stored path is the song's key.
    std::string StoredPath = AInfo.FilePath;
    if (!Exists)
        Exists = FindFoldedSongPath(*FCnnLocal, StoredPath, &FQueries);
    if (Exists && !AOverWrite) {
        if (AWrite != nullptr)
            *AWrite = TSongWrite::Kept;
        return false;
    }
    TKtvSongInfo Stored;
    if (StoredPath != AInfo.FilePath) {
        Stored = AInfo;
        Stored.FilePath = StoredPath;
    }
    const TKtvSongInfo& Info = StoredPath != AInfo.FilePath ? Stored : AInfo;

    TQuery& Song = FQueries.Query(*FCnnLocal, Exists ? SqlSongUpdate : SqlSongInsert);
    BindSongParameters(Song, Info);
    bool Result = Song.ExecSQL() > 0;
    if (AWrite != nullptr)
        *AWrite = Exists ? TSongWrite::Updated : TSongWrite::Inserted;

    // Only songs of a disco type are mirrored; other types would fill the disco list with
    // every song. The disco step is undone as a whole when it fails, and the song row stays.
    const std::int32_t DiscoTypeID = Info.TypeName.empty() ? 0 : GetDiscoTypeID(Info.TypeName).value_or(0);
    if (DiscoTypeID == 0) {
        TQuery& Delete = FQueries.Query(*FCnnLocal, SqlDiscoDelete);
        Delete.SetText("FilePath", Info.FilePath);
        Delete.ExecSQL();
        return Result;
    }
    TSavepoint DiscoStep(*FCnnLocal, "DiscoMirror");
    // The mirror of the path, whether the song was there or not: a mirror missing (lost to a
    // crash of an older version, or deleted by hand) is inserted, one left without its song
    // row is taken over.
    TQuery& Update = FQueries.Query(*FCnnLocal, SqlDiscoUpdate);
    BindDisco(Update, Info, DiscoTypeID);
    int Changed = Update.ExecSQL();
    if (Changed == 0) {
        TQuery& Insert = FQueries.Query(*FCnnLocal, SqlDiscoInsert);
        BindDisco(Insert, Info, DiscoTypeID);
        Changed = Insert.ExecSQL();
    } else if (Changed > 1) {
        TQuery& Repeats = FQueries.Query(*FCnnLocal, SqlDiscoDeleteRepeats);
        Repeats.SetText("FilePath", Info.FilePath);
        Repeats.ExecSQL();
    }
    DiscoStep.Release();
    return Changed > 0;
}
