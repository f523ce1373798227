// The ways of finding a master name whatever its letter case, on one master of COUNT songs:
//   bench_names [COUNT=100000] [LOOKUPS=200]
// 1 the folded key map the index worker reads when it starts (its whole cost for a run),
// 2 a lookup in it, per file,
// 3 a custom SQL function folding FilePath in the lookup statement: the master is read only
//   and no index of ours may be stored in it, so every lookup scans the table (LOOKUPS of them,
//   and what that makes for one file of each song),
// 4 the statement the worker runs per file today, for scale;
// and the near matches of a thousand unmatched files.
#include "NameMatch.h"
#include "SQLiteEngine.h"
#include "Transaction.h"
#include "Schema.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point AStart) {
    return std::chrono::duration<double>(TClock::now() - AStart).count();
}

// This thread's processor time: on a shared machine the wall clock says more of the others.
double CpuSeconds() {
    timespec Now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) * 1e-9;
}

void FoldFunction(sqlite3_context* AContext, int, sqlite3_value** AArgs) {
    const auto* Text = reinterpret_cast<const char*>(sqlite3_value_text(AArgs[0]));
    if (Text == nullptr) {
        sqlite3_result_null(AContext);
        return;
    }
    const std::string Folded =
        FoldCase(std::string_view(Text, static_cast<std::size_t>(sqlite3_value_bytes(AArgs[0]))));
    sqlite3_result_text(AContext, Folded.data(), static_cast<int>(Folded.size()), SQLITE_TRANSIENT);
}

// Runs ASql bound to each name in turn, reading every row; returns the seconds per lookup.
double PerLookup(sqlite3* ADb, const char* ASql, const std::vector<std::string>& ANames) {
    sqlite3_stmt* Stmt = nullptr;
    if (sqlite3_prepare_v2(ADb, ASql, -1, &Stmt, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "bench_names: %s\n", sqlite3_errmsg(ADb));
        std::exit(1);
    }
    const double Start = CpuSeconds();
    for (const std::string& Name : ANames) {
        sqlite3_bind_text(Stmt, 1, Name.data(), static_cast<int>(Name.size()), SQLITE_STATIC);
        while (sqlite3_step(Stmt) == SQLITE_ROW) {
        }
        sqlite3_reset(Stmt);
    }
    const double Seconds = CpuSeconds() - Start;
    sqlite3_finalize(Stmt);
    return Seconds / static_cast<double>(ANames.size());
}

} // namespace

int main(int argc, char** argv) {
    const long Count = argc > 1 ? std::atol(argv[1]) : 100000;
    const long Lookups = argc > 2 ? std::atol(argv[2]) : 200;
    if (Count <= 0 || Lookups <= 0) {
        std::fprintf(stderr, "usage: bench_names [COUNT] [LOOKUPS]\n");
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path Dir = fs::temp_directory_path() / ("bench_names." + std::to_string(getpid()));
    fs::create_directories(Dir);
    const std::string Master = (Dir / "Total.mdb").string();
    CreateDatabase(Master, TSchemaKind::Master);

    // File names as ktvdemo makes them, and a few in other scripts.
    const char* Suffixes[] = {".mpg", ".vob", ".dat", ".mkv"};
    std::vector<std::string> Names;
    {
        TConnection Writer;
        Writer.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + Master);
        Writer.SetConnected(true);
        TTransaction Transaction(Writer);
        TQuery Insert(Writer);
        Insert.SetSQL("insert into Songs (SongNumber, SongName, FilePath) values (:Number, 'x', :Path)");
        for (long I = 1; I <= Count; ++I) {
            char Name[64];
            std::snprintf(Name, sizeof Name, I % 50 == 0 ? "Été %05ld%s" : "%05ld%s", I, Suffixes[I % 4]);
            Names.emplace_back(Name);
            Insert.SetText("Number", Names.back().substr(0, 5));
            Insert.SetText("Path", Names.back());
            Insert.ExecSQL();
        }
        Transaction.Commit();
    }

    TConnection Connection;
    Connection.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + Master);
    Connection.SetMode(TConnectMode::ShareDenyNone);
    Connection.SetConnected(true);

    // Lookups spread over the catalogue, each in upper case.
    std::vector<std::string> Sample;
    for (long I = 0; I < Lookups; ++I)
        Sample.push_back(Names[static_cast<std::size_t>(I * Count / Lookups)]);
    for (std::string& Name : Sample)
        for (char& C : Name)
            if (C >= 'a' && C <= 'z')
                C = static_cast<char>(C - 'a' + 'A');

    TMasterNames Map;
    auto Start = TClock::now();
    const double MapCpuStart = CpuSeconds();
    Map.Load(Connection);
    const double MapSeconds = SecondsSince(Start);
    const double MapCpu = CpuSeconds() - MapCpuStart;
    const double LookupStart = CpuSeconds();
    std::size_t Found = 0;
    constexpr int MapRounds = 20;
    for (int Round = 0; Round < MapRounds; ++Round)
        for (const std::string& Name : Names)
            Found += Map.Find(Name) ? 1 : 0;
    const double MapLookup = (CpuSeconds() - LookupStart) / static_cast<double>(Names.size() * MapRounds);

    // The near matches of a thousand converted videos (unmatched files), one pass over the names.
    std::vector<std::string> Unmatched;
    for (std::size_t I = 0; I < 1000; ++I)
        Unmatched.push_back("/songs/" + Names[I * Names.size() / 1000].substr(0, 5) + ".mp4");
    const double NearStart = CpuSeconds();
    const std::size_t Near = Map.NearMatches(Unmatched).size();
    const double NearCpu = CpuSeconds() - NearStart;

    // 3 and 4 measure SQLite itself, on the connection's own handle.
    sqlite3* Handle = SQLiteHandle(Connection);
    sqlite3_create_function(Handle, "corvena_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            FoldFunction, nullptr, nullptr);
    const double FunctionLookup =
        PerLookup(Handle, "select * from Songs where corvena_fold(FilePath)=corvena_fold(?)", Sample);
    const double PlainLookup = PerLookup(Handle, "select * from Songs where FilePath=?", Sample);
    Connection.SetConnected(false);
    fs::remove_all(Dir);

    const double Files = static_cast<double>(Count);
    std::printf("master of %ld songs (%zu names read, %zu found again)\n", Count, Map.Count(),
                Found / MapRounds);
    std::printf("  (processor time of this thread; wall clock where said)\n");
    std::printf("  1 folded key map, read at the worker's start   %9.3f s a run (%.3f s wall)\n", MapCpu,
                MapSeconds);
    std::printf("  2 a lookup in it                                %9.3f us a file\n", MapLookup * 1e6);
    std::printf("  near matches of %zu unmatched files (%zu found)  %9.3f s\n", Unmatched.size(), Near,
                NearCpu);
    std::printf("  3 custom SQL function, table scanned            %9.3f ms a file, %9.1f s for %ld files\n",
                FunctionLookup * 1e3, FunctionLookup * Files, Count);
    std::printf("  4 the worker's statement today                  %9.3f us a file, %9.3f s for %ld files\n",
                PlainLookup * 1e6, PlainLookup * Files, Count);
    return 0;
}
