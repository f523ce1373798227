// Database access layer: connections and queries over SQLite with the behaviour the catalogue
// code was written against (Jet through ADO): `:Name` parameters, exact record counts,
// append-and-post with auto-number, OLE Automation dates, letter-case-blind comparison (the
// schema declares COLLATE NOCASE). Statements stand alone unless a caller opens a
// TTransaction or TSavepoint around them.
//
// Thread safety: a connection may be used from any thread (SQLite serialises calls on it);
// a TQuery belongs to the one thread that uses it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

// The one error type of this layer; its message names what failed. Code() is SQLite's extended
// result code when SQLite reported the failure, 0 otherwise.
class TDatabaseError : public std::runtime_error {
public:
    explicit TDatabaseError(const std::string& AMessage, int ACode = 0)
        : std::runtime_error(AMessage), FCode(ACode) {}
    int Code() const { return FCode; }
    // True when the database itself has stopped working (locked past the busy timeout, disk
    // full, I/O error, damaged or read-only file): every further statement would fail the same
    // way. False for errors of one statement's data.
    bool DatabaseUnusable() const;

private:
    int FCode;
};

enum class TConnectMode {
    Default,       // read and write
    ShareDenyNone, // read only, never locks others out for long
};

// One connection to a database file, or a borrowed handle the caller owns.
class TConnection {
public:
    TConnection();
    // Wraps a caller's open handle: never closed or reconfigured here.
    explicit TConnection(sqlite3* ABorrowed);
    ~TConnection();

    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    // "Provider=...;Data Source=FILE;..." as the Jet provider takes it; only Data Source is
    // used. Fails when the connection is open.
    void SetConnectionString(const std::string& AValue);
    const std::string& ConnectionString() const { return FConnectionString; }

    void SetMode(TConnectMode AMode);
    TConnectMode Mode() const { return FMode; }

    // True opens (never creating a file), false closes.
    void SetConnected(bool AValue);
    bool Connected() const { return FHandle != nullptr; }

    // The absolute file name the connection string names ("" for a borrowed handle).
    const std::string& FileName() const { return FFileName; }

    // The open handle; throws when closed.
    sqlite3* Handle() const;

private:
    void Open();
    void Close() noexcept;

    sqlite3* FHandle = nullptr;
    bool FBorrowed = false;
    bool FWal = false; // opened here, writable, in WAL mode
    int FCheckpointAt = 0; // WAL pages at which the next checkpoint is tried
    std::chrono::steady_clock::time_point FBusySince; // when the current wait for a lock began
    TConnectMode FMode = TConnectMode::Default;
    std::string FConnectionString;
    std::string FFileName;
};

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

// Told, once per opening, what the layer decided on its own that the user should know (a
// database opened in rollback-journal mode). corvena-index prints it; the wizard sets none.
using TDatabaseNotice = void (*)(const std::string& AText);
void SetDatabaseNotice(TDatabaseNotice ANotice);

// Reads the value of KEY from a "key=value;..." connection string ("" when absent).
std::string ConnectionStringValue(std::string_view AConnectionString, std::string_view AKey);

// BEGIN IMMEDIATE ... COMMIT. The write lock is taken at the start (waiting out the busy
// timeout), so reads inside the transaction cannot be overtaken by another writer between a
// lookup and the insert it leads to. Rolled back when it goes without a commit.
class TTransaction {
public:
    explicit TTransaction(TConnection& AConnection);
    ~TTransaction();
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;

    void Commit();
    // Never fails; also fine when SQLite has already rolled back after an error.
    void Rollback() noexcept;
    bool Active() const { return FActive; }

private:
    TConnection& FConnection;
    bool FActive = false;
};

// SAVEPOINT NAME ... RELEASE: works inside a transaction (the caller's, or the host's on a
// borrowed handle) and outside one, where it behaves like BEGIN DEFERRED. Going without a
// release, or a release that fails, undoes it: inside a transaction it is rolled back to and
// released, so nothing of it stays and the enclosing transaction goes on; a savepoint that began
// the transaction ends it with ROLLBACK. Either way the connection is left in or out of a
// transaction as the savepoint found it.
class TSavepoint {
public:
    TSavepoint(TConnection& AConnection, std::string AName);
    ~TSavepoint();
    TSavepoint(const TSavepoint&) = delete;
    TSavepoint& operator=(const TSavepoint&) = delete;

    void Release();
    void Rollback() noexcept;
    bool Active() const { return FActive; }

private:
    TConnection& FConnection;
    std::string FName;
    bool FActive = false;
    bool FOutermost = false; // began the transaction
};

// Runs statements that return nothing (transaction control, pragmas); fails with the
// statement named.
void ExecuteDirect(TConnection& AConnection, const std::string& ASQL);

// A statement with its parameters and, once opened, its whole result held in memory.
class TQuery {
public:
    explicit TQuery(TConnection& AConnection);
    ~TQuery();

    TQuery(const TQuery&) = delete;
    TQuery& operator=(const TQuery&) = delete;

    // Replaces the statement text; the old statement, its parameters and any result go.
    void SetSQL(const std::string& ASQL);
    const std::string& SQL() const { return FSQL; }
    void Clear() { SetSQL(std::string()); }

    // Compiles the statement; binding, Open and ExecSQL prepare on demand as well.
    void Prepare();
    bool Prepared() const { return FStmt != nullptr; }

    // Parameters, by name without the colon, in any letter case.
    void SetText(std::string_view AName, const std::string& AValue);
    void SetInteger(std::string_view AName, std::int32_t AValue);
    void SetBoolean(std::string_view AName, bool AValue);
    void SetNull(std::string_view AName);
    // Fails for NaN and values outside 1 January 100 .. 31 December 9999.
    void SetDate(std::string_view AName, TDateTime AValue);

    // Runs a query and reads its whole result; the first row becomes current.
    void Open();
    void Close();
    bool Active() const { return FActive; }
    int RecordCount() const;
    bool Eof() const;

    // Runs any other statement; returns the rows affected.
    int ExecSQL();

    // Fields of the current row by name (any letter case) or by position.
    int FieldCount() const;
    std::string FieldAsString(std::string_view AName) const;
    std::string FieldAsString(int AIndex) const;
    // Fails on null or empty text, text that is not a decimal integer, values outside 32 bits.
    std::int32_t FieldAsInteger(std::string_view AName) const;
    std::int32_t FieldAsInteger(int AIndex) const;
    TDateTime FieldAsDateTime(std::string_view AName) const;
    TDateTime FieldAsDateTime(int AIndex) const;

    // Appending to an open "select * from TABLE ..." result: Append, set fields, Post. The
    // posted row becomes current, auto-number included.
    void Append();
    void SetFieldText(std::string_view AName, const std::string& AValue);
    void Post();

private:
    // One stored value of a result row.
    using TValue = std::variant<std::monostate, std::int64_t, double, std::string>;
    // A column's declared type by SQLite's affinity rules.
    enum class TFieldKind { Untyped, Integer, Text, Real, Numeric };
    struct TStmtDeleter {
        void operator()(sqlite3_stmt* AStmt) const noexcept;
    };
    struct TField {
        std::string Name;
        TFieldKind Kind = TFieldKind::Untyped;
    };
    // A parameter name (without its mark) and every position it stands at.
    struct TParam {
        std::string Name;
        std::vector<int> Indexes;
    };

    static TFieldKind KindOfDeclType(const char* ADeclType);
    static TValue ReadCell(sqlite3_stmt* AStmt, int AColumn);

    sqlite3_stmt* Statement();
    const std::vector<int>& ParamIndexes(std::string_view AName);
    int FieldIndex(std::string_view AName) const;
    const TValue& Value(int AIndex) const;
    std::int32_t AsInteger(int AIndex) const;
    TDateTime AsDateTime(int AIndex) const;
    [[noreturn]] void Fail(const std::string& AWhat, int ACode = 0) const;
    void RequireActive(const char* AOperation) const;

    TConnection& FConnection;
    std::string FSQL;
    std::unique_ptr<sqlite3_stmt, TStmtDeleter> FStmt;
    bool FActive = false;
    std::vector<TField> FFields;
    std::vector<std::vector<TValue>> FRows;
    std::size_t FCurrent = 0;
    std::string FTable; // the table of a "select * from TABLE" result, for Append
    bool FAppending = false;
    std::vector<std::pair<int, TValue>> FPending;
    // Read from the compiled statement on first use; SetSQL drops them with it.
    bool FParamsRead = false;
    std::vector<TParam> FParams;
    std::size_t FParamHint = 0;
    bool FFieldsRead = false;
    int FFieldsCompiles = 0;
};

// OLE Automation date helpers.
// Throws TDatabaseError("'%g' is not a valid date and time") outside the valid range.
void CheckDateTime(TDateTime AValue);
TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour = 0, int AMinute = 0,
                         int ASecond = 0);
