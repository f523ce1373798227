// corvena-index --skip-known against --only-add over an unchanged library, and the latency of
// --watch from a file's close to its song row, in one run:
//   bench_watch [COUNT=100000] [FILES=200] [SEED=1]
// 1 a ktvdemo library of COUNT songs indexed once; then, on the unchanged library, a run with
//   --only-add and one with --skip-known: each one's own index_seconds from --summary-json,
// 2 FILES of its indexed songs moved aside (their rows deleted), corvena-index --watch started,
//   and the files written back one at a time: from each close until its row can be read,
// 3 the same files moved aside again (their rows deleted) and written back as a stream, one
//   every 60 ms without waiting for rows (an album copied, a sync job): from each close until
//   its row can be read, while the files after it keep coming.
#include "Query.h"

#include "BenchSpawn.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

std::string ReadAll(const fs::path& AFile) {
    std::ifstream In(AFile, std::ios::binary);
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

double JsonNumber(const fs::path& AFile, const char* AKey) {
    const std::string Text = ReadAll(AFile);
    const std::size_t At = Text.find(std::string("\"") + AKey + "\":");
    if (At == std::string::npos)
        throw std::runtime_error(std::string("no ") + AKey + " in " + AFile.string());
    return std::strtod(Text.c_str() + At + std::strlen(AKey) + 3, nullptr);
}

// The local database as another program reads it while the watch writes, through the layer.
struct TDb {
    explicit TDb(const std::string& AFile) {
        Cnn.SetConnectionString("Data Source=" + AFile);
        Cnn.SetConnected(true);
    }
    std::vector<std::string> Texts(const std::string& ASql) {
        std::vector<std::string> Result;
        TQuery Query(Cnn);
        Query.SetSQL(ASql);
        for (Query.Open(); !Query.Eof(); Query.Next())
            Result.push_back(Query.FieldAsString(0));
        return Result;
    }
    // Whether a Songs row has the path.
    bool HasRow(TQuery& ARow, const std::string& APath) {
        ARow.SetText("Path", APath);
        ARow.Open();
        const bool Found = ARow.FieldAsInteger(0) > 0;
        ARow.Close();
        return Found;
    }
    TConnection Cnn;
};

} // namespace

int main(int argc, char** argv) {
    const long Count = argc > 1 ? std::atol(argv[1]) : 100000;
    const long Files = argc > 2 ? std::atol(argv[2]) : 200;
    const std::string Seed = argc > 3 ? argv[3] : "1";
    if (Count <= 0 || Files <= 0 || argc > 4) {
        std::fprintf(stderr, "usage: bench_watch [COUNT] [FILES] [SEED]\n");
        return 2;
    }
    const fs::path Dir = fs::temp_directory_path() / ("corvena-benchwatch-" + std::to_string(getpid()));
    fs::remove_all(Dir);
    int Result = 0;
    try {
        fs::create_directories(Dir);
        const fs::path Demo = Dir / "KTV";
        if (WaitProgram(SpawnProgram({KTVDEMO_PROGRAM, "--out", Demo.string(), "--count", std::to_string(Count), "--seed", Seed},
                                     std::string(), (Dir / "ktvdemo.err").string())) != 0)
            throw std::runtime_error("ktvdemo failed");
        const std::string Songs = (Demo / "Songs").string();
        const std::string Local = (Demo / "DataBase" / "Ktv.mdb").string();
        const std::string Master = (Demo / "DataBase" / "Total.mdb").string();
        const auto Index = [&](const std::vector<std::string>& AMore, const char* AName) {
            std::vector<std::string> Args{CORVENA_INDEX_PROGRAM, "--quiet", "--songs", Songs, "--master", Master,
                                          "--local", Local, "--summary-json", (Dir / AName).string()};
            Args.insert(Args.end(), AMore.begin(), AMore.end());
            if (WaitProgram(SpawnProgram(Args, std::string(), (Dir / "index.err").string())) != 0)
                throw std::runtime_error("corvena-index failed: " + ReadAll(Dir / "index.err"));
            return JsonNumber(Dir / AName, "index_seconds");
        };
        // 1
        const double First = Index({}, "first.json");
        const double OnlyAdd = Index({"--only-add"}, "onlyadd.json");
        const double SkipKnown = Index({"--skip-known"}, "skipknown.json");
        std::printf("%ld songs: first run %.3f s; unchanged library: --only-add %.3f s, --skip-known %.3f s"
                    " (%.3fx --only-add, target <= 0.1x; %.0f known)\n",
                    Count, First, OnlyAdd, SkipKnown, SkipKnown / OnlyAdd, JsonNumber(Dir / "skipknown.json", "known"));

        // 2
        std::vector<std::string> Moved;
        {
            TDb Db(Local);
            Moved = Db.Texts("select FilePath from Songs order by SongID limit " + std::to_string(Files));
            fs::create_directories(Dir / "aside");
            for (std::size_t I = 0; I < Moved.size(); ++I)
                fs::rename(Moved[I], Dir / "aside" / std::to_string(I));
            ExecuteDirect(Db.Cnn, "delete from Songs where SongID in (select SongID from Songs order by SongID limit " +
                                      std::to_string(Files) + ")");
        }
        const fs::path Errors = Dir / "watch.err";
        const pid_t Watch = SpawnProgram({CORVENA_INDEX_PROGRAM, "--watch", "--quiet", "--songs", Songs, "--master", Master,
                                          "--local", Local},
                                         std::string(), Errors.string());
        const auto Started = TClock::now();
        while (ReadAll(Errors).find("watching") == std::string::npos) {
            if (TClock::now() - Started > std::chrono::minutes(10))
                throw std::runtime_error("the watch never started");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::vector<double> Latency;
        {
            TDb Db(Local);
            TQuery Row(Db.Cnn);
            Row.SetSQL("select count(*) from Songs where FilePath = :Path");
            for (std::size_t I = 0; I < Moved.size(); ++I) {
                const std::string Data = ReadAll(Dir / "aside" / std::to_string(I));
                {
                    std::ofstream Out(Moved[I], std::ios::binary);
                    Out << Data;
                }
                const auto Closed = TClock::now();
                for (;;) {
                    if (Db.HasRow(Row, Moved[I]))
                        break;
                    if (TClock::now() - Closed > std::chrono::seconds(30))
                        throw std::runtime_error("no row for " + Moved[I]);
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                Latency.push_back(std::chrono::duration<double>(TClock::now() - Closed).count());
            }
        }
        // 3
        std::vector<double> Streamed(Moved.size(), -1);
        {
            TDb Db(Local);
            for (std::size_t I = 0; I < Moved.size(); ++I)
                fs::rename(Moved[I], Dir / "aside" / std::to_string(I));
            TQuery Delete(Db.Cnn);
            Delete.SetSQL("delete from Songs where FilePath = :Path");
            for (const std::string& Path : Moved) {
                Delete.SetText("Path", Path);
                Delete.ExecSQL();
            }
            std::vector<TClock::time_point> Closed(Moved.size());
            std::atomic<std::size_t> Written{0};
            std::thread Writer([&] {
                for (std::size_t I = 0; I < Moved.size(); ++I) {
                    const std::string Data = ReadAll(Dir / "aside" / std::to_string(I));
                    {
                        std::ofstream Out(Moved[I], std::ios::binary);
                        Out << Data;
                    }
                    Closed[I] = TClock::now();
                    Written.store(I + 1);
                    std::this_thread::sleep_for(std::chrono::milliseconds(60));
                }
            });
            TQuery Row(Db.Cnn);
            Row.SetSQL("select count(*) from Songs where FilePath = :Path");
            std::size_t Found = 0;
            const auto Start = TClock::now();
            while (Found < Moved.size() && TClock::now() - Start < std::chrono::minutes(5)) {
                const std::size_t Now = Written.load();
                for (std::size_t I = 0; I < Now; ++I) {
                    if (Streamed[I] >= 0)
                        continue;
                    if (Db.HasRow(Row, Moved[I])) {
                        Streamed[I] = std::chrono::duration<double>(TClock::now() - Closed[I]).count();
                        ++Found;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            Writer.join();
            if (Found < Moved.size())
                throw std::runtime_error("rows missing after the stream");
        }
        kill(Watch, SIGTERM);
        const int Status = WaitProgram(Watch);
        std::sort(Latency.begin(), Latency.end());
        std::printf("--watch, %zu files written one at a time: close to row median %.0f ms, worst %.0f ms"
                    " (target <= 2000 ms); exit status %d after SIGTERM\n",
                    Latency.size(), Latency[Latency.size() / 2] * 1000, Latency.back() * 1000, Status);
        std::sort(Streamed.begin(), Streamed.end());
        std::printf("--watch, %zu files written as a stream, one every 60 ms: close to row median %.0f ms,"
                    " worst %.0f ms (target <= 2000 ms)\n",
                    Streamed.size(), Streamed[Streamed.size() / 2] * 1000, Streamed.back() * 1000);
        if (Status != 0)
            Result = 1;
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "bench_watch: %s\n", AError.what());
        Result = 1;
    }
    fs::remove_all(Dir);
    return Result;
}
