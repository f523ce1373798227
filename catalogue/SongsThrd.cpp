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
    return ::GetTypeID(*FCnnLocal, ATypeName, AAutoInsert);
}

TOptionalID TSongsThrd::GetLanguageID(const std::string& ALanguageName, bool AAutoInsert) {
    return ::GetLanguageID(*FCnnLocal, ALanguageName, AAutoInsert);
}

TOptionalID TSongsThrd::GetDiscoTypeID(const std::string& ATypeName) {
    return ::GetDiscoTypeID(*FCnnLocal, ATypeName);
}

bool TSongsThrd::SaveSong(const TKtvSongInfo& AInfo, bool AOverWrite) {
    TQuery Query(*FCnnLocal);
    Query.SetSQL(SqlSongExists);
    Query.Prepare();
    Query.SetText("FilePath", AInfo.FilePath);
    Query.Close();
    Query.Open();
    const bool Exists = Query.RecordCount() > 0;
    if (Exists && !AOverWrite)
        return false;

    Query.Clear();
    Query.SetSQL(Exists ? SqlSongUpdate : SqlSongInsert);
    Query.Prepare();
    BindSongParameters(Query, AInfo);
    bool Result = Query.ExecSQL() > 0;
    if (AInfo.TypeName.empty())
        return Result;

    // Only songs of a disco type are mirrored; other types would fill the disco list with
    // every song.
    const std::int32_t DiscoTypeID = GetDiscoTypeID(AInfo.TypeName).value_or(0);
    if (DiscoTypeID == 0)
        return Result;
    Query.SetSQL(Exists ? SqlDiscoUpdate : SqlDiscoInsert);
    Query.Prepare();
    BindDisco(Query, AInfo, DiscoTypeID);
    Result = Query.ExecSQL() > 0;
    return Result;
}
