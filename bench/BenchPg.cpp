// Indexing a demo library into a local song database on a PostgreSQL server, against a raw libpq
// loop of the same statements and against the SQLite file, in one run; then ten writers at once:
//   bench_pg [COUNT] [SEED] [WRITERS]      (defaults: 100000 songs, seed 1, 10 writers)
// The server is the one the PG variables name (inside pg_virtualenv -t, say); the user must be
// allowed to make databases. Each measurement writes into a database of its own, dropped after.
// 1 a raw libpq loop running per file the statements the index worker runs, in the worker's
//   order (its transaction, lookups, song, disco mirror in a savepoint), each statement prepared
//   once and waited for, one round trip each;
// 2 corvena-index as a child process over the whole folder, committing every file as the raw
//   loop does (--commit-ms 0): its own index_seconds, and the wall clock from start to exit;
//   then once as it runs by default, whole files committed in groups;
// 3 corvena-index on the SQLite file (a fresh copy of the demo's empty Ktv.mdb);
// 4 the database layer's round trips a file (the worker's calls on the first files, in process);
// 5 WRITERS corvena-index processes at once (committing every file, as 2), each over its own share of the files (one folder a
//   writer), into one database: files a second in all, against 2's; and the duplicates (0).
// 1 and 2 run twice each, in the order 1 2 2 1, and the means are set side by side. 1, 2 and 5
// must write the same Songs and Discos rows as 3, and 5 nothing twice (exit status 1 otherwise).
#include "Catalogue.h"
#include "Config.h"
#include "PgEngine.h"
#include "ServerSchema.h"
#include "SongStatements.h"
#include "SongWriter.h"
#include "Transaction.h"

#include "BenchSpawn.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point AStart) { return std::chrono::duration<double>(TClock::now() - AStart).count(); }

std::string LoadAverage() {
    std::ifstream In("/proc/loadavg");
    std::string One, Five, Fifteen;
    In >> One >> Five >> Fifteen;
    return One + " " + Five + " " + Fifteen;
}

double JsonNumber(const std::string& AFile, const char* AKey) {
    std::ifstream In(AFile);
    std::stringstream Text;
    Text << In.rdbuf();
    std::smatch Match;
    const std::string Whole = Text.str();
    if (!std::regex_search(Whole, Match, std::regex(std::string("\"") + AKey + "\":\\s*([0-9.eE+-]+)")))
        throw std::runtime_error(std::string("no ") + AKey + " in " + AFile);
    return std::stod(Match[1]);
}

// -------------------------------------------------------------------------------------------
// The server, through libpq directly.

struct TFinish {
    void operator()(PGconn* AConnection) const { PQfinish(AConnection); }
};
using TPgConn = std::unique_ptr<PGconn, TFinish>;
using TPgResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;

TPgConn Connect(const std::string& ADatabase) {
    const char* Keywords[] = {"dbname", "client_encoding", nullptr};
    const char* Values[] = {ADatabase.c_str(), "UTF8", nullptr};
    TPgConn Connection(PQconnectdbParams(Keywords, Values, 0));
    if (PQstatus(Connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to " + ADatabase + ": " + PQerrorMessage(Connection.get()));
    PQsetNoticeProcessor(Connection.get(), [](void*, const char*) {}, nullptr);
    return Connection;
}

TPgResult Exec(PGconn* AConnection, const std::string& ASql) {
    TPgResult Result(PQexec(AConnection, ASql.c_str()), &PQclear);
    const ExecStatusType Status = PQresultStatus(Result.get());
    if (Status != PGRES_COMMAND_OK && Status != PGRES_TUPLES_OK)
        throw std::runtime_error(std::string(PQresultErrorMessage(Result.get())) + " in " + ASql);
    return Result;
}

std::string Text(const std::string& ADatabase, const std::string& ASql) {
    const TPgConn Connection = Connect(ADatabase);
    const TPgResult Result = Exec(Connection.get(), ASql);
    return PQntuples(Result.get()) > 0 ? PQgetvalue(Result.get(), 0, 0) : "";
}

// A database of its own with the local schema and the demo's disco types; dropped at the end.
class TServerDatabase {
public:
    TServerDatabase(const std::string& AName, const std::string& ADiscoTypes) : FName(AName) {
        Exec(Connect("postgres").get(), "DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
        Exec(Connect("postgres").get(), "CREATE DATABASE " + FName + " ENCODING 'UTF8' TEMPLATE template0");
        CreateServerDatabase("dbname=" + FName);
        Exec(Connect(FName).get(), "insert into DiscoTypes (TypeID, TypeName) values " + ADiscoTypes);
    }
    ~TServerDatabase() {
        try {
            Exec(Connect("postgres").get(), "DROP DATABASE IF EXISTS " + FName + " WITH (FORCE)");
        } catch (...) {
        }
    }
    const std::string& Name() const { return FName; }
    std::string Figure(const std::string& ASql) const { return Text(FName, ASql); }

private:
    std::string FName;
};

// -------------------------------------------------------------------------------------------
// 1: the raw loop.

class TRawStatement {
public:
    TRawStatement(PGconn* AConnection, const std::string& AName, const std::string& ASql, int AParams)
        : FConnection(AConnection), FName(AName), FParams(AParams) {
        TPgResult Result(PQprepare(AConnection, AName.c_str(), ASql.c_str(), AParams, nullptr), &PQclear);
        if (PQresultStatus(Result.get()) != PGRES_COMMAND_OK)
            throw std::runtime_error(std::string(PQresultErrorMessage(Result.get())) + " in " + ASql);
    }
    TPgResult Run(const std::vector<const char*>& AValues, long& ARoundTrips) const {
        ++ARoundTrips;
        TPgResult Result(PQexecPrepared(FConnection, FName.c_str(), FParams, AValues.data(), nullptr, nullptr, 0),
                         &PQclear);
        const ExecStatusType Status = PQresultStatus(Result.get());
        if (Status != PGRES_COMMAND_OK && Status != PGRES_TUPLES_OK)
            throw std::runtime_error(std::string(PQresultErrorMessage(Result.get())) + " in " + FName);
        return Result;
    }

private:
    PGconn* FConnection;
    std::string FName;
    int FParams;
};

struct TMasterRow {
    std::string Number, Name, Singer, Language, Type, Special, PY, Media, Date, Chars, Track, Sound, Demand;
};

// The master through SQLite's own API, as bench_index's raw loop reads it.
class TRawMaster {
public:
    explicit TRawMaster(const std::string& AFile) {
        sqlite3_open_v2(AFile.c_str(), &FDb, SQLITE_OPEN_READONLY, nullptr);
        if (sqlite3_prepare_v2(FDb, "select SongNumber, SongName, SingerName, LanguageName, TypeName, Special, PYCode,"
                                    " MediaType, PublishDate, CharsCount, Track, Sound, DemandTimes from Songs"
                                    " where FilePath = ?",
                               -1, &FStmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(FDb));
    }
    ~TRawMaster() {
        sqlite3_finalize(FStmt);
        sqlite3_close(FDb);
    }
    bool Find(const std::string& AName, TMasterRow& ARow) {
        sqlite3_bind_text(FStmt, 1, AName.data(), static_cast<int>(AName.size()), SQLITE_STATIC);
        const bool Found = sqlite3_step(FStmt) == SQLITE_ROW;
        if (Found) {
            std::string* Fields[] = {&ARow.Number, &ARow.Name, &ARow.Singer, &ARow.Language, &ARow.Type,
                                     &ARow.Special, &ARow.PY, &ARow.Media};
            for (int I = 0; I < 8; ++I) {
                const auto* Value = reinterpret_cast<const char*>(sqlite3_column_text(FStmt, I));
                Fields[I]->assign(Value != nullptr ? Value : "");
            }
            char Number[32];
            std::snprintf(Number, sizeof Number, "%.17g", sqlite3_column_double(FStmt, 8));
            ARow.Date = Number;
            ARow.Chars = std::to_string(sqlite3_column_int(FStmt, 9));
            ARow.Track = std::to_string(sqlite3_column_int(FStmt, 10));
            ARow.Sound = std::to_string(sqlite3_column_int(FStmt, 11));
            ARow.Demand = std::to_string(sqlite3_column_int(FStmt, 12));
        }
        sqlite3_reset(FStmt);
        return Found;
    }

private:
    sqlite3* FDb = nullptr;
    sqlite3_stmt* FStmt = nullptr;
};

std::string FileName(const std::string& APath) { return APath.substr(APath.rfind('/') + 1); }

// Returns the seconds; ARoundTrips counts the waits for an answer.
double RawLoop(const std::string& ADatabase, const std::string& AMaster, const std::vector<std::string>& AFiles,
               long& ARoundTrips) {
    const TPgConn Own = Connect(ADatabase);
    PGconn* Db = Own.get();
    TRawMaster Master(AMaster);
    const TRawStatement SelectLanguage(Db, "l", "select * from Languages where LanguageName = $1", 1),
        InsertLanguage(Db, "li", "insert into Languages (LanguageName) values ($1) returning *", 1),
        SelectType(Db, "t", "select * from SongTypes where TypeName = $1", 1),
        InsertType(Db, "ti", "insert into SongTypes (TypeName) values ($1) returning *", 1),
        SelectDiscoType(Db, "d", "select * from DiscoTypes where TypeName = $1", 1),
        Exists(Db, "e", "select songnumber from songs where FilePath = $1", 1),
        Insert(Db, "i",
               "Insert into songs (SongNumber,SongName,FilePath,SingerName,PYCode,CharsCount,StrokesNumber,LanguageID,"
               "TypeID,Special,Track,Sound,IsNew,DemandTimes,MediaType,FileSize,PublishDate) Values ($1,$2,$3,$4,$5,"
               "$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16,$17)",
               17),
        Update(Db, "u",
               "Update songs Set SongNumber=$1,SongName=$2,SingerName=$4,PYCode=$5,CharsCount=$6,StrokesNumber=$7,"
               "LanguageID=$8,TypeID=$9,Special=$10,Track=$11,Sound=$12,IsNew=$13,DemandTimes=$14,MediaType=$15,"
               "FileSize=$16,PublishDate=$17 where FilePath=$3",
               17),
        DiscoUpdate(Db, "du",
                    "Update Discos Set DiscoName=$1,Player=$3,PYCode=$4,CharsCount=$5,LanguageID=$6,TypeID=$7,"
                    "Track=$8,Sound=$9 where FilePath=$2",
                    9),
        DiscoInsert(Db, "di",
                    "Insert into Discos (DiscoName,FilePath,Player,PYCode,CharsCount,LanguageID,TypeID,Track,Sound) "
                    "Values ($1,$2,$3,$4,$5,$6,$7,$8,$9)",
                    9),
        DiscoDelete(Db, "dd", "Delete from Discos where FilePath = $1", 1),
        Begin(Db, "b", "BEGIN", 0), Commit(Db, "c", "COMMIT", 0), Savepoint(Db, "s", "SAVEPOINT DiscoMirror", 0),
        Release(Db, "r", "RELEASE SAVEPOINT DiscoMirror", 0);
    // A name's identifier, added when missing; "" (null) for an empty name.
    const auto Lookup = [&](const TRawStatement& ASelect, const TRawStatement* AInsert, const std::string& AName) {
        if (AName.empty())
            return std::string();
        TPgResult Found = ASelect.Run({AName.c_str()}, ARoundTrips);
        if (PQntuples(Found.get()) == 0 && AInsert != nullptr)
            Found = AInsert->Run({AName.c_str()}, ARoundTrips);
        return std::string(PQntuples(Found.get()) > 0 ? PQgetvalue(Found.get(), 0, 0) : "0");
    };
    TMasterRow Row;
    const auto Start = TClock::now();
    for (const std::string& Path : AFiles) {
        if (!Master.Find(FileName(Path), Row))
            continue;
        Begin.Run({}, ARoundTrips);
        const std::string Language = Lookup(SelectLanguage, &InsertLanguage, Row.Language);
        const std::string Type = Lookup(SelectType, &InsertType, Row.Type);
        if (!Row.Name.empty()) {
            const bool Present = PQntuples(Exists.Run({Path.c_str()}, ARoundTrips).get()) > 0;
            const char* OptionalLanguage = Language.empty() ? nullptr : Language.c_str();
            (Present ? Update : Insert)
                .Run({Row.Number.c_str(), Row.Name.c_str(), Path.c_str(), Row.Singer.c_str(), Row.PY.c_str(),
                      Row.Chars.c_str(), "0", OptionalLanguage, Type.empty() ? nullptr : Type.c_str(),
                      Row.Special.c_str(), Row.Track.c_str(), Row.Sound.c_str(), "0", Row.Demand.c_str(),
                      Row.Media.c_str(), "0", Row.Date.c_str()},
                     ARoundTrips);
            const std::string Disco = Lookup(SelectDiscoType, nullptr, Row.Type);
            if (Disco.empty() || Disco == "0") {
                DiscoDelete.Run({Path.c_str()}, ARoundTrips);
            } else {
                Savepoint.Run({}, ARoundTrips);
                const std::vector<const char*> Values{Row.Name.c_str(),   Path.c_str(),  Row.Singer.c_str(),
                                                      Row.PY.c_str(),     Row.Chars.c_str(), OptionalLanguage,
                                                      Disco.c_str(),      Row.Track.c_str(), Row.Sound.c_str()};
                if (std::atoi(PQcmdTuples(DiscoUpdate.Run(Values, ARoundTrips).get())) == 0)
                    DiscoInsert.Run(Values, ARoundTrips);
                Release.Run({}, ARoundTrips);
            }
        }
        Commit.Run({}, ARoundTrips);
    }
    return SecondsSince(Start);
}

// -------------------------------------------------------------------------------------------
// 4: the layer's round trips a file, through the calls the index worker makes.

double LayerRoundTrips(const std::string& ADatabase, const std::string& AMaster, const std::vector<std::string>& AFiles) {
    UsePostgreSQL();
    TConnection Local;
    Local.SetConnectionString("dbname=" + ADatabase);
    Local.SetConnected(true);
    auto& Engine = dynamic_cast<TPgEngine&>(Local.Engine());
    TRawMaster Master(AMaster);
    TQueryCache Queries;
    TSongWriter Writer(Local, IndexerWriteRules(true), &Queries);
    TMasterRow Row;
    const std::uint64_t Before = Engine.RoundTrips();
    long Files = 0;
    for (const std::string& Path : AFiles) {
        if (!Master.Find(FileName(Path), Row))
            continue;
        ++Files;
        TTransaction File(Local);
        TKtvSongInfo Info;
        Info.FilePath = Path;
        Info.SongNumber = Row.Number;
        Info.SongName = Row.Name;
        Info.LanguageName = Row.Language;
        Info.LanguageID = GetLanguageID(Local, Row.Language, true, &Queries);
        Info.TypeName = Row.Type;
        Info.TypeID = GetTypeID(Local, Row.Type, true, &Queries);
        if (!Info.SongName.empty()) {
            TSongWriteResult Result;
            Writer.Write(Info, Result);
        }
        File.Commit();
    }
    const double PerFile = Files > 0 ? static_cast<double>(Engine.RoundTrips() - Before) / static_cast<double>(Files) : 0;
    Queries.Clear();
    return PerFile;
}

// -------------------------------------------------------------------------------------------

std::string Rows(const TServerDatabase& ADb) {
    return ADb.Figure("select count(*) from Songs") + " songs, " + ADb.Figure("select count(*) from Discos") +
           " mirrors";
}

std::string FileRows(const std::string& AFile) {
    sqlite3* Db = nullptr;
    sqlite3_open_v2(AFile.c_str(), &Db, SQLITE_OPEN_READONLY, nullptr);
    std::string Result;
    for (const char* Table : {"Songs", "Discos"}) {
        sqlite3_stmt* Stmt = nullptr;
        sqlite3_prepare_v2(Db, (std::string("select count(*) from ") + Table).c_str(), -1, &Stmt, nullptr);
        sqlite3_step(Stmt);
        Result += (Result.empty() ? "" : ", ") + std::to_string(sqlite3_column_int(Stmt, 0)) +
                  (std::strcmp(Table, "Songs") == 0 ? " songs" : " mirrors");
        sqlite3_finalize(Stmt);
    }
    sqlite3_close(Db);
    return Result;
}

int Bench(int ACount, int ASeed, int AWriters) {
    const char* Missing = std::getenv("PGHOST") == nullptr && std::getenv("PGPORT") == nullptr &&
                                  std::getenv("PGSERVICE") == nullptr
                              ? "set PGHOST/PGPORT (or run inside pg_virtualenv -t)"
                              : nullptr;
    if (Missing != nullptr) {
        std::fprintf(stderr, "bench_pg: no PostgreSQL server: %s\n", Missing);
        return 2;
    }
    const fs::path Work = fs::temp_directory_path() / ("bench_pg-" + std::to_string(::getpid()));
    fs::remove_all(Work);
    fs::create_directories(Work);
    const std::string Demo = (Work / "demo").string();
    if (WaitProgram(SpawnProgram({KTVDEMO_PROGRAM, "--out", Demo, "--count", std::to_string(ACount), "--seed",
                     std::to_string(ASeed)})) != 0)
        throw std::runtime_error("ktvdemo failed");
    const std::string Songs = Demo + "/Songs", Master = Demo + "/DataBase/Total.mdb",
                      EmptyLocal = Demo + "/DataBase/Ktv.mdb";
    std::vector<std::string> Files;
    for (const auto& Entry : fs::recursive_directory_iterator(Songs))
        if (Entry.is_regular_file())
            Files.push_back(Entry.path().string());
    std::sort(Files.begin(), Files.end());
    // The demo's disco types, on every server database.
    std::string DiscoTypes;
    {
        sqlite3* Db = nullptr;
        sqlite3_open_v2(EmptyLocal.c_str(), &Db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* Stmt = nullptr;
        sqlite3_prepare_v2(Db, "select TypeID, TypeName from DiscoTypes", -1, &Stmt, nullptr);
        while (sqlite3_step(Stmt) == SQLITE_ROW)
            DiscoTypes += std::string(DiscoTypes.empty() ? "" : ",") + "(" + std::to_string(sqlite3_column_int(Stmt, 0)) +
                          ", '" + reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 1)) + "')";
        sqlite3_finalize(Stmt);
        sqlite3_close(Db);
    }
    const std::string Tag = std::to_string(::getpid());
    std::printf("bench_pg: %zu files of %d songs, server %s, load average %s\n", Files.size(), ACount,
                Text("postgres", "select current_setting('server_version') || ', fsync ' || current_setting('fsync') ||"
                                 " ', synchronous_commit ' || current_setting('synchronous_commit')")
                    .c_str(),
                LoadAverage().c_str());
    std::fflush(stdout);
    bool Same = true;

    // 1 and 2 twice each, in the order 1 2 2 1, so that a load that changes during the run
    // meets both alike; each on a fresh database.
    long RawTrips = 0;
    double Raw = 0, Program = 0, ProgramWall = 0;
    std::vector<double> RawRuns, ProgramRuns;
    std::string RawRows, ProgramRows;
    const auto RunRaw = [&](int ARound) {
        TServerDatabase Db("bench_raw" + std::to_string(ARound) + "_" + Tag, DiscoTypes);
        long Trips = 0;
        RawRuns.push_back(RawLoop(Db.Name(), Master, Files, Trips));
        RawTrips = Trips;
        RawRows = Rows(Db);
    };
    const auto RunProgram = [&](int ARound) {
        TServerDatabase Db("bench_one" + std::to_string(ARound) + "_" + Tag, DiscoTypes);
        const std::string Json = (Work / "one.json").string();
        const auto Start = TClock::now();
        if (WaitProgram(SpawnProgram({CORVENA_INDEX_PROGRAM, "--quiet", "--commit-ms", "0", "--songs", Songs, "--master", Master,
                         "--local", "dbname=" + Db.Name(), "--summary-json", Json})) != 0)
            throw std::runtime_error("corvena-index into the server failed");
        ProgramWall += SecondsSince(Start) / 2;
        ProgramRuns.push_back(JsonNumber(Json, "index_seconds"));
        ProgramRows = Rows(Db);
    };
    RunRaw(1);
    RunProgram(1);
    RunProgram(2);
    RunRaw(2);
    Raw = (RawRuns[0] + RawRuns[1]) / 2;
    Program = (ProgramRuns[0] + ProgramRuns[1]) / 2;
    double Grouped = 0;
    std::string GroupedRows;
    {
        TServerDatabase Db("bench_grouped_" + Tag, DiscoTypes);
        const std::string Json = (Work / "grouped.json").string();
        if (WaitProgram(SpawnProgram({CORVENA_INDEX_PROGRAM, "--quiet", "--songs", Songs, "--master", Master, "--local",
                         "dbname=" + Db.Name(), "--summary-json", Json})) != 0)
            throw std::runtime_error("corvena-index into the server in groups failed");
        Grouped = JsonNumber(Json, "index_seconds");
        GroupedRows = Rows(Db);
    }
    // 3
    double File = 0;
    std::string FileRowsText;
    {
        const std::string Local = (Work / "Ktv.mdb").string();
        fs::copy_file(EmptyLocal, Local);
        const std::string Json = (Work / "file.json").string();
        if (WaitProgram(SpawnProgram({CORVENA_INDEX_PROGRAM, "--quiet", "--songs", Songs, "--master", Master, "--local", Local,
                         "--summary-json", Json})) != 0)
            throw std::runtime_error("corvena-index into the file failed");
        File = JsonNumber(Json, "index_seconds");
        FileRowsText = FileRows(Local);
    }
    // 4
    double LayerTrips = 0;
    {
        TServerDatabase Db("bench_trips_" + Tag, DiscoTypes);
        const std::vector<std::string> Some(Files.begin(), Files.begin() + std::min<std::size_t>(Files.size(), 5000));
        LayerTrips = LayerRoundTrips(Db.Name(), Master, Some);
    }
    // 5: each writer its own share of the files, in a folder of its own (empty files named as
    // the library's, as the library's are).
    double Writers = 0;
    std::string WriterRows, Duplicates;
    bool WritersOk = true;
    {
        TServerDatabase Db("bench_ten_" + Tag, DiscoTypes);
        for (std::size_t I = 0; I < Files.size(); ++I) {
            const fs::path Share = Work / ("share" + std::to_string(I % static_cast<std::size_t>(AWriters))) /
                                   fs::relative(Files[I], Songs);
            fs::create_directories(Share.parent_path());
            std::ofstream(Share).flush();
        }
        std::vector<pid_t> Children;
        const auto Start = TClock::now();
        for (int I = 0; I < AWriters; ++I)
            Children.push_back(SpawnProgram({CORVENA_INDEX_PROGRAM, "--quiet", "--commit-ms", "0", "--songs",
                                      (Work / ("share" + std::to_string(I))).string(), "--master", Master, "--local",
                                      "dbname=" + Db.Name()}));
        for (pid_t Child : Children)
            WritersOk = WaitProgram(Child) == 0 && WritersOk;
        Writers = SecondsSince(Start);
        WriterRows = Rows(Db);
        Duplicates = Db.Figure("select (select count(*) - count(distinct lower(FilePath)) from Songs) + "
                               "(select count(*) - count(distinct lower(FilePath)) from Discos) + "
                               "(select count(*) - count(distinct lower(LanguageName)) from Languages) + "
                               "(select count(*) - count(distinct lower(TypeName)) from SongTypes)");
    }
    const double N = static_cast<double>(Files.size());
    std::printf("  1 raw libpq loop (prepared, one round trip a statement)  %7.2f s  %6.0f files/s  %5.2f round trips a file"
                "  (runs %.2f, %.2f s)\n",
                Raw, N / Raw, static_cast<double>(RawTrips) / N, RawRuns[0], RawRuns[1]);
    std::printf("  2 corvena-index into the server, index_seconds          %7.2f s  %6.0f files/s  %5.2fx raw (target <= 1.5x)"
                "  (runs %.2f, %.2f s)\n",
                Program, N / Program, Program / Raw, ProgramRuns[0], ProgramRuns[1]);
    std::printf("    (the same run by the clock, start to exit: %.2f s)\n", ProgramWall);
    std::printf("  2b corvena-index in groups (its default), index_seconds   %7.2f s  %6.0f files/s  %5.2fx raw\n", Grouped,
                N / Grouped, Grouped / Raw);
    std::printf("  3 corvena-index into the SQLite file, index_seconds     %7.2f s  %6.0f files/s  (the server run: %.2fx)\n",
                File, N / File, Program / File);
    std::printf("  4 the layer's round trips a file (the worker's calls)    %5.2f\n", LayerTrips);
    std::printf("  5 %d writers at once, one share each, by the clock      %7.2f s  %6.0f files/s  %5.2fx one writer "
                "by the clock (target >= 1.8x)%s\n",
                AWriters, Writers, N / Writers, ProgramWall / Writers, WritersOk ? "" : "  (a writer FAILED)");
    std::printf("    rows: raw %s; server %s; file %s; %d writers %s; duplicates %s\n", RawRows.c_str(),
                ProgramRows.c_str(), FileRowsText.c_str(), AWriters, WriterRows.c_str(), Duplicates.c_str());
    std::printf("  load average at the end: %s\n", LoadAverage().c_str());
    Same = RawRows == FileRowsText && ProgramRows == FileRowsText && GroupedRows == FileRowsText && WriterRows == FileRowsText && Duplicates == "0" &&
           WritersOk;
    fs::remove_all(Work);
    return Same ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Bench(argc > 1 ? std::atoi(argv[1]) : 100000, argc > 2 ? std::atoi(argv[2]) : 1,
                     argc > 3 ? std::atoi(argv[3]) : 10);
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "bench_pg: %s\n", Error.what());
        return 1;
    }
}
