#include "ThrdSongIdx.h"

#include "TextRules.h"

#include <algorithm>

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

// A read transaction on the master while a group's rows are read, when asked and the master
// allows one; a master that does not is read as before, statement by statement.
class TReadTransaction {
public:
    TReadTransaction(TConnection& AConnection, bool AWanted) : FConnection(AConnection) {
        if (!AWanted || FConnection.Engine().InTransaction())
            return;
        try {
            ExecuteDirect(FConnection, "BEGIN");
            FOpen = true;
        } catch (const std::exception&) {
        }
    }
    ~TReadTransaction() {
        if (FOpen)
            FConnection.Engine().Rollback();
    }
    TReadTransaction(const TReadTransaction&) = delete;
    TReadTransaction& operator=(const TReadTransaction&) = delete;

private:
    TConnection& FConnection;
    bool FOpen = false;
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
    // The files written before such an error are kept and counted, as after the last file.
    try {
        CommitGroup();
    } catch (...) {
        FGroup.Transaction.reset();
    }
}

void TSongIdxThrd::SendStatus(TWorkerStatus AStatus) { SendWorkerStatus(FOwnerHandle, 1, AStatus); }

bool TSongIdxThrd::FindMaster(TQuery& Q, const TMasterNames& ANames, const std::string& APath) {
    const std::string Name = MasterFileName(APath);
    Q.SetText("FilePath", Name);
    Q.Open();
    // The first row is all that is read: asking for the count would step once more.
    if (!Q.Eof())
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
    return !Q.Eof();
}

void TSongIdxThrd::ReadMaster(TQuery& Q, TFileAhead& AAhead) {
    TKtvSongInfo& Info = AAhead.Info;
    Info.FilePath = AAhead.Path;
    Info.SongNumber = Q.FieldAsString("SongNumber");
    Info.SongName = Q.FieldAsString("SongName");
    Info.SingerName = Q.FieldAsString("SingerName");
    Info.LanguageName = Q.FieldAsString("LanguageName");
    AAhead.Lookups = 1;
    Info.TypeName = Q.FieldAsString("TypeName");
    AAhead.Lookups = 2;
    Info.Special = Q.FieldAsString("Special");
    Info.PublishDate = Q.FieldAsDateTime("PublishDate");
    Info.PYCode = Q.FieldAsString("PYCode");
    Info.CharsCount = Q.FieldAsInteger("CharsCount");
    Info.Track = Q.FieldAsInteger("Track");
    Info.Sound = Q.FieldAsInteger("Sound");
    Info.MediaType = Q.FieldAsString("MediaType");
    Info.DemandTimes = Q.FieldAsInteger("DemandTimes");
}

void TSongIdxThrd::TakeMaster(TFileAhead& AAhead, TKtvSongInfo& R, TFileWrite& AFile) {
    // From the first lookup (which may add a language) to the disco mirror, the file is inside
    // a transaction holding the write lock: another writer cannot add the same language, type
    // or song in between, and a crash leaves the file all written or not at all.
    BeginFile(AFile);
    std::swap(R, AAhead.Info);
    // The lookups of the names read before a failing column still run, as they did when the
    // row was read field by field.
    if (AAhead.Lookups >= 1)
        R.LanguageID = GetLanguageID(R.LanguageName, true);
    if (AAhead.Lookups >= 2)
        R.TypeID = GetTypeID(R.TypeName, true);
    if (AAhead.Error)
        std::rethrow_exception(AAhead.Error);
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
    DropFile(AFile);
    // The other writer may be waiting for a row of this group's earlier files while this one
    // waits for its: what the group holds goes in first, so that neither waits on the other again.
    if (!CommitGroup()) {
        AFile.Ends = true;
        return;
    }
    throw TFileConflict();
}

void TSongIdxThrd::BeginFile(TFileWrite& AFile) {
    if (!FGroup.Transaction) {
        FGroup.Transaction.emplace(*FCnnLocal);
        FGroup.Began = std::chrono::steady_clock::now();
    }
    AFile.Written = true;
    if (FBounds.Files > 1)
        AFile.Part.emplace(*FCnnLocal, "IndexFile");
}

void TSongIdxThrd::KeepFile(TFileWrite& AFile, int AIndex, const std::string& APath,
                            std::optional<TSongWrite> AWrite) {
    if (!AFile.Written)
        return;
    if (AFile.Part) {
        try {
            AFile.Part->Release();
        } catch (...) {
            // The release undid the file (a file already counted as failed is not counted twice).
            if (FileFailed(APath, std::current_exception(), !AFile.Failed))
                AFile.Ends = true;
            return;
        }
    }
    FGroup.Pending.push_back({AIndex, AWrite, AFile.Failed});
}

void TSongIdxThrd::DropFile(TFileWrite& AFile) {
    if (!AFile.Written)
        return;
    AFile.Written = false;
    if (AFile.Part) {
        AFile.Part.reset();
        return;
    }
    // Every file on its own: the transaction held only this one.
    FGroup.Transaction.reset();
}

bool TSongIdxThrd::GroupAged() const {
    return FGroup.Transaction && std::chrono::steady_clock::now() - FGroup.Began >= FBounds.Age;
}

bool TSongIdxThrd::CommitGroup() {
    if (!FGroup.Transaction)
        return true;
    bool Committed = false;
    std::string Text;
    bool Unusable = false;
    try {
        // Some failures (a full disk, an I/O error) make the engine roll back the whole
        // transaction at once; its files are then lost to the error that ended the run.
        if (!FCnnLocal->Engine().InTransaction()) {
            Text = "not saved: the database rolled back their transaction" +
                   (FReport->RunError.empty() ? std::string() : " after the error: " + FReport->RunError);
            Unusable = true;
        } else {
            FGroup.Transaction->Commit();
            Committed = true;
        }
    } catch (const TDatabaseError& Error) {
        Text = Error.what();
        Unusable = Error.DatabaseUnusable();
    } catch (const std::exception& Error) {
        Text = Error.what();
    }
    FGroup.Transaction.reset();
    // What the group's files wrote is counted once it is in; when the commit failed none of it
    // is, and each file is a failure (once).
    for (const TPendingFile& File : FGroup.Pending)
        if (Committed) {
            if (File.Write)
                CountWrite(*File.Write);
        } else if (!File.Failed)
            CountFailure(std::string(FFiles->Utf8(File.Index)), Text);
    FGroup.Pending.clear();
    if (Unusable && FReport->RunError.empty())
        FReport->RunError = Text;
    return !Unusable;
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
        Collisions.Reserve(static_cast<std::size_t>(Count));
        TKtvSongInfo R;
        // The files read ahead of a group: as many as the bounds allow, fewer after a group that
        // ran out of time, so that the next fits in its time and a window follows it too.
        const int Most = std::max(1, FBounds.Files);
        int Batch = Most;
        std::vector<TFileAhead> Ahead(static_cast<std::size_t>(Most));
        bool Ended = false;
        for (int I = 0; I < Count && !Ended;) {
            const int Read = std::min(Batch, Count - I);
            {
                // One snapshot of the master for the group, not a lock taken and given back for
                // every file.
                const TReadTransaction Snapshot(*FCnnTotal, Read > 1);
                for (int K = 0; K < Read; ++K)
                    ReadAhead(*Q, Names, Collisions, I + K, Ahead[static_cast<std::size_t>(K)]);
            }
            int InGroup = 0;
            bool Aged = false;
            for (int K = 0; K < Read && !Ended; ++K, ++I) {
                SendMessageW(FOwnerHandle, WM_WIZ_PROGRESS, static_cast<TWParam>(I + 1), Count);
                if (isInterruptionRequested()) {
                    FReport->Interrupted = true;
                    Ended = true;
                } else if (!IndexFile(*Q, Names, Collisions, Ahead[static_cast<std::size_t>(K)], I, R)) {
                    Ended = true;
                } else if (++InGroup; GroupAged()) {
                    Aged = true;
                    Batch = InGroup;
                    InGroup = 0;
                    Ended = !CommitGroup();
                }
            }
            // What the group holds, also after a termination request or a failure.
            Ended = !CommitGroup() || Ended;
            if (!Aged)
                Batch = std::min(Most, Batch * 2);
        }
        Q.reset();
    }
    // Only the files without a master row are compared with the master's names.
    FReport->NearMatches = Names.NearMatches(FReport->Unmatched);
    SendStatus(TWorkerStatus::IndexDone);
}

void TSongIdxThrd::ReadAhead(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions, int AIndex,
                             TFileAhead& AAhead) {
    AAhead.Path = FFiles->Utf8(AIndex);
    AAhead.Found = false;
    AAhead.Earlier = -1;
    AAhead.Info.Clear();
    AAhead.Error = nullptr;
    AAhead.Lookups = 0;
    try {
        const TQueryCloser Closer(Q);
        AAhead.Found = FindMaster(Q, ANames, AAhead.Path);
        // One database row per path whatever its letter case: of the files that are songs, the
        // first path is the song. Files that are none do not meet here.
        if (AAhead.Found)
            AAhead.Earlier = ACollisions.Check(AAhead.Path, AIndex, *FFiles);
        if (AAhead.Found && AAhead.Earlier < 0)
            ReadMaster(Q, AAhead);
    } catch (...) {
        AAhead.Error = std::current_exception();
    }
}

bool TSongIdxThrd::IndexFile(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions,
                             TFileAhead& AAhead, int AIndex, TKtvSongInfo& R) {
    ++FReport->Files;
    // A conflict comes only once the other writer has committed (its row was what got in the
    // way), so the file done again finds that row and rewrites or keeps it.
    for (int Attempt = 1;; ++Attempt) {
        // An attempt undone counts nothing: its match is counted again by the next.
        const int Matched = FReport->Matched;
        try {
            return IndexFileOnce(AAhead, AIndex, R, Attempt < FileAttempts);
        } catch (const TFileConflict&) {
            FReport->Matched = Matched;
        }
        // The attempt took the row read ahead.
        ReadAhead(Q, ANames, ACollisions, AIndex, AAhead);
    }
}

bool TSongIdxThrd::IndexFileOnce(TFileAhead& AAhead, int AIndex, TKtvSongInfo& R, bool ARetry) {
    R.Clear();
    const std::string& Path = AAhead.Path;
    TFileWrite File;
    const bool Found = AAhead.Found;
    try {
        if (Found && AAhead.Earlier < 0)
            TakeMaster(AAhead, R, File);
        else if (AAhead.Error)
            std::rethrow_exception(AAhead.Error);
    } catch (...) {
        RetryOnConflict(File, std::current_exception(), ARetry);
        R.Clear();
        FReport->Matched += Found ? 1 : 0;
        File.Failed = true;
        File.Ends = FileFailed(Path, std::current_exception()) || File.Ends;
        // Languages and types added before the failing column stay, as they would without the
        // transaction; a database that stopped working keeps nothing of the file.
        if (File.Ends) {
            DropFile(File);
            return false;
        }
        KeepFile(File, AIndex, Path);
        return !File.Ends;
    }
    if (!Found) {
        FReport->Unmatched.push_back(Path);
        return true;
    }
    if (AAhead.Earlier >= 0) {
        CountFailure(Path, "its path differs only in letter case from " +
                               Quoted(std::string(FFiles->Utf8(AAhead.Earlier))) + ", which was indexed first");
        return true;
    }
    ++FReport->Matched;
    if (R.SongName.empty()) {
        ++FReport->WithoutName;
        FReport->WithoutNameFiles.push_back(Path);
        KeepFile(File, AIndex, Path);
        return !File.Ends;
    }
    if (isInterruptionRequested()) {
        FReport->Interrupted = true;
        KeepFile(File, AIndex, Path);
        return false;
    }
    return Save(R, File, AIndex, Path, ARetry);
}

bool TSongIdxThrd::Save(const TKtvSongInfo& R, TFileWrite& AFile, int AIndex, const std::string& APath, bool ARetry) {
    TSongWrite Write = TSongWrite::Kept;
    try {
        SaveSong(R, FOverWrite, &Write);
    } catch (...) {
        RetryOnConflict(AFile, std::current_exception(), ARetry);
        AFile.Failed = true;
        AFile.Ends = FileFailed(APath, std::current_exception()) || AFile.Ends;
    }
    // The song row stays when its disco step failed (that step was undone whole), and counts
    // once it is committed. A database that stopped working keeps nothing of the file.
    if (AFile.Ends)
        DropFile(AFile);
    else if (!AFile.Failed || Write != TSongWrite::Kept)
        KeepFile(AFile, AIndex, APath, Write);
    else
        KeepFile(AFile, AIndex, APath);
    return !AFile.Ends;
}
