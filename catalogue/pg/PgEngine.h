// TPgEngine: a local song database on a PostgreSQL server behind TDbEngine, through libpq. The
// only place besides PgStatement.cpp that calls libpq. Connection strings: PgConnectionString.h.
//
// Round trips are the cost of a server, so the connection runs in libpq's pipeline mode: what
// needs no answer before the next statement (BEGIN, SAVEPOINT, RELEASE, ROLLBACK, compiling a
// statement) is sent at once and its answer read with the next statement's, one round trip for
// both; a failure of what was sent ahead is the next statement's failure. Each statement text
// is compiled once for the connection's life (a named server-side statement), whoever asks.
//
// Transactions keep SQLite's meaning (DbEngine.h) under READ COMMITTED, with one difference:
// two writers do not wait for each other at Begin. A row another writer adds at the same moment
// fails the later writer's insert on the table's unique key as a TDbFailure::Conflict (so do a
// deadlock and a serialization failure): its transaction is undone and the work is done again,
// finding the other writer's row. A failed statement spoils the transaction on the server: the
// commit then throws instead of committing the rest. A connection that breaks fails with
// TDbFailure::Disconnected; the server undoes what was not committed.
//
// Text compares as the server's columns say (the schema's ICU collation ignores letter case in
// every script): FoldsLetterCase is true.
//
// Thread safety: one connection serves one call at a time (a lock of the engine's); a statement
// belongs to the one thread using it.
#pragma once

#include "DbEngine.h"
#include "DbError.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct pg_conn;
struct pg_result;

// Makes TConnection open PostgreSQL connection strings (SetServerEngine). Called by the programs
// that write the local song database; repeating it does nothing.
void UsePostgreSQL();

// A SQLSTATE ("23505") as the number TDatabaseError::Code carries (its five characters read in
// base 36); 0 for anything else.
int PgSqlState(const char* AState);

class TPgEngine final : public TDbEngine {
public:
    // Connects to the server and database AConnectionString names. A master catalogue (read
    // only) is a file: ShareDenyNone is refused.
    static std::unique_ptr<TDbEngine> Open(const std::string& AConnectionString, TConnectMode AMode);

    ~TPgEngine() override;
    TPgEngine(const TPgEngine&) = delete;
    TPgEngine& operator=(const TPgEngine&) = delete;

    const std::string& Name() const override { return FName; }
    std::unique_ptr<TDbStatement> Prepare(const std::string& ASQL, const TSqlParameters& AParameters) override;
    // Any number of statements, as the server's simple protocol takes them (the schema).
    void Execute(const std::string& ASQL) override;
    // lastval(): the last value a sequence gave out on this connection.
    std::int64_t LastInsertId() override;
    void Begin() override;
    void Commit() override;
    void Rollback() noexcept override;
    bool InTransaction() override;
    void Savepoint(const std::string& AName) override;
    void ReleaseSavepoint(const std::string& AName) override;
    void RollbackToSavepoint(const std::string& AName) override;
    bool FoldsLetterCase() const override { return true; }

    // The round trips to the server so far (each a wait for an answer).
    std::uint64_t RoundTrips() const;

    // A statement text compiled on the server, shared by every TPgStatement of the same text.
    struct TPrepared {
        std::string Name;
        std::string Text; // with $1, $2, ...
        int Parameters = 0;
        enum class TState { Sent, Ready, Failed } State = TState::Sent;
        TDatabaseError Error{""}; // why the server refused it (Failed)
    };

    // Runs APrepared with the values (nullptr for null), waiting for its answer; throws the
    // failure of its text, of what was sent ahead of it, or its own.
    std::unique_ptr<pg_result, void (*)(pg_result*)> RunPrepared(TPrepared& APrepared,
                                                                  const std::vector<const char*>& AValues);

private:
    explicit TPgEngine(pg_conn* AConnection);

    using TResult = std::unique_ptr<pg_result, void (*)(pg_result*)>;

    // What was sent without waiting, in order, with how its answer is taken.
    struct TPending {
        enum class TKind {
            Command, // a command whose failure fails what follows it (BEGIN, SAVEPOINT, ...)
            Quiet,   // a command whose failure matters to nobody (ROLLBACK)
            Parse,   // a statement text being compiled: the answer goes to Prepared
            Sync,    // the end of a pipeline section
        } Kind;
        std::string Text;
        std::shared_ptr<TPrepared> Prepared;
    };

    // Sends a command without waiting for its answer.
    void SendAhead(const std::string& ASQL, TPending::TKind AKind);
    // Sends ASQL (no parameters) and waits for its answer.
    TResult Call(const std::string& ASQL);
    // Ends the pipeline section (what ASend sent last), reads every answer up to its end and
    // returns the last command's; throws the first failure that fails it.
    TResult Finish(const std::string& AWhat, bool AHasOwnResult);
    // Reads the answers of what was sent ahead; the first failure that matters goes to AFailure.
    void ReadPending(std::unique_ptr<TDatabaseError>& AFailure);
    pg_result* NextResult();
    [[noreturn]] void ThrowLost(const std::string& AWhat);
    TDatabaseError ResultError(pg_result* AResult) const;
    // What a failed command makes of the transaction: the server's own word after a section.
    void TakeTransactionState();
    void RequireConnection();

    pg_conn* FConnection;
    std::string FName;
    mutable std::mutex FLock;
    std::deque<TPending> FPending;
    std::unordered_map<std::string, std::shared_ptr<TPrepared>> FPrepared;
    int FNextStatement = 0;
    std::uint64_t FRoundTrips = 0;
    bool FLost = false;
    // As the client sees the transaction: updated by what it sends, and from the server's own
    // state at the end of every section.
    bool FInTransaction = false;
    bool FAborted = false;              // a statement failed in it: only a rollback is left
    std::string FAbortedBy;             // that failure, for the commit's error
    int FAbortedCode = 0;
    TDbFailure FAbortedFailure = TDbFailure::Statement;
    struct TSavepointMark {
        std::string Name;
        bool BeganTransaction;
    };
    std::vector<TSavepointMark> FSavepoints;
};
