// TDatabaseError: the one error type of the database layer. Its message names what failed (the
// database and the statement where there is one); Code() is the engine's own code (SQLite's
// extended result code, PostgreSQL's SQLSTATE as PgSqlState makes it a number) when the engine
// reported the failure, 0 otherwise.
#pragma once

#include <stdexcept>
#include <string>

// What a failure means for the work that comes after it. The engine that reports a failure
// decides; callers ask DatabaseUnusable().
enum class TDbFailure {
    Statement, // this statement's data (a constraint, a bad value, a missing column)
    // Another writer wrote the same row at the same moment (a server's unique key, deadlock or
    // serialization failure): the transaction is undone, and the same work done again now
    // finds the other writer's row.
    Conflict,
    Unusable,     // the database itself has stopped working: every further statement would fail
    Disconnected, // the connection to a database server broke: a new connection may work
};

class TDatabaseError : public std::runtime_error {
public:
    explicit TDatabaseError(const std::string& AMessage, int ACode = 0,
                            TDbFailure AFailure = TDbFailure::Statement)
        : std::runtime_error(AMessage), FCode(ACode), FFailure(AFailure) {}

    int Code() const { return FCode; }
    TDbFailure Failure() const { return FFailure; }
    // True when the database has stopped working (locked past the busy timeout, disk full, I/O
    // error, damaged or read-only file, gone): every further statement would fail the same way.
    // False for errors of one statement's data.
    bool DatabaseUnusable() const {
        return FFailure == TDbFailure::Unusable || FFailure == TDbFailure::Disconnected;
    }
    // The connection to a server broke (the server stopped, the network went): unusable until
    // connected again.
    bool ConnectionLost() const { return FFailure == TDbFailure::Disconnected; }
    // Another writer's row got in the way: the work may be done again from its start.
    bool Conflicting() const { return FFailure == TDbFailure::Conflict; }

private:
    int FCode;
    TDbFailure FFailure;
};

// The error of a statement: "AWHAT (database "NAME") in statement "SQL"". The database is left
// out when ADatabase is empty (a borrowed handle).
TDatabaseError StatementError(const std::string& AWhat, const std::string& ADatabase,
                              const std::string& ASQL, int ACode = 0,
                              TDbFailure AFailure = TDbFailure::Statement);
