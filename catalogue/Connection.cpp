#include "Connection.h"

#include "SQLiteEngine.h"

#include <string_view>

namespace {

// The engines, asked in order: the first that takes a connection string opens it. SQLite
// takes every string (its Data Source names the file), so an engine for servers goes before it.
struct TEngineKind {
    bool (*Takes)(std::string_view AConnectionString);
    std::unique_ptr<TDbEngine> (*Open)(const std::string& AConnectionString, TConnectMode AMode);
};

constexpr TEngineKind Engines[] = {
    {&TSQLiteEngine::Takes, &TSQLiteEngine::Open},
};

} // namespace

TConnection::TConnection() = default;

TConnection::TConnection(std::unique_ptr<TDbEngine> AEngine) : FEngine(std::move(AEngine)) {
    if (!FEngine)
        throw TDatabaseError("No database connection was given");
}

TConnection::~TConnection() = default;

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
    if (!AValue) {
        FEngine.reset();
        return;
    }
    for (const TEngineKind& Kind : Engines)
        if (Kind.Takes(FConnectionString)) {
            FEngine = Kind.Open(FConnectionString, FMode);
            return;
        }
    throw TDatabaseError("No database engine takes the connection string");
}

const std::string& TConnection::FileName() const {
    static const std::string None;
    return FEngine ? FEngine->Name() : None;
}

TDbEngine& TConnection::Engine() const {
    if (!FEngine)
        throw TDatabaseError("The database connection is not open");
    return *FEngine;
}

void ExecuteDirect(TConnection& AConnection, const std::string& ASQL) { AConnection.Engine().Execute(ASQL); }
