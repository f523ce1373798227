// Databases of their own on the PostgreSQL server of the test run. scripts/test.sh runs the
// tests labelled pg inside pg_virtualenv, which makes a throw-away cluster and sets PGHOST,
// PGPORT, PGUSER, PGPASSWORD and PGDATABASE; libpq takes the server and the password from them.
// Without them, or with a server that does not answer, the tests skip, saying why.
#pragma once

#include <string>

// Why no server can be used: "" when one answers.
std::string PgServerMissing();

// Skips the current test when there is no server.
#define PG_REQUIRE_SERVER()                                                                        \
    do {                                                                                           \
        if (const std::string Missing = PgServerMissing(); !Missing.empty())                       \
            GTEST_SKIP() << Missing;                                                               \
    } while (false)

// A new database, empty or with the local song database's tables (ktvschema's), dropped again at
// the end (whoever is still connected is put off).
class TPgDatabase {
public:
    explicit TPgDatabase(bool ASchema = true);
    ~TPgDatabase();
    TPgDatabase(const TPgDatabase&) = delete;
    TPgDatabase& operator=(const TPgDatabase&) = delete;

    const std::string& Name() const { return FName; }
    // "dbname=NAME": the server, the user and the password come from the PG variables.
    std::string ConnectionString() const { return "dbname=" + FName; }
    // postgresql:///NAME, the same database as a URI.
    std::string Uri() const { return "postgresql:///" + FName; }

    // Runs SQL through libpq directly (fixtures and checks), throwing on failure.
    void Run(const std::string& ASql) const;
    // The first column of the first row as text ("" for null or no row).
    std::string Text(const std::string& ASql) const;

private:
    std::string FName;
};

// Runs SQL in the server's maintenance database (postgres), throwing on failure.
void RunOnServer(const std::string& ASql);
