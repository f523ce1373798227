// TSongIdxThrd: the song index worker. For every collected file it reads the master row with
// the same file name, resolves the language and type identifiers in the local database and
// saves the song, reporting status and progress to the wizard window.
//
// Threads: the body runs on the worker's own thread on two connections the UI thread opened.
// The access layer needs nothing per thread for that: it opens SQLite with
// SQLITE_OPEN_FULLMUTEX (serialized), so every call on a connection holds that connection's
// mutex and a connection may move between threads. What must not be shared is a TQuery: the
// worker creates, uses and releases its master query and statement cache on its own thread,
// and while it runs no one else uses the catalogue. The connections stay open for as long as
// the worker holds its references (see TSongsThrd).
#pragma once

#include "FileList.h"
#include "NameMatch.h"
#include "Paths.h"
#include "SongsThrd.h"
#include "ThreadEnd.h"
#include "Transaction.h"
#include "WinMessages.h"
#include "WorkerStatus.h"
#include "Workers.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* SqlMasterSong = "select * from Songs where FilePath=:FilePath";

struct TSongIdxFailure {
    std::string Path;
    std::string Error;
};

// What a run did. Written by the worker thread; its creator reads it once the worker has
// finished, after passing the worker's End() (TWorkers does), so that the order is one the
// thread sanitizer sees too.
struct TSongIdxReport {
    static constexpr std::size_t MaxFailures = 100;

    int Files = 0;       // entries handled (the termination check passed)
    int Matched = 0;     // a master row found
    int Inserted = 0;    // new songs written
    int Updated = 0;     // songs rewritten
    int Kept = 0;        // present and not to be overwritten
    int WithoutName = 0; // a master row with an empty SongName
    std::vector<std::string> WithoutNameFiles; // their paths
    std::vector<std::string> Unmatched; // paths without a master row
    std::vector<TNearMatch> NearMatches; // master names near the unmatched ones, in their order
    int Failed = 0; // lookup or save errors, and songs whose paths differ from an earlier
                    // song's only in letter case
    std::vector<TSongIdxFailure> Failures; // the first MaxFailures of them
    bool Interrupted = false;              // a termination request stopped the run
    // Why the run could not start (no master query) or ended early (a database stopped
    // working); empty when the run went through.
    std::string RunError;
    // RunError is the connection to a database server breaking: a new connection may go on.
    bool ConnectionLost = false;
};

using TSongIdxReportRef = std::shared_ptr<TSongIdxReport>;

class TSongIdxThrd : public TSongsThrd {
    Q_OBJECT
public:
    // Created not started and self-deleting like every TSongsThrd. The creator takes Report()
    // and End() before starting the worker (TWorkers::Start).
    TSongIdxThrd(TWindowHandle AOwnerHandle, TConnectionRef ACnnLocal, TConnectionRef ACnnTotal,
                 TStringListRef AFiles, bool OverWrite);
    ~TSongIdxThrd() override;

    TSongIdxReportRef Report() const { return FReport; }
    // Passed before the report is read (see TWorkers).
    TWorkerEndRef End() const { return FEnd; }

protected:
    void run() override {
        const TThreadBodyEnd BodyEnd;
        const TWorkerEnd::TMark Mark(*FEnd);
        Execute();
    }
    void Execute();
    void IndexSongs();

    TStringListRef FFiles;
    bool FOverWrite;

private:
    // One file's writing: its transaction (from the first lookup to the disco mirror), whether
    // its failure is counted already, and whether the database stopped working (the run ends
    // after this file).
    struct TFileWrite {
        std::optional<TTransaction> Transaction;
        bool Failed = false;
        bool Ends = false;
    };

    void SendStatus(TWorkerStatus AStatus);
    // The master query and the master's names; false (the report says why) when the run
    // cannot start.
    bool OpenMaster(std::unique_ptr<TQuery>& AQuery, TMasterNames& ANames);
    // Entry AIndex of the list, into R; false when the run ends after it. A file that meets
    // another writer's row at the same moment (a server's conflict) is undone and done again.
    bool IndexFile(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions, int AIndex,
                   TKtvSongInfo& R);
    // One attempt at it; throws TFileConflict (its transaction undone) when ARetry and it met
    // a conflict.
    bool IndexFileOnce(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions, int AIndex,
                       const std::string& APath, TKtvSongInfo& R, bool ARetry);
    // Saves R and commits the file; false when the run ends after it.
    bool Save(const TKtvSongInfo& R, TFileWrite& AFile, const std::string& APath, bool ARetry);
    // Undoes the file and throws TFileConflict when AError is a conflict and ARetry.
    static void RetryOnConflict(TFileWrite& AFile, std::exception_ptr AError, bool ARetry);

    // Commits what the file wrote; false (the failure recorded) when that failed.
    bool Commit(TFileWrite& AFile, const std::string& APath, bool ARetry = false);
    // Opens Q on the master row of entry APath's file name; true when there is one.
    bool FindMaster(TQuery& Q, const TMasterNames& ANames, const std::string& APath);
    // Reads the row Q holds into AInfo, beginning the file's transaction in ATransaction
    // before the identifier lookups.
    void ReadMaster(TQuery& Q, const std::string& APath, TKtvSongInfo& AInfo,
                    std::optional<TTransaction>& ATransaction);
    // Records the file's error (counted and listed unless ACount is false: a second error of
    // one file); true when it means the database has stopped working and the run must end.
    bool FileFailed(const std::string& APath, std::exception_ptr AError, bool ACount = true);
    void CountFailure(const std::string& APath, const std::string& AText);
    void CountWrite(TSongWrite AWrite);

    TSongIdxReportRef FReport;
    const TWorkerEndRef FEnd = std::make_shared<TWorkerEnd>();
};
