// TConnection: one connection to a database, as the catalogue code opens it (a connection
// string, a mode, Connected), holding the engine the connection string calls for: an SQLite file
// (or a host's SQLite handle), or a database on a PostgreSQL server (PgConnectionString.h) once a
// program has added that engine (UsePostgreSQL in PgEngine.h; the plug-in adds none).
//
// Thread safety: a connection may be used from any thread (its engine serialises calls); its
// queries belong to the one thread that uses each.
#pragma once

#include "DbEngine.h"
#include "DbError.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class TConnection {
public:
    TConnection();
    // An engine opened elsewhere (a host's handle, borrowed): connected from the start.
    explicit TConnection(std::unique_ptr<TDbEngine> AEngine);
    ~TConnection();

    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    // "Provider=...;Data Source=FILE;..." as the Jet provider takes it, or a PostgreSQL
    // connection string. Fails when the connection is open.
    void SetConnectionString(const std::string& AValue);

    // Fails when the connection is open.
    void SetMode(TConnectMode AMode);

    // True opens (never creating a file), false closes.
    void SetConnected(bool AValue);
    bool Connected() const { return FEngine != nullptr; }

    // What errors name: the absolute file name, or the server and database
    // (postgresql://HOST:PORT/DATABASE); "" for a borrowed handle or when closed.
    const std::string& FileName() const;

    // The open engine; throws when closed.
    TDbEngine& Engine() const;

    // The auto-number of the last row inserted through this connection.
    std::int64_t LastInsertId() { return Engine().LastInsertId(); }

private:
    std::unique_ptr<TDbEngine> FEngine;
    TConnectMode FMode = TConnectMode::Default;
    std::string FConnectionString;
};

// True when AName (a Local= value, a --local argument) names a database on a server rather
// than a file: a PostgreSQL connection string.
bool NamesServerDatabase(std::string_view AName);
// AName as messages show it: a file name as it is; for a server, what PgDisplayName makes of it
// (server and database, never a user's password or another option).
std::string DatabaseDisplayName(std::string_view AName);

// Opens a connection string that NamesServerDatabase accepts.
using TServerEngineOpen = std::unique_ptr<TDbEngine> (*)(const std::string& AConnectionString, TConnectMode AMode);
// Installs the engine for databases on a server (UsePostgreSQL does). Without one, such a
// connection string fails to open, saying so.
void SetServerEngine(TServerEngineOpen AOpen);

// Runs statements that take no parameters and return nothing (transaction control, pragmas, a
// harmless write that takes the write lock); fails with the statement named.
void ExecuteDirect(TConnection& AConnection, const std::string& ASQL);
