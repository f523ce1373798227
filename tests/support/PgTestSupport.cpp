#include "PgTestSupport.h"

#include "ServerSchema.h"

#include <libpq-fe.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include <unistd.h>

namespace {

struct TFinish {
    void operator()(PGconn* AConnection) const { PQfinish(AConnection); }
};
using TPgConn = std::unique_ptr<PGconn, TFinish>;

TPgConn Connect(const std::string& ADatabase) {
    const char* Keywords[] = {"dbname", nullptr};
    const char* Values[] = {ADatabase.c_str(), nullptr};
    TPgConn Connection(PQconnectdbParams(Keywords, Values, 0));
    if (PQstatus(Connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to " + ADatabase + ": " + PQerrorMessage(Connection.get()));
    PQsetNoticeProcessor(Connection.get(), [](void*, const char*) {}, nullptr);
    return Connection;
}

std::string RunOn(PGconn* AConnection, const std::string& ASql) {
    std::unique_ptr<PGresult, void (*)(PGresult*)> Result(PQexec(AConnection, ASql.c_str()), &PQclear);
    const ExecStatusType Status = PQresultStatus(Result.get());
    if (Status != PGRES_COMMAND_OK && Status != PGRES_TUPLES_OK)
        throw std::runtime_error(std::string(PQresultErrorMessage(Result.get())) + " in " + ASql);
    if (Status == PGRES_TUPLES_OK && PQntuples(Result.get()) > 0 && PQnfields(Result.get()) > 0 &&
        !PQgetisnull(Result.get(), 0, 0))
        return PQgetvalue(Result.get(), 0, 0);
    return {};
}

constexpr const char* Maintenance = "postgres";

} // namespace

std::string PgServerMissing() {
    if (std::getenv("PGHOST") == nullptr && std::getenv("PGPORT") == nullptr && std::getenv("PGSERVICE") == nullptr)
        return "no PostgreSQL server for this test: none of PGHOST, PGPORT or PGSERVICE is set "
               "(scripts/test.sh runs the tests labelled pg inside pg_virtualenv)";
    const char* Keywords[] = {"dbname", "connect_timeout", nullptr};
    const char* Values[] = {Maintenance, "10", nullptr};
    if (PQpingParams(Keywords, Values, 0) == PQPING_NO_RESPONSE)
        return "no PostgreSQL server for this test: the server PGHOST and PGPORT name does not answer";
    return {};
}

void RunOnServer(const std::string& ASql) { RunOn(Connect(Maintenance).get(), ASql); }

TPgDatabase::TPgDatabase(bool ASchema) {
    static std::atomic<int> Counter{0};
    FName = "corvena_test_" + std::to_string(::getpid()) + "_" + std::to_string(Counter++);
    RunOnServer("DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
    RunOnServer("CREATE DATABASE " + FName + " ENCODING 'UTF8' TEMPLATE template0");
    if (ASchema)
        CreateServerDatabase(ConnectionString());
}

TPgDatabase::~TPgDatabase() {
    try {
        RunOnServer("DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
    } catch (...) {
    }
}

void TPgDatabase::Run(const std::string& ASql) const { RunOn(Connect(FName).get(), ASql); }

std::string TPgDatabase::Text(const std::string& ASql) const { return RunOn(Connect(FName).get(), ASql); }
