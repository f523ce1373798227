// ktvschema local|master FILE: creates an empty local song database or master catalogue;
// ktvschema local CONNECTION makes the local song database's tables on a PostgreSQL server.
#include "Connection.h"
#include "Schema.h"
#include "ServerSchema.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

constexpr const char* Usage =
    "usage: ktvschema local|master FILE\n"
    "       ktvschema local CONNECTION\n"
    "       ktvschema --help | --version\n"
    "Makes FILE an empty SQLite database with the tables of the reference schema:\n"
    "  local   the song-request system's song database (Ktv.mdb)\n"
    "  master  the master song catalogue (Total.mdb)\n"
    "An existing FILE is never overwritten.\n"
    "CONNECTION names a database on a PostgreSQL server (postgresql://USER@HOST/DATABASE,\n"
    "host=HOST dbname=DATABASE user=USER, or Provider=PostgreSQL;Host=HOST;Database=DATABASE;User ID=USER):\n"
    "the local song database's tables are made in it, all or none; tables already there are never\n"
    "replaced. The password comes from PGPASSWORD, ~/.pgpass or PGSERVICE, never from CONNECTION.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::puts("ktvschema " CORVENA_VERSION);
        return 0;
    }
    if (argc != 3 || (std::strcmp(argv[1], "local") != 0 && std::strcmp(argv[1], "master") != 0)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const bool Local = std::strcmp(argv[1], "local") == 0;
    // Never printed as given: a server's connection string is shown without anything but the
    // server and the database.
    std::string Name = DatabaseDisplayName(argv[2]);
    try {
        if (NamesServerDatabase(argv[2])) {
            if (!Local) {
                std::fprintf(stderr, "ktvschema: %s is a database on a server; a master catalogue is a file\n",
                             Name.c_str());
                return 2;
            }
            Name = CreateServerDatabase(argv[2]);
        } else {
            CreateDatabase(argv[2], Local ? TSchemaKind::Local : TSchemaKind::Master);
        }
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "ktvschema: %s\n", Error.what());
        return 1;
    }
    std::printf("created %s database %s\n", argv[1], Name.c_str());
    return 0;
}
