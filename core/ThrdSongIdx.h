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
#include "Savepoint.h"
#include "ThreadEnd.h"
#include "Transaction.h"
#include "WinMessages.h"
#include "WorkerStatus.h"
#include "Workers.h"

#include <chrono>
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

// When the worker commits. Every file on its own by default (the wizard: its host may read the
// songs while it runs); corvena-index commits whole files in groups, since a commit writes the
// pages a file touched to the WAL again for every file. The worker reads the master rows of up to
// Files files first, holding no lock, then writes them in one transaction, committed once they
// are written or once Age has passed (the rest then go into the next). Each file is a savepoint
// of its own inside it, so a file that fails undoes only itself, and a crash loses the last group
// whole. Another writer gets in while the next files are read: it waits for one group at most.
struct TCommitBounds {
    int Files = 1;
    std::chrono::milliseconds Age{0};
};

class TSongIdxThrd : public TSongsThrd {
    Q_OBJECT
public:
    // Created not started and self-deleting like every TSongsThrd. The creator takes Report()
    // and End() before starting the worker (TWorkers::Start).
    TSongIdxThrd(TWindowHandle AOwnerHandle, TConnectionRef ACnnLocal, TConnectionRef ACnnTotal,
                 TStringListRef AFiles, bool OverWrite);
    ~TSongIdxThrd() override;

    TSongIdxReportRef Report() const { return FReport; }
    // Before the start.
    void SetCommitBounds(const TCommitBounds& ABounds) { FBounds = ABounds; }
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
    // One file's writing, from the first lookup to the disco mirror: its savepoint inside the
    // group (none when every file is committed on its own), whether its failure is counted
    // already, and whether the database stopped working (the run ends after this file).
    struct TFileWrite {
        std::optional<TSavepoint> Part;
        bool Written = false; // the group's transaction holds what it wrote
        bool Failed = false;
        bool Ends = false;
    };
    // A file read ahead of the group's transaction: its path, whether the master has its row (and
    // an earlier path it collides with), the row's values, and the error that stopped reading
    // them, which counts after the identifier lookups of the names read before it.
    struct TFileAhead {
        std::string Path;
        bool Found = false;
        int Earlier = -1;
        TKtvSongInfo Info;
        std::exception_ptr Error;
        int Lookups = 0; // 0, 1 (the language) or 2 (and the type)
    };
    // A file whose writes wait for the group's commit, and what is counted once they are in.
    struct TPendingFile {
        int Index;
        std::optional<TSongWrite> Write;
        bool Failed;
    };
    // The transaction that the files write in, until its bounds are reached.
    struct TGroup {
        std::optional<TTransaction> Transaction;
        std::chrono::steady_clock::time_point Began;
        std::vector<TPendingFile> Pending;
    };

    void SendStatus(TWorkerStatus AStatus);
    // The master query and the master's names; false (the report says why) when the run
    // cannot start.
    bool OpenMaster(std::unique_ptr<TQuery>& AQuery, TMasterNames& ANames);
    // What the master says of entry AIndex, into AAhead; no lock is taken.
    void ReadAhead(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions, int AIndex,
                   TFileAhead& AAhead);
    // Entry AIndex of the list, read ahead in AAhead, into R; false when the run ends after it.
    // A file that meets another writer's row at the same moment (a server's conflict) is undone
    // and done again, its master row read anew.
    bool IndexFile(TQuery& Q, const TMasterNames& ANames, TCaseCollisions& ACollisions, TFileAhead& AAhead,
                   int AIndex, TKtvSongInfo& R);
    // One attempt at it; throws TFileConflict (the file undone) when ARetry and it met a conflict.
    bool IndexFileOnce(TFileAhead& AAhead, int AIndex, TKtvSongInfo& R, bool ARetry);
    // Saves R and keeps the file in its group; false when the run ends after it.
    bool Save(const TKtvSongInfo& R, TFileWrite& AFile, int AIndex, const std::string& APath, bool ARetry);
    // When AError is a conflict and ARetry: undoes the file, commits what its group holds and
    // throws TFileConflict.
    void RetryOnConflict(TFileWrite& AFile, std::exception_ptr AError, bool ARetry);
    // The file's writes begin: in the group's transaction (begun when there is none), inside a
    // savepoint of the file's own when files are grouped.
    void BeginFile(TFileWrite& AFile);
    // Keeps what the file wrote in the group, AWrite counted once the group is committed.
    void KeepFile(TFileWrite& AFile, int AIndex, const std::string& APath,
                  std::optional<TSongWrite> AWrite = std::nullopt);
    // Undoes what the file wrote (the database stopped working): its savepoint, or the
    // transaction that held only it.
    void DropFile(TFileWrite& AFile);
    // The group has been open for its time.
    bool GroupAged() const;
    // Commits the group and counts its files; false (their failures recorded) when the
    // database stopped working.
    bool CommitGroup();
    // Opens Q on the master row of entry APath's file name; true when there is one.
    bool FindMaster(TQuery& Q, const TMasterNames& ANames, const std::string& APath);
    // Reads the row Q holds into AAhead.
    static void ReadMaster(TQuery& Q, TFileAhead& AAhead);
    // AAhead's record into R, beginning the file's writes in AFile for the identifier lookups.
    void TakeMaster(TFileAhead& AAhead, TKtvSongInfo& R, TFileWrite& AFile);
    // Records the file's error (counted and listed unless ACount is false: a second error of
    // one file); true when it means the database has stopped working and the run must end.
    bool FileFailed(const std::string& APath, std::exception_ptr AError, bool ACount = true);
    void CountFailure(const std::string& APath, const std::string& AText);
    void CountWrite(TSongWrite AWrite);

    TSongIdxReportRef FReport;
    TCommitBounds FBounds;
    TGroup FGroup;
    const TWorkerEndRef FEnd = std::make_shared<TWorkerEnd>();
};
