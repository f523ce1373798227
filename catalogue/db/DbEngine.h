// The seam between the database layer and an engine. TConnection holds a TDbEngine, chosen from
// the connection string, and TQuery a TDbStatement of it; nothing above the layer sees an
// engine's own handles. What the catalogue code relies on (`:Name` parameters in any letter
// case, exact record counts, append-and-post, strict integers, OLE dates, nulls read as empty,
// 0 or 0.0) is the layer's, written once; an engine only runs statements and hands values over.
//
// An engine reports every failure as TDatabaseError with its own code and TDbFailure. Messages of
// Prepare and Step are the engine's bare words (the layer adds the database and the statement);
// those of Execute and the transaction operations name the database and the statement.
//
// Transactions and savepoints keep SQLite's meaning on every engine: Begin holds the write lock
// where the engine has one; a savepoint outside a transaction begins one that its release
// commits; rolling back to a savepoint keeps the transaction going. An engine on which a failed
// statement spoils the whole transaction (PostgreSQL) refuses to commit it: the commit throws.
//
// Thread safety: an engine may be used from any thread, one call at a time as the engine itself
// ensures (SQLite: a serialized connection; PostgreSQL: a lock of the engine's); a statement
// belongs to the one thread using it.
#pragma once

#include "DbValue.h"
#include "SqlParameters.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// How a connection opens its database.
enum class TConnectMode {
    Default,       // read and write
    ShareDenyNone, // read only, never locks others out for long
};

// One compiled statement.
class TDbStatement {
public:
    virtual ~TDbStatement() = default;

    // Binding by the parameter's number in the list given to Prepare (from 0): every place of
    // the name. Bindings stay until they are replaced.
    virtual void BindNull(int AParameter) = 0;
    virtual void BindInteger(int AParameter, std::int64_t AValue) = 0;
    virtual void BindReal(int AParameter, double AValue) = 0;
    virtual void BindText(int AParameter, std::string_view AValue) = 0;

    // Runs the statement on the first call after Reset and moves to the next row: true when a row
    // is current, false once there is none (the run is then over: Changes() tells what it did).
    virtual bool Step() = 0;
    // Ends the current run (its locks and snapshot go); the bindings stay.
    virtual void Reset() noexcept = 0;
    // Rows inserted, updated or deleted by the last run that stepped to its end.
    virtual int Changes() const = 0;

    // The result's columns. Generation() changes whenever the engine has compiled the statement
    // anew (the schema changed), and with it possibly the columns.
    virtual int Generation() const = 0;
    virtual int ColumnCount() const = 0;
    virtual std::string ColumnName(int AColumn) const = 0;
    virtual TFieldKind ColumnKind(int AColumn) const = 0;
    // The current row's value of AColumn, into AValue (whose text buffer is reused).
    virtual void ReadColumn(int AColumn, TDbValue& AValue) const = 0;
};

// One open connection to a database.
class TDbEngine {
public:
    virtual ~TDbEngine() = default;

    // What errors name: the database file, or for a server what names the database (never a
    // password). Empty for a handle borrowed from a host.
    virtual const std::string& Name() const = 0;

    // Compiles one statement whose parameters are AParameters (FindSqlParameters of ASQL): an
    // engine with named parameters matches them by name, one with numbered parameters ($1) puts
    // its marks in place of AParameters.Marks. A text holding more than one statement fails.
    virtual std::unique_ptr<TDbStatement> Prepare(const std::string& ASQL,
                                                  const TSqlParameters& AParameters) = 0;
    // Runs statements that take no parameters and return nothing (pragmas, a harmless write that
    // takes a lock).
    virtual void Execute(const std::string& ASQL) = 0;
    // The auto-number of the last row inserted on this connection.
    virtual std::int64_t LastInsertId() = 0;

    // True when the engine's own comparison of text ignores letter case in every script (a
    // server's collation does), so the layer's folded lookups (FindFoldedText) would only
    // repeat what the database has already compared. False where only ASCII letters are
    // folded (SQLite's NOCASE).
    virtual bool FoldsLetterCase() const { return false; }

    // A transaction that holds the write lock from its start where the engine has one, so that
    // a lookup and the insert it leads to cannot be overtaken by another writer.
    virtual void Begin() = 0;
    virtual void Commit() = 0;
    // Never fails; fine when the engine has already ended the transaction after an error.
    virtual void Rollback() noexcept = 0;
    virtual bool InTransaction() = 0;

    // A savepoint, also outside a transaction (it then begins one, which its release commits).
    virtual void Savepoint(const std::string& AName) = 0;
    virtual void ReleaseSavepoint(const std::string& AName) = 0;
    // Undoes everything since the savepoint and drops it; the enclosing transaction goes on.
    virtual void RollbackToSavepoint(const std::string& AName) = 0;
};

// Told, once per opening, what an engine decided on its own that the user should know (a
// database opened in rollback-journal mode). corvena-index prints it; the wizard sets none.
using TDatabaseNotice = void (*)(const std::string& AText);
void SetDatabaseNotice(TDatabaseNotice ANotice);
// Tells the notice, if one is set.
void TellDatabaseNotice(const std::string& AText);

// AName in double quotes, a quote in it doubled: a name (a savepoint's, a column's) as every
// engine reads it, whatever it holds.
std::string QuotedIdentifier(std::string_view AName);
