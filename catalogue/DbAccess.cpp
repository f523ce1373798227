#include "DbAccess.h"

#include "TextRules.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
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

std::atomic<TDatabaseNotice>& DatabaseNotice() {
    static std::atomic<TDatabaseNotice> Notice{nullptr};
    return Notice;
}

std::atomic<TAccessReader>& AccessReader() {
    static std::atomic<TAccessReader> Reader{nullptr};
    return Reader;
}

// Releases a temporary statement on every path.
struct TStmtGuard {
    sqlite3_stmt* Stmt = nullptr;
    ~TStmtGuard() { sqlite3_finalize(Stmt); }
};

// Holds the connection's mutex so that a step and the change count read after it belong
// together even when another thread shares the connection.
class TDbLock {
public:
    explicit TDbLock(sqlite3* ADb) : FMutex(sqlite3_db_mutex(ADb)) { sqlite3_mutex_enter(FMutex); }
    ~TDbLock() { sqlite3_mutex_leave(FMutex); }
    TDbLock(const TDbLock&) = delete;
    TDbLock& operator=(const TDbLock&) = delete;

private:
    sqlite3_mutex* FMutex;
};

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

// Days from 1 January of year 0 (proleptic Gregorian) for a civil date.
std::int64_t DaysFromCivil(std::int64_t AYear, unsigned AMonth, unsigned ADay) {
    AYear -= AMonth <= 2;
    const std::int64_t Era = (AYear >= 0 ? AYear : AYear - 399) / 400;
    const auto YearOfEra = static_cast<unsigned>(AYear - Era * 400);
    const unsigned DayOfYear = (153 * (AMonth + (AMonth > 2 ? -3 : 9)) + 2) / 5 + ADay - 1;
    const unsigned DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
    return Era * 146097 + static_cast<std::int64_t>(DayOfEra);
}

bool ParseInt32(std::string_view AText, std::int32_t& AValue) {
    if (AText.empty())
        return false;
    std::size_t Pos = 0;
    bool Negative = false;
    if (AText[0] == '+' || AText[0] == '-') {
        Negative = AText[0] == '-';
        Pos = 1;
    }
    if (Pos == AText.size())
        return false;
    std::int64_t Value = 0;
    for (; Pos < AText.size(); ++Pos) {
        const char C = AText[Pos];
        if (C < '0' || C > '9')
            return false;
        Value = Value * 10 + (C - '0');
        if (Value > 2147483648LL)
            return false;
    }
    if (Negative)
        Value = -Value;
    if (Value > std::numeric_limits<std::int32_t>::max())
        return false;
    AValue = static_cast<std::int32_t>(Value);
    return true;
}

// Exactly "YYYY-MM-DD", optionally followed by " HH:MM" or " HH:MM:SS" (a "T" may stand for
// the blank); the date must exist and nothing may follow.
bool ParseDateText(std::string_view AText, int& AYear, int& AMonth, int& ADay, int& AHour,
                   int& AMinute, int& ASecond) {
    std::size_t Pos = 0;
    const auto Digits = [&](std::size_t ACount, int& AValue) {
        if (Pos + ACount > AText.size())
            return false;
        AValue = 0;
        for (std::size_t I = 0; I < ACount; ++I) {
            const char C = AText[Pos + I];
            if (C < '0' || C > '9')
                return false;
            AValue = AValue * 10 + (C - '0');
        }
        Pos += ACount;
        return true;
    };
    const auto Literal = [&](char AChar) {
        if (Pos >= AText.size() || AText[Pos] != AChar)
            return false;
        ++Pos;
        return true;
    };
    AHour = AMinute = ASecond = 0;
    if (!Digits(4, AYear) || !Literal('-') || !Digits(2, AMonth) || !Literal('-') ||
        !Digits(2, ADay))
        return false;
    if (Pos < AText.size()) {
        if (!(Literal(' ') || Literal('T')) || !Digits(2, AHour) || !Literal(':') ||
            !Digits(2, AMinute))
            return false;
        if (Pos < AText.size() && (!Literal(':') || !Digits(2, ASecond)))
            return false;
        if (Pos != AText.size())
            return false;
    }
    static constexpr int MonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (AYear < 100 || AMonth < 1 || AMonth > 12 || AHour > 23 || AMinute > 59 || ASecond > 59)
        return false;
    const bool Leap = (AYear % 4 == 0 && AYear % 100 != 0) || AYear % 400 == 0;
    const int Days = MonthDays[AMonth - 1] + (AMonth == 2 && Leap ? 1 : 0);
    return ADay >= 1 && ADay <= Days;
}

std::string FormatDouble(double AValue) {
    char Buffer[64];
    std::snprintf(Buffer, sizeof Buffer, "%.15g", AValue);
    return Buffer;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Errors

bool TDatabaseError::DatabaseUnusable() const {
    switch (FCode & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
    case SQLITE_PROTOCOL:
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Dates

void CheckDateTime(TDateTime AValue) {
    // 1 January 100 .. the last moment of 31 December 9999.
    if (!(AValue >= -657434.0 && AValue < 2958466.0)) {
        char Buffer[96];
        std::snprintf(Buffer, sizeof Buffer, "'%g' is not a valid date and time", AValue);
        throw TDatabaseError(Buffer);
    }
}

TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond) {
    const std::int64_t Days = DaysFromCivil(AYear, static_cast<unsigned>(AMonth),
                                            static_cast<unsigned>(ADay)) -
                              DaysFromCivil(1899, 12, 30);
    const double Time = (AHour * 3600.0 + AMinute * 60.0 + ASecond) / 86400.0;
    // Before 1899-12-30 the time of day still counts forward from the day's start.
    return Days >= 0 ? static_cast<double>(Days) + Time : static_cast<double>(Days) - Time;
}

// ---------------------------------------------------------------------------------------------
// TConnection

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

void SetDatabaseNotice(TDatabaseNotice ANotice) { DatabaseNotice().store(ANotice); }

std::string ConnectionStringValue(std::string_view AConnectionString, std::string_view AKey) {
    std::string_view Rest = AConnectionString;
    while (!Rest.empty()) {
        const auto End = Rest.find(';');
        const std::string_view Part = Rest.substr(0, End);
        Rest = End == std::string_view::npos ? std::string_view() : Rest.substr(End + 1);
        const auto Equals = Part.find('=');
        if (Equals == std::string_view::npos)
            continue;
        if (SameText(TrimControls(Part.substr(0, Equals)), AKey)) {
            std::string_view Value = TrimControls(Part.substr(Equals + 1));
            if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
                Value.back() == Value.front())
                Value = Value.substr(1, Value.size() - 2);
            return std::string(Value);
        }
    }
    return {};
}

TConnection::TConnection() = default;

TConnection::TConnection(sqlite3* ABorrowed) : FHandle(ABorrowed), FBorrowed(true) {
    if (ABorrowed == nullptr)
        throw TDatabaseError("No database connection was given");
}

TConnection::~TConnection() { Close(); }

void TConnection::SetConnectionString(const std::string& AValue) {
    if (Connected())
        throw TDatabaseError("Cannot change the connection string of an open connection");
    FConnectionString = AValue;
}

void TConnection::SetMode(TConnectMode AMode) {
    if (Connected())
        throw TDatabaseError("Cannot change the mode of an open connection");
    FMode = AMode;
}

void TConnection::SetConnected(bool AValue) {
    if (AValue == Connected())
        return;
    if (AValue)
        Open();
    else
        Close();
}

sqlite3* TConnection::Handle() const {
    if (FHandle == nullptr)
        throw TDatabaseError("The database connection is not open");
    return FHandle;
}

void TConnection::Open() {
    if (FBorrowed)
        return;
    const std::string Source = ConnectionStringValue(FConnectionString, "Data Source");
    if (Source.empty())
        throw TDatabaseError("The connection string names no data source");
    std::error_code Error;
    auto Path = std::filesystem::absolute(std::filesystem::path(Source), Error);
    Path = Error ? std::filesystem::path(Source) : Path.lexically_normal();
    const std::string Name = Path.string();

    switch (ProbeFile(Path)) {
    case TFileKind::Missing:
        throw TDatabaseError("Cannot open database " + Quoted(Name) + ": the file does not exist");
    case TFileKind::NotAFile:
        throw TDatabaseError("Cannot open database " + Quoted(Name) + ": it is not a file");
    case TFileKind::Access: {
        if (FMode != TConnectMode::ShareDenyNone)
            throw TDatabaseError("Cannot open database " + Quoted(Name) +
                                 ": it is an Access (Jet) database; Access files are only read, as "
                                 "a master catalogue, and a song database must be SQLite");
        // Master catalogues may be Access files: read once, whole, into memory.
        const TAccessReader Reader = AccessReader().load();
        if (Reader == nullptr)
            throw TDatabaseError("Cannot open database " + Quoted(Name) +
                                 ": it is an Access (Jet) database; this program reads SQLite "
                                 "databases only");
        FHandle = Reader(Name);
        FFileName = Name;
        return;
    }
    case TFileKind::Empty:
    case TFileKind::Other:
        throw TDatabaseError("Cannot open database " + Quoted(Name) + ": the file is not a database");
    case TFileKind::SQLite:
        break;
    }

    const bool ReadOnly = FMode == TConnectMode::ShareDenyNone;
    const int Flags =
        (ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_FULLMUTEX;
    sqlite3* Handle = nullptr;
    const int Result = sqlite3_open_v2(Name.c_str(), &Handle, Flags, nullptr);
    if (Result != SQLITE_OK) {
        const std::string Message = Handle ? sqlite3_errmsg(Handle) : sqlite3_errstr(Result);
        const int Code = Handle ? sqlite3_extended_errcode(Handle) : Result;
        sqlite3_close_v2(Handle);
        throw TDatabaseError("Cannot open database " + Quoted(Name) + ": " + Message, Code);
    }
    // SQLite falls back to reading when the file cannot be opened for writing (an immutable
    // file, a read-only mount); every save would then fail.
    if (!ReadOnly && sqlite3_db_readonly(Handle, "main") == 1) {
        sqlite3_close_v2(Handle);
        throw TDatabaseError("Cannot open database " + Quoted(Name) +
                                 ": the file cannot be written (it is read-only)",
                             SQLITE_READONLY);
    }
    // Another program (the song-request host) may hold the file for a moment.
    sqlite3_busy_handler(Handle, &WaitWhileBusy, &FBusySince);
    // WAL keeps its index in shared memory, which only works among processes of one machine.
    std::optional<long> FileSystem;
    if (!ReadOnly)
        FileSystem = FileSystemTypeQuery().load()(Name);
    const bool RollbackJournal = FileSystem && IsNetworkFileSystem(*FileSystem);
    const std::string Setup =
        ReadOnly          ? "select count(*) from sqlite_master"
        : RollbackJournal ? "pragma journal_mode=DELETE; pragma synchronous=FULL;"
                            "select count(*) from sqlite_master"
                          : "pragma journal_mode=WAL; pragma synchronous=NORMAL;"
                            "pragma journal_size_limit=" +
                                std::to_string(WalSizeLimit) + "; select count(*) from sqlite_master";
    char* Message = nullptr;
    // Switching to WAL fails at once, without the busy handler, while another connection
    // writes: it is retried for as long as the busy timeout would have waited.
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs);
    int SetupResult = SQLITE_OK;
    while ((SetupResult = sqlite3_exec(Handle, Setup.c_str(), nullptr, nullptr, &Message)) == SQLITE_BUSY &&
           std::chrono::steady_clock::now() < Deadline) {
        sqlite3_free(Message);
        Message = nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (SetupResult != SQLITE_OK) {
        const std::string Text = Message ? Message : sqlite3_errmsg(Handle);
        const int Code = sqlite3_extended_errcode(Handle);
        sqlite3_free(Message);
        sqlite3_close_v2(Handle);
        throw TDatabaseError("Cannot open database " + Quoted(Name) + ": " + Text, Code);
    }
    FHandle = Handle;
    FFileName = Name;
    FWal = !ReadOnly && !RollbackJournal;
    if (FWal) {
        FCheckpointAt = WalCheckpointPages;
        sqlite3_wal_hook(FHandle, &WalCommitted, &FCheckpointAt);
    }
    if (RollbackJournal) {
        char Type[32];
        std::snprintf(Type, sizeof Type, "0x%lX", static_cast<unsigned long>(static_cast<std::uint32_t>(*FileSystem)));
        if (const TDatabaseNotice Notice = DatabaseNotice().load())
            Notice("database " + Quoted(Name) + " lies on a network file system (type " + Type +
                   "): opened with a rollback journal (journal_mode=DELETE), as WAL needs memory "
                   "shared on one machine");
    }
}

void TConnection::Close() noexcept {
    if (FHandle != nullptr && !FBorrowed) {
        // Leave no large WAL behind for the other programs still holding the file (the last
        // connection deletes it anyway). A reader or writer still busy makes this a no-op:
        // no waiting on close.
        if (FWal) {
            sqlite3_busy_timeout(FHandle, 0);
            sqlite3_wal_checkpoint_v2(FHandle, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                      nullptr);
        }
        sqlite3_close_v2(FHandle);
    }
    FWal = false;
    if (!FBorrowed) {
        FHandle = nullptr;
        FFileName.clear();
    }
}

// ---------------------------------------------------------------------------------------------
// Transactions

void ExecuteDirect(TConnection& AConnection, const std::string& ASQL) {
    sqlite3* Db = AConnection.Handle();
    TDbLock Lock(Db);
    char* Message = nullptr;
    if (sqlite3_exec(Db, ASQL.c_str(), nullptr, nullptr, &Message) != SQLITE_OK) {
        std::string Text = Message ? Message : sqlite3_errmsg(Db);
        sqlite3_free(Message);
        if (!AConnection.FileName().empty())
            Text += " (database " + Quoted(AConnection.FileName()) + ")";
        throw TDatabaseError(Text + " in statement " + Quoted(ASQL), sqlite3_extended_errcode(Db));
    }
}

TTransaction::TTransaction(TConnection& AConnection) : FConnection(AConnection) {
    ExecuteDirect(FConnection, "BEGIN IMMEDIATE");
    FActive = true;
}

TTransaction::~TTransaction() { Rollback(); }

void TTransaction::Commit() {
    if (!FActive)
        throw TDatabaseError("No transaction to commit");
    try {
        ExecuteDirect(FConnection, "COMMIT");
    } catch (...) {
        // A commit that fails (busy readers in rollback-journal mode, a full disk) leaves the
        // transaction open: end it here so the connection stays usable.
        Rollback();
        throw;
    }
    FActive = false;
}

void TTransaction::Rollback() noexcept {
    if (!FActive)
        return;
    FActive = false;
    try {
        // After some errors (a full disk, an I/O error) SQLite has rolled back already.
        if (sqlite3_get_autocommit(FConnection.Handle()) == 0)
            ExecuteDirect(FConnection, "ROLLBACK");
    } catch (...) {
    }
}

TSavepoint::TSavepoint(TConnection& AConnection, std::string AName)
    : FConnection(AConnection), FName(std::move(AName)) {
    FOutermost = sqlite3_get_autocommit(FConnection.Handle()) != 0;
    ExecuteDirect(FConnection, "SAVEPOINT \"" + FName + "\"");
    FActive = true;
}

TSavepoint::~TSavepoint() { Rollback(); }

void TSavepoint::Release() {
    if (!FActive)
        throw TDatabaseError("No savepoint " + Quoted(FName) + " to release");
    try {
        ExecuteDirect(FConnection, "RELEASE \"" + FName + "\"");
    } catch (...) {
        // Releasing the outermost savepoint commits, which can fail (readers keeping a rollback
        // journal's file busy past the busy timeout, a full disk) and leave the transaction
        // open: end it, so that the connection is in autocommit again as it was.
        Rollback();
        throw;
    }
    FActive = false;
}

void TSavepoint::Rollback() noexcept {
    if (!FActive)
        return;
    FActive = false;
    try {
        // Gone already when SQLite rolled back the whole transaction after an error.
        if (sqlite3_get_autocommit(FConnection.Handle()) != 0)
            return;
        // A savepoint that began the transaction ends it with ROLLBACK, which always leaves
        // autocommit; rolling back to it and releasing it would be a commit, which can fail
        // the same way its release did.
        ExecuteDirect(FConnection, FOutermost ? std::string("ROLLBACK")
                                              : "ROLLBACK TO \"" + FName + "\"; RELEASE \"" +
                                                    FName + "\"");
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------------------------
// TQuery

// The kind of a column by SQLite's affinity rules, so that the type names of databases
// converted from Access (LONG, SHORT, BYTE, COUNTER, CURRENCY, DATETIME, ...) are numbers.
TQuery::TFieldKind TQuery::KindOfDeclType(const char* ADeclType) {
    if (ADeclType == nullptr || ADeclType[0] == '\0')
        return TFieldKind::Untyped;
    std::string Type(ADeclType);
    std::transform(Type.begin(), Type.end(), Type.begin(),
                   [](char C) { return static_cast<char>(std::toupper(static_cast<unsigned char>(C))); });
    const auto Has = [&Type](const char* APart) { return Type.find(APart) != std::string::npos; };
    if (Has("INT"))
        return TFieldKind::Integer;
    if (Has("CHAR") || Has("CLOB") || Has("TEXT"))
        return TFieldKind::Text;
    if (Has("BLOB"))
        return TFieldKind::Untyped;
    if (Has("REAL") || Has("FLOA") || Has("DOUB"))
        return TFieldKind::Real;
    return TFieldKind::Numeric;
}

TQuery::TValue TQuery::ReadCell(sqlite3_stmt* AStmt, int AColumn) {
    switch (sqlite3_column_type(AStmt, AColumn)) {
    case SQLITE_INTEGER:
        return static_cast<std::int64_t>(sqlite3_column_int64(AStmt, AColumn));
    case SQLITE_FLOAT:
        return sqlite3_column_double(AStmt, AColumn);
    case SQLITE_NULL:
        return {};
    default: {
        const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(AStmt, AColumn));
        return std::string(Text ? Text : "",
                           static_cast<std::size_t>(sqlite3_column_bytes(AStmt, AColumn)));
    }
    }
}

void TQuery::TStmtDeleter::operator()(sqlite3_stmt* AStmt) const noexcept {
    sqlite3_finalize(AStmt);
}

TQuery::TQuery(TConnection& AConnection) : FConnection(AConnection) {}

TQuery::~TQuery() = default;

void TQuery::SetSQL(const std::string& ASQL) {
    Close();
    FStmt.reset();
    FParamsRead = false;
    FFieldsRead = false;
    FSQL = ASQL;
}

void TQuery::Fail(const std::string& AWhat, int ACode) const {
    std::string Message = AWhat;
    if (!FConnection.FileName().empty())
        Message += " (database " + Quoted(FConnection.FileName()) + ")";
    Message += " in statement " + Quoted(FSQL);
    throw TDatabaseError(Message, ACode);
}

void TQuery::Prepare() { Statement(); }

sqlite3_stmt* TQuery::Statement() {
    if (!FStmt) {
        sqlite3_stmt* Stmt = nullptr;
        const char* Tail = nullptr;
        sqlite3* Db = FConnection.Handle();
        TDbLock Lock(Db);
        if (sqlite3_prepare_v2(Db, FSQL.c_str(), static_cast<int>(FSQL.size()), &Stmt, &Tail) !=
            SQLITE_OK) {
            const std::string Message = sqlite3_errmsg(Db);
            const int Code = sqlite3_extended_errcode(Db);
            sqlite3_finalize(Stmt);
            Fail("Cannot prepare the statement: " + Message, Code);
        }
        if (Stmt == nullptr)
            Fail("The statement is empty");
        if (Tail != nullptr && !TrimControls(Tail).empty()) {
            sqlite3_finalize(Stmt);
            Fail("Only one statement may be given");
        }
        FStmt.reset(Stmt);
    }
    return FStmt.get();
}

const std::vector<int>& TQuery::ParamIndexes(std::string_view AName) {
    sqlite3_stmt* Stmt = Statement();
    if (FActive)
        Close();
    sqlite3_reset(Stmt);
    // The names are read once per compiled statement: asking SQLite for every name on every
    // binding made binding a statement quadratic in its parameters.
    if (!FParamsRead) {
        FParams.clear();
        const int Count = sqlite3_bind_parameter_count(Stmt);
        for (int I = 1; I <= Count; ++I) {
            const char* Name = sqlite3_bind_parameter_name(Stmt, I);
            if (Name == nullptr || Name[0] == '\0')
                continue;
            const std::string_view Bare(Name + 1);
            const auto Same = std::find_if(FParams.begin(), FParams.end(),
                                           [Bare](const TParam& P) { return SameText(P.Name, Bare); });
            if (Same != FParams.end())
                Same->Indexes.push_back(I);
            else
                FParams.push_back(TParam{std::string(Bare), {I}});
        }
        FParamsRead = true;
        FParamHint = 0;
    }
    // Callers bind in the statement's order: the search starts after the last name found.
    const std::size_t Count = FParams.size();
    for (std::size_t Step = 0; Step < Count; ++Step) {
        const std::size_t At = (FParamHint + Step) % Count;
        if (SameText(FParams[At].Name, AName)) {
            FParamHint = At + 1;
            return FParams[At].Indexes;
        }
    }
    Fail("Unknown parameter " + Quoted(std::string(AName)));
}

void TQuery::SetText(std::string_view AName, const std::string& AValue) {
    for (const int I : ParamIndexes(AName))
        sqlite3_bind_text(FStmt.get(), I, AValue.data(), static_cast<int>(AValue.size()),
                          SQLITE_TRANSIENT);
}

void TQuery::SetInteger(std::string_view AName, std::int32_t AValue) {
    for (const int I : ParamIndexes(AName))
        sqlite3_bind_int(FStmt.get(), I, AValue);
}

void TQuery::SetBoolean(std::string_view AName, bool AValue) {
    for (const int I : ParamIndexes(AName))
        sqlite3_bind_int(FStmt.get(), I, AValue ? 1 : 0);
}

void TQuery::SetNull(std::string_view AName) {
    for (const int I : ParamIndexes(AName))
        sqlite3_bind_null(FStmt.get(), I);
}

void TQuery::SetDate(std::string_view AName, TDateTime AValue) {
    const auto& Indexes = ParamIndexes(AName);
    CheckDateTime(AValue);
    for (const int I : Indexes)
        sqlite3_bind_double(FStmt.get(), I, AValue);
}

void TQuery::Open() {
    sqlite3_stmt* Stmt = Statement();
    Close();
    sqlite3_reset(Stmt);
    const int Columns = sqlite3_column_count(Stmt);
    // The field list belongs to the compiled statement: it is read again only after SQLite
    // has compiled the statement anew (after a change of the schema).
    const int Compiles = sqlite3_stmt_status(Stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
    if (!FFieldsRead || Compiles != FFieldsCompiles) {
        FFields.clear();
        for (int I = 0; I < Columns; ++I) {
            const char* Name = sqlite3_column_name(Stmt, I);
            FFields.push_back({Name ? Name : "", KindOfDeclType(sqlite3_column_decltype(Stmt, I))});
        }
        FFieldsRead = true;
        FFieldsCompiles = Compiles;
        // "select * from TABLE ..." results accept appended rows.
        FTable.clear();
        std::string_view Rest = TrimControls(FSQL);
        std::array<std::string_view, 4> Words{};
        for (auto& Word : Words) {
            const auto End = Rest.find_first_of(" \t\r\n");
            Word = Rest.substr(0, End);
            Rest = End == std::string_view::npos ? std::string_view() : TrimControls(Rest.substr(End));
        }
        if (SameText(Words[0], "select") && Words[1] == "*" && SameText(Words[2], "from") &&
            !Words[3].empty() && Words[3].find_first_of(",()") == std::string_view::npos)
            FTable = std::string(Words[3]);
    }
    {
        sqlite3* Db = FConnection.Handle();
        TDbLock Lock(Db);
        int Result;
        while ((Result = sqlite3_step(Stmt)) == SQLITE_ROW) {
            std::vector<TValue> Row(static_cast<std::size_t>(Columns));
            for (int I = 0; I < Columns; ++I) {
                Row[static_cast<std::size_t>(I)] = ReadCell(Stmt, I);
            }
            FRows.push_back(std::move(Row));
        }
        if (Result != SQLITE_DONE) {
            // The message belongs to this step; read it before the reset and the unlock.
            const std::string Message = sqlite3_errmsg(Db);
            const int Code = sqlite3_extended_errcode(Db);
            FRows.clear();
            sqlite3_reset(Stmt);
            Fail("Cannot open the query: " + Message, Code);
        }
        sqlite3_reset(Stmt);
    }

    FCurrent = 0;
    FActive = true;
}

void TQuery::Close() {
    FActive = false;
    FAppending = false;
    FPending.clear();
    FRows.clear();
    FCurrent = 0;
}

void TQuery::RequireActive(const char* AOperation) const {
    if (!FActive)
        Fail(std::string("Cannot ") + AOperation + ": the query is not open");
}

int TQuery::RecordCount() const {
    RequireActive("count records");
    return static_cast<int>(FRows.size());
}

bool TQuery::Eof() const { return !FActive || FCurrent >= FRows.size(); }

int TQuery::ExecSQL() {
    sqlite3_stmt* Stmt = Statement();
    Close();
    sqlite3* Db = FConnection.Handle();
    TDbLock Lock(Db);
    sqlite3_reset(Stmt);
    int Result;
    while ((Result = sqlite3_step(Stmt)) == SQLITE_ROW) {
    }
    if (Result != SQLITE_DONE) {
        // The message belongs to this step; read it before the reset clears it.
        const std::string Message = sqlite3_errmsg(Db);
        const int Code = sqlite3_extended_errcode(Db);
        sqlite3_reset(Stmt);
        Fail("Cannot execute the statement: " + Message, Code);
    }
    const int Changes = sqlite3_changes(Db);
    sqlite3_reset(Stmt);
    return Changes;
}

int TQuery::FieldCount() const {
    RequireActive("read fields");
    return static_cast<int>(FFields.size());
}

int TQuery::FieldIndex(std::string_view AName) const {
    RequireActive("read fields");
    for (std::size_t I = 0; I < FFields.size(); ++I)
        if (SameText(FFields[I].Name, AName))
            return static_cast<int>(I);
    Fail("Unknown field " + Quoted(std::string(AName)));
}

const TQuery::TValue& TQuery::Value(int AIndex) const {
    static const TValue Null;
    RequireActive("read fields");
    if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= FFields.size())
        Fail("There is no field number " + std::to_string(AIndex));
    if (FCurrent >= FRows.size())
        return Null; // no current row reads as null
    return FRows[FCurrent][static_cast<std::size_t>(AIndex)];
}

std::string TQuery::FieldAsString(std::string_view AName) const {
    return FieldAsString(FieldIndex(AName));
}

std::string TQuery::FieldAsString(int AIndex) const {
    const TValue& V = Value(AIndex);
    if (const auto* Text = std::get_if<std::string>(&V))
        return *Text;
    if (const auto* Int = std::get_if<std::int64_t>(&V))
        return std::to_string(*Int);
    if (const auto* Real = std::get_if<double>(&V))
        return FormatDouble(*Real);
    return {};
}

std::int32_t TQuery::FieldAsInteger(std::string_view AName) const {
    return AsInteger(FieldIndex(AName));
}

std::int32_t TQuery::FieldAsInteger(int AIndex) const { return AsInteger(AIndex); }

std::int32_t TQuery::AsInteger(int AIndex) const {
    const TValue& V = Value(AIndex);
    const TField& Field = FFields[static_cast<std::size_t>(AIndex)];
    const auto OutOfRange = [&](const std::string& AText) {
        Fail("'" + AText + "' is not a valid integer value for field " + Quoted(Field.Name));
    };
    if (std::holds_alternative<std::monostate>(V)) {
        // A null reads as 0, except in a text column: empty text is no number.
        if (Field.Kind != TFieldKind::Text)
            return 0;
        OutOfRange("");
    }
    if (const auto* Int = std::get_if<std::int64_t>(&V)) {
        if (*Int < std::numeric_limits<std::int32_t>::min() ||
            *Int > std::numeric_limits<std::int32_t>::max())
            OutOfRange(std::to_string(*Int));
        return static_cast<std::int32_t>(*Int);
    }
    if (const auto* Real = std::get_if<double>(&V)) {
        const double Rounded = std::nearbyint(*Real);
        if (!(Rounded >= -2147483648.0 && Rounded <= 2147483647.0))
            OutOfRange(FormatDouble(*Real));
        return static_cast<std::int32_t>(Rounded);
    }
    const auto& Text = std::get<std::string>(V);
    std::int32_t Result = 0;
    if (!ParseInt32(Text, Result))
        OutOfRange(Text);
    return Result;
}

TDateTime TQuery::FieldAsDateTime(std::string_view AName) const {
    return AsDateTime(FieldIndex(AName));
}

TDateTime TQuery::FieldAsDateTime(int AIndex) const { return AsDateTime(AIndex); }

TDateTime TQuery::AsDateTime(int AIndex) const {
    const TValue& V = Value(AIndex);
    if (std::holds_alternative<std::monostate>(V))
        return 0.0;
    if (const auto* Int = std::get_if<std::int64_t>(&V))
        return static_cast<double>(*Int);
    if (const auto* Real = std::get_if<double>(&V))
        return *Real;
    // Dates written as text by other tools: "YYYY-MM-DD[ HH:MM[:SS]]" (or a "T" between).
    const auto& Text = std::get<std::string>(V);
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
    if (!ParseDateText(Text, Year, Month, Day, Hour, Minute, Second))
        Fail("'" + Text + "' is not a valid date and time in field " +
             Quoted(FFields[static_cast<std::size_t>(AIndex)].Name));
    return EncodeDateTime(Year, Month, Day, Hour, Minute, Second);
}

void TQuery::Append() {
    RequireActive("append a record");
    if (FTable.empty())
        Fail("Cannot append a record: the result is not a whole table");
    FAppending = true;
    FPending.clear();
}

void TQuery::SetFieldText(std::string_view AName, const std::string& AValue) {
    const int Index = FieldIndex(AName);
    if (!FAppending)
        Fail("Cannot set field " + Quoted(std::string(AName)) + ": no record is being appended");
    FPending.emplace_back(Index, AValue);
}

void TQuery::Post() {
    if (!FAppending)
        Fail("Cannot post: no record is being appended");
    std::string Columns, Marks;
    for (const auto& [Index, Value] : FPending) {
        if (!Columns.empty()) {
            Columns += ",";
            Marks += ",";
        }
        std::string Name = FFields[static_cast<std::size_t>(Index)].Name;
        Columns += "\"" + Name + "\"";
        Marks += "?";
    }
    const std::string Insert =
        "insert into \"" + FTable + "\"" +
        (Columns.empty() ? std::string(" default values") : " (" + Columns + ") values (" + Marks + ")") +
        " returning *";
    TStmtGuard Guard;
    sqlite3* Db = FConnection.Handle();
    TDbLock Lock(Db);
    const auto PostFailed = [&] {
        Fail("Cannot post the new record to table " + Quoted(FTable) + ": " + sqlite3_errmsg(Db),
             sqlite3_extended_errcode(Db));
    };
    if (sqlite3_prepare_v2(Db, Insert.c_str(), -1, &Guard.Stmt, nullptr) != SQLITE_OK)
        PostFailed();
    int Param = 1;
    for (const auto& Pending : FPending) {
        const TValue& Value = Pending.second;
        if (const auto* Text = std::get_if<std::string>(&Value))
            sqlite3_bind_text(Guard.Stmt, Param, Text->data(), static_cast<int>(Text->size()),
                              SQLITE_TRANSIENT);
        else if (const auto* Int = std::get_if<std::int64_t>(&Value))
            sqlite3_bind_int64(Guard.Stmt, Param, *Int);
        ++Param;
    }
    if (sqlite3_step(Guard.Stmt) != SQLITE_ROW)
        PostFailed();
    std::vector<TValue> Row(FFields.size());
    for (int I = 0; I < sqlite3_column_count(Guard.Stmt); ++I) {
        const char* Name = sqlite3_column_name(Guard.Stmt, I);
        const auto Found = std::find_if(FFields.begin(), FFields.end(), [Name](const TField& F) {
            return SameText(F.Name, Name ? Name : "");
        });
        if (Found == FFields.end())
            continue;
        Row[static_cast<std::size_t>(Found - FFields.begin())] = ReadCell(Guard.Stmt, I);
    }
    if (sqlite3_step(Guard.Stmt) != SQLITE_DONE)
        PostFailed();
    FRows.push_back(std::move(Row));
    FCurrent = FRows.size() - 1;
    FAppending = false;
    FPending.clear();
}
