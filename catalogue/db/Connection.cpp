#include "Connection.h"

#include "PgConnectionString.h"
#include "SQLiteEngine.h"
#include "TextRules.h"

#include <atomic>

namespace {

std::atomic<TServerEngineOpen>& ServerEngine() {
    static std::atomic<TServerEngineOpen> Open{nullptr};
    return Open;
}

} // namespace

bool NamesServerDatabase(std::string_view AName) { return IsPgConnectionString(AName); }

std::string DatabaseDisplayName(std::string_view AName) {
    if (!NamesServerDatabase(AName))
        return std::string(AName);
    return PgDisplayName(ParsePgConnectionString(AName));
}

void SetServerEngine(TServerEngineOpen AOpen) { ServerEngine().store(AOpen); }

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
    // A server's connection string never reaches SQLite, which would take it for a file name.
    if (NamesServerDatabase(FConnectionString)) {
        const TServerEngineOpen Open = ServerEngine().load();
        if (Open == nullptr)
            throw TDatabaseError("Cannot open database " + Quoted(DatabaseDisplayName(FConnectionString)) +
                                     ": this program has no PostgreSQL engine",
                                 0, TDbFailure::Unusable);
        FEngine = Open(FConnectionString, FMode);
        return;
    }
    FEngine = TSQLiteEngine::Open(FConnectionString, FMode);
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
