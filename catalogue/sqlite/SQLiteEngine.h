// TSQLiteEngine: SQLite files (and a host's open SQLite handle) behind TDbEngine. The only
// place besides SQLiteStatement.cpp and the Access import that calls SQLite.
//
// A file is opened only when it exists and is an SQLite database (never created); an Access file
// is read whole into a private database when a reader is installed, and only for reading.
// Writable files are opened in WAL mode with synchronous=NORMAL, or with a rollback journal on a
// network file system (WAL's shared memory does not work across machines), and wait up to 5 s
// for another program's lock. Connections are serialized (SQLITE_OPEN_FULLMUTEX), so one may be
// used from any thread.
#pragma once

#include "DbEngine.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;
class TConnection;

class TSQLiteEngine final : public TDbEngine {
public:
    // "Provider=...;Data Source=FILE;..." as the Jet provider takes it (only Data Source is
    // used); TConnection gives it every connection string that names no server.
    static std::unique_ptr<TDbEngine> Open(const std::string& AConnectionString, TConnectMode AMode);
    // A host's open handle, used as the host has set it up: never closed or reconfigured.
    static std::unique_ptr<TDbEngine> Borrow(sqlite3* AHandle);

    ~TSQLiteEngine() override;
    TSQLiteEngine(const TSQLiteEngine&) = delete;
    TSQLiteEngine& operator=(const TSQLiteEngine&) = delete;

    const std::string& Name() const override { return FName; }
    std::unique_ptr<TDbStatement> Prepare(const std::string& ASQL,
                                          const TSqlParameters& AParameters) override;
    void Execute(const std::string& ASQL) override;
    std::int64_t LastInsertId() override;
    // BEGIN IMMEDIATE: the write lock is taken at the start (waiting out the busy timeout).
    void Begin() override;
    void Commit() override;
    void Rollback() noexcept override;
    bool InTransaction() override;
    void Savepoint(const std::string& AName) override;
    void ReleaseSavepoint(const std::string& AName) override;
    void RollbackToSavepoint(const std::string& AName) override;

    sqlite3* Handle() const { return FHandle; }

private:
    TSQLiteEngine(sqlite3* AHandle, std::string AName, bool AOwned);
    // The busy handler, and for a writable file the journal and the checkpoints; throws when
    // the file cannot be read (or switched to its journal mode) within the busy timeout.
    void SetUp(bool AReadOnly, bool ARollbackJournal);
    // Runs a savepoint's statement, compiled once while the transaction lasts (a group of files
    // makes and releases one a file); on a borrowed handle compiled each time, since statements
    // left on it would make the host's own close fail.
    void RunSavepointStatement(const std::string& ASQL);
    // Finalizes those statements: when a transaction ends, so that none outlives it.
    void DropSavepointStatements() noexcept;

    sqlite3* FHandle;
    std::string FName;
    bool FOwned;
    bool FWal = false;     // writable, in WAL mode
    int FCheckpointAt = 0; // WAL pages at which the next checkpoint is tried
    std::chrono::steady_clock::time_point FBusySince; // when the current wait for a lock began
    std::map<std::string, sqlite3_stmt*> FSavepointStatements;
};

// The SQLite handle of an open connection, for tests and tools that look at SQLite itself;
// throws TDatabaseError when the connection is closed or not SQLite.
sqlite3* SQLiteHandle(const TConnection& AConnection);

// Reads an Access file whole into a new private database and returns it open. Installed by the
// programs that read Access master catalogues (the plug-in does not link the reader); without
// one, an Access file fails to open.
using TAccessReader = sqlite3* (*)(const std::string& AFileName);
void SetAccessReader(TAccessReader AReader);

// The type of the file system holding a file (statfs f_type), nullopt when it cannot be told.
// Replaceable so that tests can pretend a database lies on a network file system; nullptr
// restores statfs.
using TFileSystemTypeQuery = std::optional<long> (*)(const std::string& AFileName);
void SetFileSystemTypeQuery(TFileSystemTypeQuery AQuery);
// NFS, CIFS/SMB and FUSE: WAL's shared memory does not work across machines there, so
// writable connections to files on them use a rollback journal.
bool IsNetworkFileSystem(long AType);
