// ktvschema local|master FILE: creates an empty local song database or master catalogue.
#include "Schema.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

constexpr const char* Usage = "usage: ktvschema local|master FILE\n"
                              "       ktvschema --help | --version\n"
                              "Makes FILE an empty SQLite database with the tables of the reference schema:\n"
                              "  local   the song-request system's song database (Ktv.mdb)\n"
                              "  master  the master song catalogue (Total.mdb)\n"
                              "An existing FILE is never overwritten.\n";

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
    try {
        CreateDatabase(argv[2], std::strcmp(argv[1], "local") == 0 ? TSchemaKind::Local
                                                                   : TSchemaKind::Master);
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "ktvschema: %s\n", Error.what());
        return 1;
    }
    std::printf("created %s database %s\n", argv[1], argv[2]);
    return 0;
}
