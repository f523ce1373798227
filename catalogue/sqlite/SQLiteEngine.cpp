#include "SQLiteEngine.h"

#include "Connection.h"
#include "ConnectionString.h"
#include "SQLiteStatement.h"
#include "SQLiteSupport.h"
#include "TextRules.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#if !defined(_WIN32)
#include <sys/vfs.h>
#endif

namespace {

// How long a statement waits for another program's lock before it fails.
constexpr int BusyTimeoutMs = 5000;

// A reader that holds one read transaction for a long time keeps every later commit in the WAL;
// once it lets go, the next reset truncates the file back to this size instead of keeping its
// peak on disk. Above the autocheckpoint's 1,000 pages, so a normal run never truncates.
constexpr int WalSizeLimit = 8 * 1024 * 1024;

// Waits for another connection's lock for up to BusyTimeoutMs, trying again often: writers hold
// the lock for one file at a time (well under a millisecond), and SQLite's own timeout sleeps
// up to 100 ms a try, so two writers would spend most of their time asleep.
int WaitWhileBusy(void* AStart, int ATries) {
    using TClock = std::chrono::steady_clock;
    auto& Start = *static_cast<TClock::time_point*>(AStart);
    const auto Now = TClock::now();
    if (ATries == 0)
        Start = Now;
    if (Now - Start >= std::chrono::milliseconds(BusyTimeoutMs))
        return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(ATries < 1000 ? 100 : 1000));
    return 1;
}

// SQLite's own autocheckpoint tries again after every commit once the WAL holds 1,000 pages,
// and each try first sorts the whole WAL: with a reader holding an old snapshot no try gets
// anywhere, and the run slows down with the square of its length. Here a try that could not
// copy everything puts the next one off until the WAL has grown by a sixteenth.
constexpr int WalCheckpointPages = 1000;

int WalCommitted(void* ACheckpointAt, sqlite3* ADb, const char* ASchema, int AFrames) {
    int& CheckpointAt = *static_cast<int*>(ACheckpointAt);
    if (AFrames < CheckpointAt)
        return SQLITE_OK;
    int Logged = 0, Copied = 0;
    sqlite3_wal_checkpoint_v2(ADb, ASchema, SQLITE_CHECKPOINT_PASSIVE, &Logged, &Copied);
    CheckpointAt = Copied >= Logged ? WalCheckpointPages : AFrames + AFrames / 16;
    return SQLITE_OK;
}

std::optional<long> StatFsType(const std::string& AFileName) {
#if defined(_WIN32)
    // The Windows build is the plug-in, which never opens a file itself.
    static_cast<void>(AFileName);
    return std::nullopt;
#else
    struct statfs Info {};
    if (statfs(AFileName.c_str(), &Info) != 0)
        return std::nullopt;
    return static_cast<long>(Info.f_type);
#endif
}

std::atomic<TFileSystemTypeQuery>& FileSystemTypeQuery() {
    static std::atomic<TFileSystemTypeQuery> Query{&StatFsType};
    return Query;
}

std::atomic<TAccessReader>& AccessReader() {
    static std::atomic<TAccessReader> Reader{nullptr};
    return Reader;
}

enum class TFileKind { Missing, NotAFile, Empty, SQLite, Access, Other };

TFileKind ProbeFile(const std::filesystem::path& APath) {
    std::error_code Error;
    const auto Status = std::filesystem::status(APath, Error);
    if (Error || !std::filesystem::exists(Status))
        return TFileKind::Missing;
    if (!std::filesystem::is_regular_file(Status))
        return TFileKind::NotAFile;
    std::ifstream In(APath, std::ios::binary);
    std::array<char, 32> Head{};
    In.read(Head.data(), Head.size());
    const auto Read = static_cast<std::size_t>(In.gcount());
    if (Read == 0)
        return TFileKind::Empty;
    const std::string_view Text(Head.data(), Read);
    if (Text.starts_with(std::string_view("SQLite format 3\0", 16)))
        return TFileKind::SQLite;
    // Jet 3/4 and ACE files carry their engine's name from byte 4.
    if (Text.size() >= 19 &&
        (Text.substr(4, 15) == "Standard Jet DB" || Text.substr(4, 15) == "Standard ACE DB"))
        return TFileKind::Access;
    return TFileKind::Other;
}

} // namespace

void SetAccessReader(TAccessReader AReader) { AccessReader().store(AReader); }

void SetFileSystemTypeQuery(TFileSystemTypeQuery AQuery) {
    FileSystemTypeQuery().store(AQuery != nullptr ? AQuery : &StatFsType);
}

bool IsNetworkFileSystem(long AType) {
    // f_type is a signed word; CIFS's magic number has its top bit set.
    switch (static_cast<std::uint32_t>(AType)) {
    case 0x6969u:     // NFS
    case 0x517Bu:     // SMB
    case 0xFF534D42u: // CIFS
    case 0xFE534D42u: // SMB2
    case 0x65735546u: // FUSE (sshfs and the like)
        return true;
    default:
        return false;
    }
}

sqlite3* SQLiteHandle(const TConnection& AConnection) {
    const auto* Engine = dynamic_cast<const TSQLiteEngine*>(&AConnection.Engine());
    if (Engine == nullptr)
        throw TDatabaseError("The database connection is not an SQLite connection");
    return Engine->Handle();
}

TSQLiteEngine::TSQLiteEngine(sqlite3* AHandle, std::string AName, bool AOwned)
    : FHandle(AHandle), FName(std::move(AName)), FOwned(AOwned) {}

std::unique_ptr<TDbEngine> TSQLiteEngine::Borrow(sqlite3* AHandle) {
    if (AHandle == nullptr)
        throw TDatabaseError("No database connection was given");
    return std::unique_ptr<TDbEngine>(new TSQLiteEngine(AHandle, std::string(), false));
}

std::unique_ptr<TDbEngine> TSQLiteEngine::Open(const std::string& AConnectionString, TConnectMode AMode) {
    const std::string Source = ConnectionStringValue(AConnectionString, "Data Source");
    if (Source.empty())
        throw TDatabaseError("The connection string names no data source");
    std::error_code Error;
    auto Path = std::filesystem::absolute(std::filesystem::path(Source), Error);
    Path = Error ? std::filesystem::path(Source) : Path.lexically_normal();
    const std::string Name = Path.string();
    const std::string Cannot = "Cannot open database " + Quoted(Name) + ": ";

    switch (ProbeFile(Path)) {
    case TFileKind::Missing:
        throw TDatabaseError(Cannot + "the file does not exist");
    case TFileKind::NotAFile:
        throw TDatabaseError(Cannot + "it is not a file");
    case TFileKind::Access: {
        if (AMode != TConnectMode::ShareDenyNone)
            throw TDatabaseError(Cannot + "it is an Access (Jet) database; Access files are only read, as "
                                          "a master catalogue, and a song database must be SQLite");
        // Master catalogues may be Access files: read once, whole, into memory.
        const TAccessReader Reader = AccessReader().load();
        if (Reader == nullptr)
            throw TDatabaseError(Cannot + "it is an Access (Jet) database; this program reads SQLite "
                                          "databases only");
        return std::unique_ptr<TDbEngine>(new TSQLiteEngine(Reader(Name), Name, true));
    }
    case TFileKind::Empty:
    case TFileKind::Other:
        throw TDatabaseError(Cannot + "the file is not a database");
    case TFileKind::SQLite:
        break;
    }

    const bool ReadOnly = AMode == TConnectMode::ShareDenyNone;
    const int Flags = (ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_FULLMUTEX;
    sqlite3* Handle = nullptr;
    const int Result = sqlite3_open_v2(Name.c_str(), &Handle, Flags, nullptr);
    if (Result != SQLITE_OK) {
        const std::string Message = Handle ? sqlite3_errmsg(Handle) : sqlite3_errstr(Result);
        const int Code = Handle ? sqlite3_extended_errcode(Handle) : Result;
        sqlite3_close_v2(Handle);
        throw TDatabaseError(Cannot + Message, Code, SQLiteFailure(Code));
    }
    std::unique_ptr<TSQLiteEngine> Engine(new TSQLiteEngine(Handle, Name, true));
    // SQLite falls back to reading when the file cannot be opened for writing (an immutable
    // file, a read-only mount); every save would then fail.
    if (!ReadOnly && sqlite3_db_readonly(Handle, "main") == 1)
        throw TDatabaseError(Cannot + "the file cannot be written (it is read-only)", SQLITE_READONLY,
                             TDbFailure::Unusable);
    // WAL keeps its index in shared memory, which only works among processes of one machine.
    std::optional<long> FileSystem;
    if (!ReadOnly)
        FileSystem = FileSystemTypeQuery().load()(Name);
    const bool RollbackJournal = FileSystem && IsNetworkFileSystem(*FileSystem);
    Engine->SetUp(ReadOnly, RollbackJournal);
    if (RollbackJournal) {
        char Type[32];
        std::snprintf(Type, sizeof Type, "0x%lX",
                      static_cast<unsigned long>(static_cast<std::uint32_t>(*FileSystem)));
        TellDatabaseNotice("database " + Quoted(Name) + " lies on a network file system (type " + Type +
                           "): opened with a rollback journal (journal_mode=DELETE), as WAL needs memory "
                           "shared on one machine");
    }
    return Engine;
}

void TSQLiteEngine::SetUp(bool AReadOnly, bool ARollbackJournal) {
    // Another program (the song-request host) may hold the file for a moment.
    sqlite3_busy_handler(FHandle, &WaitWhileBusy, &FBusySince);
    // Reading sqlite_master tells a damaged file at once.
    const std::string Setup = AReadOnly          ? "select count(*) from sqlite_master"
                              : ARollbackJournal ? "pragma journal_mode=DELETE; pragma synchronous=FULL;"
                                                   "select count(*) from sqlite_master"
                                                 : "pragma journal_mode=WAL; pragma synchronous=NORMAL;"
                                                   "pragma journal_size_limit=" +
                                                       std::to_string(WalSizeLimit) +
                                                       "; select count(*) from sqlite_master";
    char* Message = nullptr;
    // Switching to WAL fails at once, without the busy handler, while another connection
    // writes: it is retried for as long as the busy timeout would have waited.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs);
    int Result = SQLITE_OK;
    while ((Result = sqlite3_exec(FHandle, Setup.c_str(), nullptr, nullptr, &Message)) == SQLITE_BUSY &&
           std::chrono::steady_clock::now() < Deadline) {
        sqlite3_free(Message);
        Message = nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (Result != SQLITE_OK) {
        const std::string Text = Message ? Message : sqlite3_errmsg(FHandle);
        const int Code = sqlite3_extended_errcode(FHandle);
        sqlite3_free(Message);
        throw TDatabaseError("Cannot open database " + Quoted(FName) + ": " + Text, Code, SQLiteFailure(Code));
    }
    FWal = !AReadOnly && !ARollbackJournal;
    if (FWal) {
        FCheckpointAt = WalCheckpointPages;
        sqlite3_wal_hook(FHandle, &WalCommitted, &FCheckpointAt);
    }
}

TSQLiteEngine::~TSQLiteEngine() {
    DropSavepointStatements();
    if (!FOwned)
        return;
    // Leave no large WAL behind for the other programs still holding the file (the last
    // connection deletes it anyway). A reader or writer still busy makes this a no-op: no
    // waiting on close.
    if (FWal) {
        sqlite3_busy_timeout(FHandle, 0);
        sqlite3_wal_checkpoint_v2(FHandle, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    }
    sqlite3_close_v2(FHandle);
}

std::unique_ptr<TDbStatement> TSQLiteEngine::Prepare(const std::string& ASQL,
                                                     const TSqlParameters& AParameters) {
    sqlite3_stmt* Stmt = nullptr;
    const char* Tail = nullptr;
    {
        const TSQLiteLock Lock(FHandle);
        if (sqlite3_prepare_v2(FHandle, ASQL.c_str(), static_cast<int>(ASQL.size()), &Stmt, &Tail) !=
            SQLITE_OK) {
            TDatabaseError Error = SQLiteError(FHandle);
            sqlite3_finalize(Stmt);
            throw Error;
        }
    }
    if (Stmt == nullptr)
        throw TDatabaseError("The statement is empty");
    if (Tail != nullptr && !TrimControls(Tail).empty()) {
        sqlite3_finalize(Stmt);
        throw TDatabaseError("Only one statement may be given");
    }
    return std::make_unique<TSQLiteStatement>(FHandle, Stmt, AParameters);
}

void TSQLiteEngine::Execute(const std::string& ASQL) {
    const TSQLiteLock Lock(FHandle);
    char* Message = nullptr;
    if (sqlite3_exec(FHandle, ASQL.c_str(), nullptr, nullptr, &Message) != SQLITE_OK) {
        const std::string Text = Message ? Message : sqlite3_errmsg(FHandle);
        sqlite3_free(Message);
        const int Code = sqlite3_extended_errcode(FHandle);
        throw StatementError(Text, FName, ASQL, Code, SQLiteFailure(Code));
    }
}

std::int64_t TSQLiteEngine::LastInsertId() { return sqlite3_last_insert_rowid(FHandle); }

void TSQLiteEngine::Begin() { Execute("BEGIN IMMEDIATE"); }

void TSQLiteEngine::Commit() {
    DropSavepointStatements();
    Execute("COMMIT");
}

void TSQLiteEngine::Rollback() noexcept {
    DropSavepointStatements();
    try {
        // After some errors (a full disk, an I/O error) SQLite has rolled back already.
        if (InTransaction())
            Execute("ROLLBACK");
    } catch (...) {
    }
}

bool TSQLiteEngine::InTransaction() { return sqlite3_get_autocommit(FHandle) == 0; }

void TSQLiteEngine::RunSavepointStatement(const std::string& ASQL) {
    if (!FOwned) {
        Execute(ASQL);
        return;
    }
    const TSQLiteLock Lock(FHandle);
    sqlite3_stmt*& Stmt = FSavepointStatements[ASQL];
    if (Stmt == nullptr && sqlite3_prepare_v2(FHandle, ASQL.c_str(), static_cast<int>(ASQL.size()), &Stmt,
                                              nullptr) != SQLITE_OK) {
        const int Code = sqlite3_extended_errcode(FHandle);
        const std::string Text = sqlite3_errmsg(FHandle);
        FSavepointStatements.erase(ASQL);
        throw StatementError(Text, FName, ASQL, Code, SQLiteFailure(Code));
    }
    if (sqlite3_step(Stmt) != SQLITE_DONE) {
        const int Code = sqlite3_extended_errcode(FHandle);
        const std::string Text = sqlite3_errmsg(FHandle);
        sqlite3_reset(Stmt);
        throw StatementError(Text, FName, ASQL, Code, SQLiteFailure(Code));
    }
    sqlite3_reset(Stmt);
}

void TSQLiteEngine::DropSavepointStatements() noexcept {
    for (auto& [SQL, Stmt] : FSavepointStatements)
        sqlite3_finalize(Stmt);
    FSavepointStatements.clear();
}

void TSQLiteEngine::Savepoint(const std::string& AName) { RunSavepointStatement("SAVEPOINT " + QuotedIdentifier(AName)); }

void TSQLiteEngine::ReleaseSavepoint(const std::string& AName) { RunSavepointStatement("RELEASE " + QuotedIdentifier(AName)); }

void TSQLiteEngine::RollbackToSavepoint(const std::string& AName) {
    Execute("ROLLBACK TO " + QuotedIdentifier(AName) + "; RELEASE " + QuotedIdentifier(AName));
}
