// TConnection: one connection to a database, as the catalogue code opens it (a connection
// string, a mode, Connected), holding the engine the connection string calls for. Only SQLite
// files (and a host's SQLite handle) are opened today; the engine is chosen in Connection.cpp.
//
// Thread safety: a connection may be used from any thread (its engine serialises calls); its
// queries belong to the one thread that uses each.
#pragma once

#include "DbEngine.h"
#include "DbError.h"

#include <cstdint>
#include <memory>
#include <string>

class TConnection {
public:
    TConnection();
    // An engine opened elsewhere (a host's handle, borrowed): connected from the start.
    explicit TConnection(std::unique_ptr<TDbEngine> AEngine);
    ~TConnection();

    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    // "Provider=...;Data Source=FILE;..." as the Jet provider takes it. Fails when the
    // connection is open.
    void SetConnectionString(const std::string& AValue);

    // Fails when the connection is open.
    void SetMode(TConnectMode AMode);

    // True opens (never creating a file), false closes.
    void SetConnected(bool AValue);
    bool Connected() const { return FEngine != nullptr; }

    // What errors name: the absolute file name ("" for a borrowed handle or when closed).
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

// Runs statements that take no parameters and return nothing (transaction control, pragmas, a
// harmless write that takes the write lock); fails with the statement named.
void ExecuteDirect(TConnection& AConnection, const std::string& ASQL);
