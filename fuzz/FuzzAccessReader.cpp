// Damaged Access master catalogues opened as the wizard opens them, through the reader program:
// mutations of the three Access files of the tests (libFuzzer's own, plus cuts on a page
// boundary and changed bytes in a table definition's header). Whatever libmdb does with a
// file, this process gets an open read-only copy or the damaged-Access error naming the file;
// a crash of this process is a fault. At exit it prints how the reader ended, by kind; inputs
// the reader died on are kept in build/fuzz/artifacts/accessreader-reader-failure-*.
#include "AccessImport.h"
#include "AccessSeams.h"
#include "Connection.h"
#include "SQLiteEngine.h"
#include "FuzzSupport.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* AData, std::size_t ASize, std::size_t AMaxSize);

namespace {

// Never destroyed: it is printed from an exit handler.
std::map<std::string, long>& Outcomes() {
    static auto* const Counts = new std::map<std::string, long>;
    return *Counts;
}

void PrintOutcomes() {
    long Total = 0;
    for (const auto& [Kind, Count] : Outcomes())
        Total += Count;
    std::fprintf(stderr, "access reader outcomes (%ld runs):\n", Total);
    for (const auto& [Kind, Count] : Outcomes())
        std::fprintf(stderr, "  %8ld  %s\n", Count, Kind.c_str());
}

// The kind of an error: what became of the reader, or the reader's own reason.
std::string KindOf(const std::string& AError, const std::string& AFile) {
    const std::string Prefix = "Cannot open database \"" + AFile + "\": ";
    FUZZ_CHECK(AError.compare(0, Prefix.size(), Prefix) == 0);
    std::string Reason = AError.substr(Prefix.size());
    if (const auto At = Reason.find("the reader "); At != std::string::npos)
        Reason = Reason.substr(At);
    else
        Reason = "reader's own error: " + Reason;
    // Table names, counts and sizes vary; the kind does not.
    for (const char* Cut : {" table ", " (", " holds ", ": the reader ended"})
        if (const auto At = Reason.find(Cut, 10); At != std::string::npos)
            Reason.resize(At);
    return Reason;
}

std::size_t PageSize(const std::uint8_t* AData, std::size_t ASize) {
    // Byte 0x14 of the header is the format: 0 is Jet 3 (2 KB pages), the rest 4 KB.
    return ASize > 0x14 && AData[0x14] == 0 ? 2048 : 4096;
}

// An input the reader itself died on (a signal, a sanitizer's report, a limit) is kept for a
// look at libmdb or the loader: this process survived it, so libFuzzer keeps nothing.
void KeepReaderFailure(const std::uint8_t* AData, std::size_t ASize, const std::string& AKind) {
    static const char* const Folder = "build/fuzz/artifacts";
    static long Kept = 0;
    if (AKind.rfind("the reader ", 0) != 0 || Kept >= 100 || !std::filesystem::is_directory(Folder))
        return;
    const std::string Name = std::string(Folder) + "/accessreader-reader-failure-" +
                             std::to_string(::getpid()) + "-" + std::to_string(++Kept);
    std::ofstream(Name, std::ios::binary)
        .write(reinterpret_cast<const char*>(AData), static_cast<std::streamsize>(ASize));
    std::ofstream(Name + ".txt") << AKind << "\n";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallAccessReader();
    // A loop in libmdb costs this many seconds of a run, not the default scaled from the size.
    SetAccessReaderLimits({0, 10});
    std::atexit(PrintOutcomes);
    return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* AData, std::size_t ASize,
                                               std::size_t AMaxSize, unsigned ASeed) {
    std::minstd_rand Random(ASeed);
    const std::size_t Page = PageSize(AData, ASize);
    const std::size_t Pages = ASize / Page;
    switch (Random() % 4) {
    case 0: // cut exactly on a page boundary
        if (Pages > 1)
            return Page * (1 + Random() % (Pages - 1));
        break;
    case 1: { // one or two bytes of a table definition's header (counts, pointers, usage maps)
        std::vector<std::size_t> Definitions;
        for (std::size_t P = 1; P < Pages; ++P)
            if (AData[P * Page] == 0x02 && AData[P * Page + 1] == 0x01)
                Definitions.push_back(P * Page);
        if (Definitions.empty())
            break;
        const std::size_t At = Definitions[Random() % Definitions.size()] + 8 + Random() % 56;
        AData[At] = static_cast<std::uint8_t>(Random());
        if (Random() % 2 != 0 && At + 1 < ASize)
            AData[At + 1] = static_cast<std::uint8_t>(Random());
        return ASize;
    }
    case 2: { // a few flipped bits anywhere
        for (unsigned I = 0, N = 1 + Random() % 4; I < N && ASize > 0; ++I)
            AData[Random() % ASize] ^= static_cast<std::uint8_t>(1u << (Random() % 8));
        return ASize;
    }
    default:
        break;
    }
    return LLVMFuzzerMutate(AData, ASize, AMaxSize);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    static const TFuzzDir Dir("accessreader");
    const std::string File = Dir.File("Total.mdb");
    std::ofstream(File, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(AData), static_cast<std::streamsize>(ASize));

    TConnection Cnn;
    Cnn.SetMode(TConnectMode::ShareDenyNone);
    Cnn.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + File);
    std::string Kind;
    try {
        Cnn.SetConnected(true);
        // An open copy answers, and refuses writes.
        sqlite3* Db = SQLiteHandle(Cnn);
        FUZZ_CHECK(sqlite3_exec(Db, "select count(*) from sqlite_master", nullptr, nullptr,
                                nullptr) == SQLITE_OK);
        FUZZ_CHECK(sqlite3_exec(Db, "create table x (y)", nullptr, nullptr, nullptr) != SQLITE_OK);
        Kind = "opened";
    } catch (const TDatabaseError& Error) {
        const std::string Message = Error.what();
        Kind = Message.find("Access (Jet) database") == std::string::npos &&
                       Message.find("damaged Access") == std::string::npos &&
                       Message.find("the reader") == std::string::npos
                   ? "not an Access file: " + Message.substr(Message.rfind(": ") + 2)
                   : KindOf(Message, File);
    }
    ++Outcomes()[Kind];
    KeepReaderFailure(AData, ASize, Kind);
    return 0;
}
