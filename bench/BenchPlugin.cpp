// Times `_2DB` of the native plug-in on a song database already holding many songs, as the
// host calls it: one song per call through the host's open handle.
//   bench_plugin [SONGS] [CALLS]     (defaults: 100000 songs, 2000 calls per path)
// Insert path: a new file, no song number (so the greatest number is read), the language
// looked up by name. Update path: a file already present, its number given and its type
// looked up by name. Each path is then run as a raw SQLite loop of the same statements, in the
// same order, with the same values: once compiling them in every call (a plug-in cannot keep
// statements on the host's connection between calls) and once compiling them only once.
#include "Catalogue.h"
#include "SQLiteEngine.h"
#include "Transaction.h"
#include "Schema.h"
#include "Varnel.h"
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

// The songs 0 .. ASongs-1, numbered from 80000000, in one transaction, written through the
// database layer on the host's handle.
void Fill(sqlite3* ADb, int ASongs) {
    TConnection Connection(TSQLiteEngine::Borrow(ADb));
    TTransaction Transaction(Connection);
    ExecuteDirect(Connection, "insert into Languages (LanguageName) values "
                              "('国语'),('粤语'),('闽南语'),('英语'),('日语'),('韩语');"
                              "insert into SongTypes (TypeName) values "
                              "('流行'),('摇滚'),('民歌'),('儿歌'),('戏曲'),('舞曲'),('影视'),('怀旧')");
    TQuery Insert(Connection);
    Insert.SetSQL("insert into Songs (SongNumber,SongName,FilePath,SingerName,LanguageID,TypeID,"
                  "PublishDate) values (:Number,:Name,:Path,:Singer,:Language,:Type,:Date)");
    for (int I = 0; I < ASongs; ++I) {
        Insert.SetText("Number", std::to_string(80000000 + I));
        Insert.SetText("Name", "歌曲 " + std::to_string(I));
        Insert.SetText("Path", SongPath(I));
        Insert.SetText("Singer", "歌手 " + std::to_string(I % 3000));
        Insert.SetInteger("Language", 1 + I % 6);
        Insert.SetInteger("Type", 1 + I % 8);
        Insert.SetDate("Date", 36526.0 + I % 9000);
        Insert.ExecSQL();
    }
    Transaction.Commit();
}

// Microseconds spent calling _2DB with AMake(I) for I in AFrom .. ATo-1; every call must succeed.
template <typename TMake>
double Time(T2DBFunc AFunc, sqlite3* ADb, int AFrom, int ATo, TMake AMake) {
    TVelStringPool Pool;
    const TVodSoft Soft{1, Pool.Make(u"Bench"), nullptr, nullptr};
    const auto Start = std::chrono::steady_clock::now();
    for (int I = AFrom; I < ATo; ++I)
        if (AFunc(Soft, ADb, AMake(Pool, I)) != 0)
            throw std::runtime_error("_2DB failed on call " + std::to_string(I));
    const std::chrono::duration<double, std::micro> Spent =
        std::chrono::steady_clock::now() - Start;
    return Spent.count();
}

// The plug-in's statements on the raw SQLite API: the baseline, which measures SQLite itself.
class TRawCall {
public:
    explicit TRawCall(sqlite3* ADb) : FDb(ADb) {
        Prepare(FLanguage, SqlSelectLanguage);
        Prepare(FType, SqlSelectSongType);
        Prepare(FMax, "select max(songnumber) from songs");
        Prepare(FExists, SqlSongExists);
        Prepare(FInsert, SqlSongInsert);
        Prepare(FUpdate, SqlSongUpdate);
    }
    ~TRawCall() {
        for (sqlite3_stmt* Stmt : {FLanguage, FType, FMax, FExists, FInsert, FUpdate})
            sqlite3_finalize(Stmt);
    }
    TRawCall(const TRawCall&) = delete;
    TRawCall& operator=(const TRawCall&) = delete;

    // A new song, its language looked up by name and its number the greatest plus one.
    void Insert(const std::string& AName, const std::string& APath, const std::string& ASinger,
                const std::string& ALanguage, int ATypeID, double ADate) {
        const int LanguageID = Lookup(FLanguage, ALanguage);
        long long Greatest = 0;
        if (sqlite3_step(FMax) == SQLITE_ROW)
            Greatest = sqlite3_column_int64(FMax, 0);
        sqlite3_reset(FMax);
        const std::string Number = std::to_string(Greatest < VelSongNumberFloor ? VelSongNumberFloor : Greatest + 1);
        const bool Exists = Present(APath);
        sqlite3_stmt* Song = Exists ? FUpdate : FInsert;
        Bind(Song, Number, AName, APath, ASinger, LanguageID, ATypeID, ADate);
    }
    // A song already there, its number given and its type looked up by name.
    void Update(const std::string& ANumber, const std::string& AName, const std::string& APath,
                int ALanguageID, const std::string& AType, double ADate) {
        const int TypeID = Lookup(FType, AType);
        const bool Exists = Present(APath);
        Bind(Exists ? FUpdate : FInsert, ANumber, AName, APath, std::string(), ALanguageID, TypeID,
             ADate);
    }

private:
    void Prepare(sqlite3_stmt*& AStmt, const char* ASQL) {
        if (sqlite3_prepare_v2(FDb, ASQL, -1, &AStmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(FDb));
    }
    static void Text(sqlite3_stmt* AStmt, const char* AName, const std::string& AValue) {
        sqlite3_bind_text(AStmt, sqlite3_bind_parameter_index(AStmt, AName), AValue.data(),
                          static_cast<int>(AValue.size()), SQLITE_TRANSIENT);
    }
    static void Int(sqlite3_stmt* AStmt, const char* AName, int AValue) {
        sqlite3_bind_int(AStmt, sqlite3_bind_parameter_index(AStmt, AName), AValue);
    }
    int Lookup(sqlite3_stmt* AStmt, const std::string& AName) {
        Text(AStmt, AStmt == FLanguage ? ":LanguageName" : ":TypeName", AName);
        const int ID = sqlite3_step(AStmt) == SQLITE_ROW ? sqlite3_column_int(AStmt, 0) : 0;
        sqlite3_reset(AStmt);
        if (ID == 0)
            throw std::runtime_error("the bench's names are all present");
        return ID;
    }
    bool Present(const std::string& APath) {
        Text(FExists, ":FilePath", APath);
        const bool Result = sqlite3_step(FExists) == SQLITE_ROW;
        sqlite3_reset(FExists);
        return Result;
    }
    void Bind(sqlite3_stmt* ASong, const std::string& ANumber, const std::string& AName,
              const std::string& APath, const std::string& ASinger, int ALanguageID, int ATypeID,
              double ADate) {
        const std::string Empty;
        Text(ASong, ":SongNumber", ANumber);
        Text(ASong, ":SongName", AName);
        Text(ASong, ":FilePath", APath);
        Text(ASong, ":SingerName", ASinger);
        Text(ASong, ":PYCode", Empty);
        Int(ASong, ":CharsCount", 0);
        Int(ASong, ":StrokesNumber", 0);
        Int(ASong, ":LanguageID", ALanguageID);
        Int(ASong, ":TypeID", ATypeID);
        Text(ASong, ":Special", Empty);
        Int(ASong, ":Track", 0);
        Int(ASong, ":Sound", 0);
        Int(ASong, ":IsNew", 0);
        Int(ASong, ":DemandTimes", 0);
        Text(ASong, ":MediaType", Empty);
        Int(ASong, ":FileSize", 0);
        sqlite3_bind_double(ASong, sqlite3_bind_parameter_index(ASong, ":PublishDate"), ADate);
        const int Result = sqlite3_step(ASong);
        sqlite3_reset(ASong);
        if (Result != SQLITE_DONE || sqlite3_changes(FDb) == 0)
            throw std::runtime_error("the raw song statement failed");
    }

    sqlite3* FDb;
    sqlite3_stmt* FLanguage = nullptr;
    sqlite3_stmt* FType = nullptr;
    sqlite3_stmt* FMax = nullptr;
    sqlite3_stmt* FExists = nullptr;
    sqlite3_stmt* FInsert = nullptr;
    sqlite3_stmt* FUpdate = nullptr;
};

// Microseconds spent running ACall(Raw, I) for I in AFrom .. ATo-1, the statements compiled in
// every call or once for all.
template <typename TCall>
double TimeRaw(sqlite3* ADb, int AFrom, int ATo, bool APerCall, TCall ACall) {
    const auto Start = std::chrono::steady_clock::now();
    if (APerCall) {
        for (int I = AFrom; I < ATo; ++I) {
            TRawCall Raw(ADb);
            ACall(Raw, I);
        }
    } else {
        TRawCall Raw(ADb);
        for (int I = AFrom; I < ATo; ++I)
            ACall(Raw, I);
    }
    const std::chrono::duration<double, std::micro> Spent =
        std::chrono::steady_clock::now() - Start;
    return Spent.count();
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
        // The host's own handle, set as this system's own connections are.
        Exec(Db, "pragma journal_mode=WAL; pragma synchronous=NORMAL");
        Fill(Db, Songs);

        // Insert: new files, numbered on from the songs already there (each side its own).
        const auto MakeInsert = [Songs](TVelStringPool& APool, int AI) {
            TVelSongInfo Info{};
            Info.SongName = APool.Make(U16("New song " + std::to_string(AI)));
            Info.FilePath = APool.Make(U16(SongPath(Songs + AI)));
            Info.SingerName = APool.Make(u"歌手");
            Info.LanguageName = APool.Make(u"粤语");
            Info.TypeID = 3;
            Info.PublishDate = 45000.5;
            return Info;
        };
        const auto RawInsertCall = [Songs, Calls](TRawCall& ARaw, int AI) {
            ARaw.Insert("New song " + std::to_string(AI), SongPath(Songs + Calls + AI), "歌手", "粤语",
                        3, 45000.5);
        };
        // Update: spread over the whole table, path in another letter case.
        const auto UpdateIndex = [Songs, Calls](int AI) {
            return static_cast<int>(static_cast<long long>(AI) * Songs / Calls);
        };
        const auto UpperPath = [](int AIndex) {
            std::string Path = SongPath(AIndex);
            Path.replace(Path.size() - 3, 3, "MPG");
            return Path;
        };
        const auto MakeUpdate = [&](TVelStringPool& APool, int AI) {
            const int Index = UpdateIndex(AI);
            TVelSongInfo Info{};
            Info.SongNumber = APool.Make(U16(std::to_string(80000000 + Index)));
            Info.SongName = APool.Make(U16("Renamed " + std::to_string(AI)));
            Info.FilePath = APool.Make(U16(UpperPath(Index)));
            Info.LanguageID = 2;
            Info.TypeName = APool.Make(u"摇滚");
            Info.PublishDate = 45000.5;
            return Info;
        };
        const auto RawUpdateCall = [&](TRawCall& ARaw, int AI) {
            const int Index = UpdateIndex(AI);
            ARaw.Update(std::to_string(80000000 + Index), "Renamed " + std::to_string(AI),
                        UpperPath(Index), 2, "摇滚", 45000.5);
        };

        // The three sides take turns in rounds, so a change in the machine's load or in the
        // files' size falls on all of them alike. The raw inserts add files after _2DB's.
        constexpr int Rounds = 8;
        double Insert = 0, Update = 0, RawInsert[2] = {0, 0}, RawUpdate[2] = {0, 0};
        for (int Round = 0; Round < Rounds; ++Round) {
            const int From = Calls * Round / Rounds, To = Calls * (Round + 1) / Rounds;
            Insert += Time(Func, Db, From, To, MakeInsert);
            RawInsert[0] += TimeRaw(Db, From, To, true, RawInsertCall);
            RawInsert[1] += TimeRaw(Db, From + Calls, To + Calls, false, RawInsertCall);
            Update += Time(Func, Db, From, To, MakeUpdate);
            RawUpdate[0] += TimeRaw(Db, From, To, true, RawUpdateCall);
            RawUpdate[1] += TimeRaw(Db, From, To, false, RawUpdateCall);
        }
        for (double* Total : {&Insert, &Update, &RawInsert[0], &RawInsert[1], &RawUpdate[0], &RawUpdate[1]})
            *Total /= Calls;
        std::printf("Varnel _2DB on %d songs (WAL, synchronous=NORMAL), %d calls each, against raw\n"
                    "SQLite running the same statements (compiled per call / once for all):\n"
                    "  insert (number generated, language looked up): %6.1f us/call   raw %6.1f / %6.1f"
                    "   _2DB/raw %.2f / %.2f\n"
                    "  update (type looked up):                       %6.1f us/call   raw %6.1f / %6.1f"
                    "   _2DB/raw %.2f / %.2f\n",
                    Songs, Calls, Insert, RawInsert[0], RawInsert[1], Insert / RawInsert[0],
                    Insert / RawInsert[1], Update, RawUpdate[0], RawUpdate[1], Update / RawUpdate[0],
                    Update / RawUpdate[1]);
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "bench_plugin: %s\n", AError.what());
        Result = 1;
    }
    sqlite3_close(Db);
    std::filesystem::remove_all(Dir);
    return Result;
}
