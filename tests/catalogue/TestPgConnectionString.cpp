// Where a local song database is named, a PostgreSQL server may be named instead: a libpq URI,
// libpq's key/value text or the host's own Provider=PostgreSQL style. What names a file (a path,
// a Jet string) stays a file; what names a server is shown as postgresql://HOST:PORT/DATABASE,
// and a password in the string is refused without ever being repeated.
#include "Connection.h"
#include "PgConnectionString.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TNameCase {
    const char* Name;
    const char* Text;
    bool Server;
    const char* Shown; // what messages show; for a file, the text as it is
    const char* Problem; // a part of the refusal, "" when it can be used
};

class ConnectionStringCases : public ::testing::TestWithParam<TNameCase> {};

TEST_P(ConnectionStringCases, ServerOrFileAndHowItIsShown) {
    const TNameCase& Case = GetParam();
    EXPECT_EQ(NamesServerDatabase(Case.Text), Case.Server);
    EXPECT_EQ(DatabaseDisplayName(Case.Text), Case.Shown);
    if (!Case.Server)
        return;
    const TPgConnectInfo Info = ParsePgConnectionString(Case.Text);
    if (Case.Problem[0] == '\0')
        EXPECT_EQ(Info.Problem, "");
    else
        EXPECT_NE(Info.Problem.find(Case.Problem), std::string::npos) << Info.Problem;
}

INSTANTIATE_TEST_SUITE_P(
    PgConnectionString, ConnectionStringCases,
    ::testing::Values(
        TNameCase{"FilePath", "/srv/ktv/DataBase/Ktv.mdb", false, "/srv/ktv/DataBase/Ktv.mdb", ""},
        TNameCase{"WindowsPath", "D:\\KTV\\DataBase\\Ktv.mdb", false, "D:\\KTV\\DataBase\\Ktv.mdb", ""},
        TNameCase{"JetString", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=Ktv.mdb;", false,
                  "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=Ktv.mdb;", ""},
        TNameCase{"FileWithAnEqualsSign", "songs=old.mdb", false, "songs=old.mdb", ""},
        TNameCase{"Uri", "postgresql://corvena@db.venue.lan:5433/ktv?sslmode=verify-full", true,
                  "postgresql://db.venue.lan:5433/ktv", ""},
        TNameCase{"ShortScheme", "postgres://db/ktv", true, "postgresql://db/ktv", ""},
        TNameCase{"SchemeInCapitals", "PostgreSQL://db/ktv", true, "postgresql://db/ktv", ""},
        TNameCase{"UriOfDefaults", "postgresql:///ktv", true, "postgresql:///ktv", ""},
        TNameCase{"UriOfTwoHosts", "postgresql://a:5432,b:5433/ktv", true, "postgresql://a:5432,b:5433/ktv", ""},
        TNameCase{"UriOfASocketFolder", "postgresql://%2Fvar%2Frun%2Fpostgresql/ktv", true,
                  "postgresql://%2Fvar%2Frun%2Fpostgresql/ktv", ""},
        TNameCase{"UriHostInOptions", "postgresql:///ktv?host=/run/pg&port=6000", true,
                  "postgresql://%2Frun%2Fpg:6000/ktv", ""},
        TNameCase{"KeyValue", "host=db.venue.lan port=5433 dbname=ktv user=corvena sslmode=require", true,
                  "postgresql://db.venue.lan:5433/ktv", ""},
        TNameCase{"KeyValueQuoted", "host = 'db' dbname='歌 库'", true, "postgresql://db/歌%20库", ""},
        TNameCase{"Service", "service=ktv", true, "postgresql:///?service=ktv", ""},
        TNameCase{"HostStyle", "Provider=PostgreSQL;Host=db.venue.lan;Port=5433;Database=ktv;User ID=corvena", true,
                  "postgresql://db.venue.lan:5433/ktv", ""},
        TNameCase{"HostStyleOtherSpellings",
                  "provider=PostgreSQL OLE DB Provider; Server=db; Initial Catalog=ktv; UserName=c; "
                  "SslMode=VerifyFull; Timeout=5",
                  true, "postgresql://db/ktv", ""},
        TNameCase{"HostStyleUnknownKey", "Provider=PostgreSQL;Host=db;Database=ktv;Pooling=true", true,
                  "postgresql://db/ktv", "the key \"Pooling\""},
        TNameCase{"HostStyleBadSslMode", "Provider=PostgreSQL;Host=db;Database=ktv;SSL Mode=Always", true,
                  "postgresql://db/ktv", "SSL Mode \"Always\""},
        TNameCase{"UriWithPassword", "postgresql://corvena:s3cret@db/ktv", true, "postgresql://db/ktv",
                  "holds a password"},
        TNameCase{"UriWithPasswordOption", "postgresql://db/ktv?password=s3cret", true, "postgresql://db/ktv",
                  "holds a password"},
        TNameCase{"KeyValueWithPassword", "host=db dbname=ktv password=s3cret", true, "postgresql://db/ktv",
                  "holds a password"},
        TNameCase{"HostStyleWithPassword", "Provider=PostgreSQL;Host=db;Database=ktv;Password=s3cret", true,
                  "postgresql://db/ktv", "holds a password"},
        TNameCase{"HostStyleWithPwd", "Provider=PostgreSQL;Host=db;Database=ktv;PWD=s3cret", true,
                  "postgresql://db/ktv", "holds a password"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// The host's style is handed to libpq as its own keywords, its SSL Mode spelt as libpq spells it.
TEST(PgConnectionString, HostStyleBecomesLibpqKeywords) {
    const TPgConnectInfo Info = ParsePgConnectionString(
        "Provider=PostgreSQL;Host=db;Port=5433;Database=ktv;User ID=corvena;SSL Mode=VerifyFull;"
        "Root Certificate=/etc/ssl/venue.pem;Persist Security Info=false");
    EXPECT_FALSE(Info.Expand);
    using TPairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(Info.Params, (TPairs{{"host", "db"},
                                   {"port", "5433"},
                                   {"dbname", "ktv"},
                                   {"user", "corvena"},
                                   {"sslmode", "verify-full"},
                                   {"sslrootcert", "/etc/ssl/venue.pem"}}));
    // libpq reads a URI and key/value text itself, TLS options and all.
    const TPgConnectInfo Uri = ParsePgConnectionString("postgres://db/ktv?sslmode=require");
    EXPECT_TRUE(Uri.Expand);
    EXPECT_EQ(Uri.Params, (TPairs{{"dbname", "postgresql://db/ktv?sslmode=require"}}));
}

// Without the engine (the plug-in links none) a server's string is refused as such, never opened
// as a file of that name; the message shows the server, not the password.
TEST(PgConnectionString, WithoutTheEngineAServerIsNotTakenForAFile) {
    TConnection Connection;
    SetServerEngine(nullptr);
    Connection.SetConnectionString("postgresql://corvena:s3cret@db/ktv");
    try {
        Connection.SetConnected(true);
        FAIL() << "opened";
    } catch (const TDatabaseError& Error) {
        EXPECT_STREQ(Error.what(), "Cannot open database \"postgresql://db/ktv\": this program has no PostgreSQL engine");
    }
}

} // namespace
