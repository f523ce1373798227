// Times `_2DB` of the native plug-in on a song database already holding many songs, as the
// host calls it: one song per call through the host's open handle.
//   bench_plugin [SONGS] [CALLS]     (defaults: 100000 songs, 2000 calls per path)
// Insert path: a new file, no song number (so the greatest number is read), the language
// looked up by name. Update path: a file already present, its number given and its type
// looked up by name.
#include "Schema.h"
#include "VelTestSupport.h"

#include <sqlite3.h>

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

void Exec(sqlite3* ADb, const char* ASql) {
    char* Message = nullptr;
    if (sqlite3_exec(ADb, ASql, nullptr, nullptr, &Message) != SQLITE_OK) {
        const std::string Text = Message ? Message : "?";
        sqlite3_free(Message);
        throw std::runtime_error(Text);
    }
}

std::u16string U16(const std::string& AAscii) {
    return {AAscii.begin(), AAscii.end()};
}

std::string SongPath(int AIndex) {
    char Text[40];
    std::snprintf(Text, sizeof Text, "D:\\Songs\\%03d\\%07d.mpg", AIndex / 250, AIndex);
    return Text;
}

// The songs 0 .. ASongs-1, numbered from 80000000, in one transaction.
void Fill(sqlite3* ADb, int ASongs) {
    Exec(ADb, "begin");
    Exec(ADb, "insert into Languages (LanguageName) values "
              "('国语'),('粤语'),('闽南语'),('英语'),('日语'),('韩语');"
              "insert into SongTypes (TypeName) values "
              "('流行'),('摇滚'),('民歌'),('儿歌'),('戏曲'),('舞曲'),('影视'),('怀旧')");
    sqlite3_stmt* Insert = nullptr;
    sqlite3_prepare_v2(ADb,
                       "insert into Songs (SongNumber,SongName,FilePath,SingerName,LanguageID,"
                       "TypeID,PublishDate) values (?,?,?,?,?,?,?)",
                       -1, &Insert, nullptr);
    for (int I = 0; I < ASongs; ++I) {
        const std::string Number = std::to_string(80000000 + I);
        const std::string Name = "歌曲 " + std::to_string(I);
        const std::string Path = SongPath(I);
        const std::string Singer = "歌手 " + std::to_string(I % 3000);
        sqlite3_bind_text(Insert, 1, Number.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 2, Name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 3, Path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 4, Singer.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(Insert, 5, 1 + I % 6);
        sqlite3_bind_int(Insert, 6, 1 + I % 8);
        sqlite3_bind_double(Insert, 7, 36526.0 + I % 9000);
        if (sqlite3_step(Insert) != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(ADb));
        sqlite3_reset(Insert);
    }
    sqlite3_finalize(Insert);
    Exec(ADb, "commit");
}

// Microseconds per call of AMake(I) for I in 0 .. ACalls-1; every call must succeed.
template <typename TMake> double Time(T2DBFunc AFunc, sqlite3* ADb, int ACalls, TMake AMake) {
    TVelStringPool Pool;
    const TVodSoft Soft{1, Pool.Make(u"Bench"), nullptr, nullptr};
    const auto Start = std::chrono::steady_clock::now();
    for (int I = 0; I < ACalls; ++I)
        if (AFunc(Soft, ADb, AMake(Pool, I)) != 0)
            throw std::runtime_error("_2DB failed on call " + std::to_string(I));
    const std::chrono::duration<double, std::micro> Spent =
        std::chrono::steady_clock::now() - Start;
    return Spent.count() / ACalls;
}

} // namespace

int main(int argc, char** argv) {
    const int Songs = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int Calls = argc > 2 ? std::atoi(argv[2]) : 2000;
    if (Songs < Calls || Calls <= 0) {
        std::fprintf(stderr, "usage: bench_plugin [SONGS] [CALLS]   (SONGS >= CALLS > 0)\n");
        return 2;
    }
    const auto Dir =
        std::filesystem::temp_directory_path() / ("varnel-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    int Result = 0;
    sqlite3* Db = nullptr;
    try {
        void* Library = dlopen(VARNEL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        void* Symbol = Library ? dlsym(Library, "_2DB") : nullptr;
        if (Symbol == nullptr)
            throw std::runtime_error(dlerror());
        const auto Func = reinterpret_cast<T2DBFunc>(Symbol);

        const std::string File = (Dir / "Ktv.mdb").string();
        CreateDatabase(File, TSchemaKind::Local);
        if (sqlite3_open_v2(File.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + File);
        // The settings this system's own connections use.
        Exec(Db, "pragma journal_mode=WAL; pragma synchronous=NORMAL");
        Fill(Db, Songs);

        const double Insert = Time(Func, Db, Calls, [Songs](TVelStringPool& APool, int AI) {
            TVelSongInfo Info{};
            Info.SongName = APool.Make(U16("New song " + std::to_string(AI)));
            Info.FilePath = APool.Make(U16(SongPath(Songs + AI)));
            Info.SingerName = APool.Make(u"歌手");
            Info.LanguageName = APool.Make(u"粤语");
            Info.TypeID = 3;
            Info.PublishDate = 45000.5;
            return Info;
        });
        // Spread over the whole table, path in another letter case.
        const double Update = Time(Func, Db, Calls, [Songs, Calls](TVelStringPool& APool, int AI) {
            const int Index = static_cast<int>(static_cast<long long>(AI) * Songs / Calls);
            std::string Path = SongPath(Index);
            Path.replace(Path.size() - 3, 3, "MPG");
            TVelSongInfo Info{};
            Info.SongNumber = APool.Make(U16(std::to_string(80000000 + Index)));
            Info.SongName = APool.Make(U16("Renamed " + std::to_string(AI)));
            Info.FilePath = APool.Make(U16(Path));
            Info.LanguageID = 2;
            Info.TypeName = APool.Make(u"摇滚");
            Info.PublishDate = 45000.5;
            return Info;
        });
        std::printf("Varnel _2DB on %d songs (WAL, synchronous=NORMAL), %d calls each:\n"
                    "  insert (number generated, language looked up): %.1f us/call\n"
                    "  update (type looked up):                       %.1f us/call\n",
                    Songs, Calls, Insert, Update);
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "bench_plugin: %s\n", AError.what());
        Result = 1;
    }
    sqlite3_close(Db);
    std::filesystem::remove_all(Dir);
    return Result;
}
