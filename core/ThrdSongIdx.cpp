#include "ThrdSongIdx.h"

#include "TextRules.h"

namespace {

// How often a file is tried in all when it keeps meeting other writers' rows (each conflict
// means another writer committed that row; ten at once on one file settle within a few tries).
constexpr int FileAttempts = 10;

// A file's attempt undone by a conflict, to be done again.
struct TFileConflict {};

// Finalizes the cached statements when the body ends, on the thread that used them.
class TCacheRelease {
public:
    explicit TCacheRelease(TQueryCache& ACache) : FCache(ACache) {}
    ~TCacheRelease() { FCache.Clear(); }
    TCacheRelease(const TCacheRelease&) = delete;
    TCacheRelease& operator=(const TCacheRelease&) = delete;

private:
    TQueryCache& FCache;
};

} // namespace

TSongIdxThrd::TSongIdxThrd(TWindowHandle AOwnerHandle, TConnectionRef ACnnLocal,
                           TConnectionRef ACnnTotal, TStringListRef AFiles, bool OverWrite)
    : TSongsThrd(AOwnerHandle, std::move(ACnnLocal), std::move(ACnnTotal)),
      FFiles(std::move(AFiles)), FOverWrite(OverWrite),
      FReport(std::make_shared<TSongIdxReport>()) {}

// What the body wrote goes with the worker: after its end, in an order the sanitizer sees.
TSongIdxThrd::~TSongIdxThrd() { FEnd->Pass(); }

void TSongIdxThrd::Execute() {
    // An error that escapes the body ends it; the completion handler still runs.
    try {
        IndexSongs();
    } catch (const std::exception& Error) {
        if (FReport->RunError.empty())
            FReport->RunError = Error.what();
    } catch (...) {
        if (FReport->RunError.empty())
            FReport->RunError = "unknown error";
    }
}

void TSongIdxThrd::SendStatus(TWorkerStatus AStatus) { SendWorkerStatus(FOwnerHandle, 1, AStatus); }

bool TSongIdxThrd::FindMaster(TQuery& Q, const TMasterNames& ANames, const std::string& APath) {
    const std::string Name = MasterFileName(APath);
    Q.SetText("FilePath", Name);
    Q.Open();
    if (Q.RecordCount() > 0)
        return true;
    // The database folds ASCII letters only and compares code points as written: a name that
    // differs in the letter case of another script, or is written decomposed, is asked for
    // again as the master stores it.
    const std::optional<std::string_view> Stored = ANames.Find(Name);
    if (!Stored || *Stored == Name)
        return false;
    Q.Close();
    Q.SetText("FilePath", std::string(*Stored));
    Q.Open();
    return Q.RecordCount() > 0;
}

void TSongIdxThrd::ReadMaster(TQuery& Q, const std::string& APath, TKtvSongInfo& AInfo,
                              std::optional<TTransaction>& ATransaction) {
    // From the first lookup (which may add a language) to the disco mirror, the file is one
    // transaction: a crash leaves it all written or not at all, and another writer cannot add
    // the same language, type or song in between (SQLite: the write lock is held from the start;
    // a server: its unique keys refuse the later writer, whose file is then done again).
    ATransaction.emplace(*FCnnLocal);
    AInfo.FilePath = APath;
    AInfo.SongNumber = Q.FieldAsString("SongNumber");
    AInfo.SongName = Q.FieldAsString("SongName");
    AInfo.SingerName = Q.FieldAsString("SingerName");
    AInfo.LanguageName = Q.FieldAsString("LanguageName");
    AInfo.LanguageID = GetLanguageID(AInfo.LanguageName, true);
    AInfo.TypeName = Q.FieldAsString("TypeName");
    AInfo.TypeID = GetTypeID(AInfo.TypeName, true);
    AInfo.Special = Q.FieldAsString("Special");
    AInfo.PublishDate = Q.FieldAsDateTime("PublishDate");
    AInfo.PYCode = Q.FieldAsString("PYCode");
    AInfo.CharsCount = Q.FieldAsInteger("CharsCount");
    AInfo.Track = Q.FieldAsInteger("Track");
    AInfo.Sound = Q.FieldAsInteger("Sound");
    AInfo.MediaType = Q.FieldAsString("MediaType");
    AInfo.DemandTimes = Q.FieldAsInteger("DemandTimes");
}

void TSongIdxThrd::CountWrite(TSongWrite AWrite) {
    switch (AWrite) {
    case TSongWrite::Kept:
        ++FReport->Kept;
        break;
    case TSongWrite::Inserted:
        ++FReport->Inserted;
        break;
    case TSongWrite::Updated:
        ++FReport->Updated;
        break;
    }
}

void TSongIdxThrd::CountFailure(const std::string& APath, const std::string& AText) {
    ++FReport->Failed;
    if (FReport->Failures.size() < TSongIdxReport::MaxFailures)
        FReport->Failures.push_back({APath, AText});
}

bool TSongIdxThrd::FileFailed(const std::string& APath, std::exception_ptr AError, bool ACount) {
    std::string Text;
    bool Unusable = false;
    bool Lost = false;
    try {
        std::rethrow_exception(AError);
    } catch (const TDatabaseError& Error) {
        Text = Error.what();
        Unusable = Error.DatabaseUnusable();
        Lost = Error.ConnectionLost();
    } catch (const std::exception& Error) {
        Text = Error.what();
    } catch (...) {
        Text = "unknown error";
    }
    if (ACount)
        CountFailure(APath, Text);
    if (Unusable) {
        FReport->RunError = Text;
        FReport->ConnectionLost = Lost;
    }
    return Unusable;
}

void TSongIdxThrd::RetryOnConflict(TFileWrite& AFile, std::exception_ptr AError, bool ARetry) {
    if (!ARetry)
        return;
    try {
        std::rethrow_exception(AError);
    } catch (const TDatabaseError& Error) {
        if (!Error.Conflicting())
            return;
    } catch (...) {
        return;
    }
    AFile.Transaction.reset();
    throw TFileConflict();
}

bool TSongIdxThrd::Commit(TFileWrite& AFile, const std::string& APath, bool ARetry) {
    if (!AFile.Transaction || !AFile.Transaction->Active())
        return true;
    try {
        AFile.Transaction->Commit();
        return true;
    } catch (...) {
        // A serializable server refuses the commit of a file another writer got in the way of.
        RetryOnConflict(AFile, std::current_exception(), ARetry);
        // A file already counted as failed is not counted twice.
        if (FileFailed(APath, std::current_exception(), !AFile.Failed))
            AFile.Ends = true;
        return false;
    }
}

bool TSongIdxThrd::OpenMaster(std::unique_ptr<TQuery>& AQuery, TMasterNames& ANames) {
    try {
        if (!FCnnLocal || !FCnnTotal)
            throw TDatabaseError("The song databases are not open");
        AQuery = CreateQuery(*FCnnTotal, SqlMasterSong);
        ANames.Load(*FCnnTotal);
        return true;
    } catch (const std::exception& Error) {
        // The run cannot start: no further status, but the report says why.
        FReport->RunError = Error.what();
        return false;
    }
}

void TSongIdxThrd::IndexSongs() {
    SendStatus(TWorkerStatus::Initializing);
    const int Count = FFiles ? static_cast<int>(FFiles->size()) : 0;
    std::unique_ptr<TQuery> Q;
    TMasterNames Names;
    if (!OpenMaster(Q, Names))
        return;
    SendStatus(TWorkerStatus::Indexing);
    {
        const TCacheRelease Release(FQueries);
        TCaseCollisions Collisions;
        TKtvSongInfo R;
        for (int I = 0; I < Count; ++I) {
            SendMessageW(FOwnerHandle, WM_WIZ_PROGRESS, static_cast<TWParam>(I + 1), Count);
            if (isInterruptionRequested()) {
                FReport->Interrupted = true;
                break;
            }
            if (!IndexFile(*Q, Names, Collisions, I, R))
                break;
        }
        Q.reset();
    }
    // Only the files without a master row are compared with the master's names.
    FReport->NearMatches = Names.NearMatches(FReport->Unmatched);
    SendStatus(TWorkerStatus::IndexDone);
}

bool TSongIdxThrd::IndexFile(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions, int AIndex,
                             TKtvSongInfo& R) {
    const std::string Path = (*FFiles)[AIndex].toStdString();
    ++FReport->Files;
    // A conflict comes only once the other writer has committed (its row was what got in the
    // way), so the file done again finds that row and rewrites or keeps it.
    for (int Attempt = 1;; ++Attempt) {
        // An attempt undone counts nothing: its match is counted again by the next.
        const int Matched = FReport->Matched;
        try {
            return IndexFileOnce(Q, ANames, ACollisions, AIndex, Path, R, Attempt < FileAttempts);
        } catch (const TFileConflict&) {
            FReport->Matched = Matched;
        }
    }
}

bool TSongIdxThrd::IndexFileOnce(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions, int AIndex,
                                 const std::string& Path, TKtvSongInfo& R, bool ARetry) {
    R.Clear();
    TFileWrite File;
    bool Found = false;
    int Earlier = -1;
    try {
        const TQueryCloser Closer(Q);
        Found = FindMaster(Q, ANames, Path);
        // One database row per path whatever its letter case: of the files that are songs, the
        // first path is the song. Files that are none do not meet here.
        if (Found)
            Earlier = ACollisions.Check(Path, AIndex, *FFiles);
        if (Found && Earlier < 0)
            ReadMaster(Q, Path, R, File.Transaction);
    } catch (...) {
        RetryOnConflict(File, std::current_exception(), ARetry);
        R.Clear();
        FReport->Matched += Found ? 1 : 0;
        File.Failed = true;
        File.Ends = FileFailed(Path, std::current_exception());
        // Languages and types added before the failing column stay, as they would without the
        // transaction; a database that stopped working keeps nothing.
        if (File.Ends) {
            File.Transaction.reset();
            return false;
        }
        Commit(File, Path);
        return !File.Ends;
    }
    if (!Found) {
        FReport->Unmatched.push_back(Path);
        return true;
    }
    if (Earlier >= 0) {
        CountFailure(Path, "its path differs only in letter case from " + Quoted((*FFiles)[Earlier].toStdString()) +
                               ", which was indexed first");
        return true;
    }
    ++FReport->Matched;
    if (R.SongName.empty()) {
        Commit(File, Path, ARetry);
        ++FReport->WithoutName;
        FReport->WithoutNameFiles.push_back(Path);
        return !File.Ends;
    }
    if (isInterruptionRequested()) {
        FReport->Interrupted = true;
        Commit(File, Path);
        return false;
    }
    return Save(R, File, Path, ARetry);
}

bool TSongIdxThrd::Save(const TKtvSongInfo& R, TFileWrite& AFile, const std::string& APath, bool ARetry) {
    TSongWrite Write = TSongWrite::Kept;
    try {
        SaveSong(R, FOverWrite, &Write);
    } catch (...) {
        RetryOnConflict(AFile, std::current_exception(), ARetry);
        AFile.Failed = true;
        AFile.Ends = FileFailed(APath, std::current_exception());
    }
    // The song row stays when its disco step failed (that step was undone whole), and counts
    // once it is committed. A database that stopped working keeps nothing of the file.
    bool Committed = false;
    if (AFile.Ends)
        AFile.Transaction.reset();
    else
        Committed = Commit(AFile, APath, ARetry && !AFile.Failed);
    if (Committed && (!AFile.Failed || Write != TSongWrite::Kept))
        CountWrite(Write);
    return !AFile.Ends;
}
