// ktvschema local|master FILE: creates an empty local song database or master catalogue.
#include "Schema.h"

#include <cstdio>
#include <cstring>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "local") != 0 && std::strcmp(argv[1], "master") != 0)) {
        std::fprintf(stderr, "usage: ktvschema local|master FILE\n"
                             "  local   the song-request system's song database (Ktv.mdb)\n"
                             "  master  the master song catalogue (Total.mdb)\n");
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
