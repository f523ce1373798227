#include "ServerSchema.h"

#include "Connection.h"
#include "PgEngine.h"
#include "Query.h"
#include "Schema.h"
#include "TextRules.h"
#include "Transaction.h"

#include <stdexcept>
#include <vector>

namespace {

// The schema's statements without their comments, one a string: a failure then names the one
// statement, not the whole text.
std::vector<std::string> SchemaStatements() {
    std::vector<std::string> Result;
    std::string Current;
    std::string_view Rest = ServerSchemaText();
    while (!Rest.empty()) {
        const auto End = Rest.find('\n');
        const std::string_view Line = Rest.substr(0, End);
        Rest = End == std::string_view::npos ? std::string_view() : Rest.substr(End + 1);
        const std::string_view Code = TrimControls(Line.substr(0, Line.find("--")));
        if (Code.empty())
            continue;
        if (!Current.empty())
            Current += '\n';
        Current += Code;
        if (Code.ends_with(';')) {
            Current.pop_back();
            Result.push_back(std::move(Current));
            Current.clear();
        }
    }
    return Result;
}

} // namespace

std::string CreateServerDatabase(const std::string& AConnectionString) {
    UsePostgreSQL();
    TConnection Connection;
    Connection.SetConnectionString(AConnectionString);
    try {
        Connection.SetConnected(true);
    } catch (const TDatabaseError& Error) {
        throw std::runtime_error(Error.what());
    }
    const std::string Name = Connection.FileName();
    const auto Fail = [&](const std::string& AWhy) {
        return std::runtime_error("Cannot create the tables in database " + Quoted(Name) + ": " + AWhy);
    };
    const auto Text = [&](const char* ASQL) {
        TQuery Query(Connection);
        Query.SetSQL(ASQL);
        Query.Open();
        return Query.FieldAsString(0);
    };
    try {
        // Song and singer names are Chinese: a database in another encoding could not hold them.
        const std::string Encoding =
            Text("select pg_encoding_to_char(encoding) from pg_database where datname = current_database()");
        if (Encoding != "UTF8")
            throw Fail("it holds text as " + Encoding + "; make it with ENCODING 'UTF8'");
        const std::string There =
            Text("select string_agg(tablename, ', ' order by tablename) from pg_tables where schemaname = "
                 "current_schema() and tablename in ('songs', 'discos', 'songtypes', 'languages', 'discotypes')");
        if (!There.empty())
            throw Fail("it has tables of a song database already (" + There + "); nothing was changed");
        TTransaction Transaction(Connection);
        for (const std::string& Statement : SchemaStatements())
            ExecuteDirect(Connection, Statement);
        Transaction.Commit();
    } catch (const TDatabaseError& Error) {
        throw Fail(Error.what());
    }
    return Name;
}
