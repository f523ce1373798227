#include "SongsThrd.h"

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
    TSongWriter Writer(*FCnnLocal, IndexerWriteRules(AOverWrite), &FQueries);
    TSongWriteResult Result;
    try {
        Writer.Write(AInfo, Result);
    } catch (...) {
        if (AWrite != nullptr)
            *AWrite = Result.Write;
        throw;
    }
    if (AWrite != nullptr)
        *AWrite = Result.Write;
    return Result.Changed;
}
