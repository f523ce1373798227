// Search and indexing of a whole demo library against their raw limits, in one run:
//   bench_index [COUNT] [SEED]     (defaults: 100000 songs, seed 1)
//   bench_index --program-only [COUNT] [SEED]
//                                  only 6 (for libraries too large for the window's runs)
//   bench_index --raw SONGS MASTER LOCAL
//                                  only the raw loop (4) over the files below SONGS, writing
//                                  into LOCAL; prints "raw loop SECONDS s FILES files" (for
//                                  setting a run of the real program beside it)
// 1 `find -L SONGS -type f` (the second of two runs, so the cache is warm for everyone),
// 2 the file search without a window (on a QCoreApplication, in a child process),
// 3 the file search in the wizard window (offscreen), counting the count label's repaints,
// 4 a raw SQLite loop running per file the statements the index worker runs, each compiled
//   once and committing on its own, in WAL with synchronous=NORMAL,
// 5 the index worker over the list the search collected, reporting to the window (and once
//   more without one, its messages going to a sink on its own thread as in corvena-index, to
//   tell the database side from the messages),
// 6 corvena-index itself as a child process over the whole folder, on a fresh copy of the
//   empty local database: its own index_seconds from --summary-json and its peak resident
//   memory, set beside the raw loop of 4 committing every 1,000 files instead of every file
//   (as corvena-index groups them), run over the whole list right before and right after it,
// 7 the peak resident memory of this process.
// 4 and 5 take turns over tenths of the list, each side going on in its own fresh copy of the
// empty local database; they must write the same number of Songs and Discos rows (the exit
// status is 1 otherwise).
#include "Config.h"
#include "Main.h"
#include "QtTestSupport.h"
#include "RunReport.h"
#include "ThrdFileSearch.h"
#include "ThrdSongIdx.h"

#include "BenchSpawn.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTest>

#include <sqlite3.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point AStart) {
    return std::chrono::duration<double>(TClock::now() - AStart).count();
}

// Runs AArgs (a program found on PATH or a full path) with its output going to AOutput
// ("" for /dev/null); true when it exited with 0. APeakKB, when given, receives the child's
// peak resident memory, as GNU time reads it: a child spawned from here would carry this
// process's own peak (posix_spawn shares its memory until the exec, and the peak survives the
// exec), so time, a small process, forks it.
bool Run(const std::vector<std::string>& AArgs, const std::string& AOutput = std::string(),
         long* APeakKB = nullptr) {
    std::vector<std::string> Args = AArgs;
    const std::string PeakFile = fs::temp_directory_path() / ("bench_index_peak." + std::to_string(getpid()));
    if (APeakKB != nullptr)
        Args.insert(Args.begin(), {"/usr/bin/time", "-f", "%M", "-o", PeakFile});
    const int Status = WaitProgram(SpawnProgram(Args, AOutput));
    if (APeakKB != nullptr) {
        std::ifstream Peak(PeakFile);
        // time writes a first line of its own when the program failed; the figure is the last.
        std::string Line;
        *APeakKB = 0;
        while (std::getline(Peak, Line))
            if (!Line.empty() && std::isdigit(static_cast<unsigned char>(Line[0])))
                *APeakKB = std::stol(Line);
        fs::remove(PeakFile);
    }
    return Status == 0;
}

// ---------------------------------------------------------------------------------------------
// 2: the search on a core application of its own, in a child process (a process has one
// application object, and 3 needs a widget one).

struct TSearchResult {
    double Seconds = 0;
    long Files = 0;
};

TSearchResult SearchWithoutWindow(const std::string& ASongs) {
    int Pipe[2];
    if (pipe(Pipe) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t Child = fork();
    if (Child < 0)
        throw std::runtime_error("fork failed");
    if (Child == 0) {
        close(Pipe[0]);
        int Argc = 1;
        char Name[] = "bench_index";
        char* Argv[] = {Name, nullptr};
        TSearchResult Result;
        {
            QCoreApplication App(Argc, Argv);
            auto Files = std::make_shared<TFileList>();
            auto* Search = new TFileSearchThrd(true, 0, QString::fromStdString(ASongs), QStringLiteral(".*"), Files);
            const auto Start = TClock::now();
            Search->SearchFiles();
            Result.Seconds = SecondsSince(Start);
            Result.Files = static_cast<long>(Files->size());
            delete Search;
        }
        const bool Written = write(Pipe[1], &Result, sizeof Result) == sizeof Result;
        _exit(Written ? 0 : 1);
    }
    close(Pipe[1]);
    TSearchResult Result;
    const bool Read = read(Pipe[0], &Result, sizeof Result) == sizeof Result;
    close(Pipe[0]);
    int Status = 0;
    waitpid(Child, &Status, 0);
    if (!Read || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
        throw std::runtime_error("the search without a window failed");
    return Result;
}

// ---------------------------------------------------------------------------------------------
// 3 and 5: the wizard window.

class TBenchForm : public TMainForm {
public:
    using TMainForm::TMainForm;
    using TMainForm::Handle;
    using TMainForm::lblsRight;
    using TMainForm::pnl3;
    using TMainForm::pnl4;
};


// Starts AWorker as the programs do and runs the event loop until it has finished.
template <class TWorkerThrd>
double RunWorker(TWorkerThrd* AWorker) {
    QEventLoop Loop;
    TWorkers Workers;
    const auto Start = TClock::now();
    Workers.Start(AWorker, AWorker->End(), &Loop, [&Loop] { Loop.quit(); });
    Loop.exec();
    return SecondsSince(Start);
}

// Context switches of the whole process and CPU time of the calling (UI) thread, for telling
// what the worker's messages cost beyond their time.
struct TThreadCost {
    long Switches = 0;
    double UiSeconds = 0;

    static TThreadCost Now() {
        rusage Process{}, Thread{};
        getrusage(RUSAGE_SELF, &Process);
        getrusage(RUSAGE_THREAD, &Thread);
        const auto Seconds = [](const timeval& ATime) {
            return static_cast<double>(ATime.tv_sec) + static_cast<double>(ATime.tv_usec) / 1e6;
        };
        return {Process.ru_nvcsw + Process.ru_nivcsw, Seconds(Thread.ru_utime) + Seconds(Thread.ru_stime)};
    }
    TThreadCost& operator+=(const TThreadCost& AOther) {
        Switches += AOther.Switches;
        UiSeconds += AOther.UiSeconds;
        return *this;
    }
    TThreadCost operator-(const TThreadCost& AOther) const {
        return {Switches - AOther.Switches, UiSeconds - AOther.UiSeconds};
    }
};

// ---------------------------------------------------------------------------------------------
// 4: the raw loop. It measures SQLite itself, so it stays on SQLite's own API; everything else
// here goes through the database layer.

void Check(int AResult, sqlite3* ADb, const char* AWhat) {
    if (AResult != SQLITE_OK && AResult != SQLITE_ROW && AResult != SQLITE_DONE)
        throw std::runtime_error(std::string(AWhat) + ": " + sqlite3_errmsg(ADb));
}

sqlite3* OpenRaw(const std::string& AFile, bool AReadOnly) {
    sqlite3* Db = nullptr;
    Check(sqlite3_open_v2(AFile.c_str(), &Db, AReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE,
                          nullptr),
          Db, AFile.c_str());
    if (!AReadOnly)
        Check(sqlite3_exec(Db, "pragma journal_mode=WAL; pragma synchronous=NORMAL", nullptr,
                           nullptr, nullptr),
              Db, "pragma");
    return Db;
}

// One statement compiled once; parameters bound by name, looked up at compile time.
class TRawStmt {
public:
    TRawStmt(sqlite3* ADb, const char* ASQL) : FDb(ADb) {
        Check(sqlite3_prepare_v2(ADb, ASQL, -1, &FStmt, nullptr), ADb, ASQL);
    }
    ~TRawStmt() { sqlite3_finalize(FStmt); }
    TRawStmt(const TRawStmt&) = delete;
    TRawStmt& operator=(const TRawStmt&) = delete;

    int Param(const char* AName) const {
        const int Index = sqlite3_bind_parameter_index(FStmt, AName);
        if (Index == 0)
            throw std::runtime_error(std::string("no parameter ") + AName);
        return Index;
    }
    int Column(const char* AName) const {
        for (int I = 0; I < sqlite3_column_count(FStmt); ++I)
            if (strcasecmp(sqlite3_column_name(FStmt, I), AName) == 0)
                return I;
        throw std::runtime_error(std::string("no column ") + AName);
    }
    void Text(int AIndex, const std::string& AValue) {
        sqlite3_bind_text(FStmt, AIndex, AValue.data(), static_cast<int>(AValue.size()), SQLITE_STATIC);
    }
    void Int(int AIndex, int AValue) { sqlite3_bind_int(FStmt, AIndex, AValue); }
    void Double(int AIndex, double AValue) { sqlite3_bind_double(FStmt, AIndex, AValue); }
    void OptionalID(int AIndex, bool AHas, int AValue) {
        if (AHas)
            sqlite3_bind_int(FStmt, AIndex, AValue);
        else
            sqlite3_bind_null(FStmt, AIndex);
    }
    bool Step() {
        const int Result = sqlite3_step(FStmt);
        Check(Result, FDb, sqlite3_sql(FStmt));
        return Result == SQLITE_ROW;
    }
    void Exec() {
        while (Step()) {
        }
        sqlite3_reset(FStmt);
    }
    void Reset() { sqlite3_reset(FStmt); }
    void ColumnText(int AColumn, std::string& AOut) const {
        const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(FStmt, AColumn));
        if (Text == nullptr)
            AOut.clear();
        else
            AOut.assign(Text, static_cast<std::size_t>(sqlite3_column_bytes(FStmt, AColumn)));
    }
    int ColumnInt(int AColumn) const { return sqlite3_column_int(FStmt, AColumn); }
    double ColumnDouble(int AColumn) const { return sqlite3_column_double(FStmt, AColumn); }

private:
    sqlite3* FDb;
    sqlite3_stmt* FStmt = nullptr;
};

// The parameter numbers of a song or disco statement, found once.
struct TSongParams {
    explicit TSongParams(const TRawStmt& AStmt)
        : SongNumber(AStmt.Param(":SongNumber")), SongName(AStmt.Param(":SongName")),
          FilePath(AStmt.Param(":FilePath")), SingerName(AStmt.Param(":SingerName")),
          PYCode(AStmt.Param(":PYCode")), CharsCount(AStmt.Param(":CharsCount")),
          StrokesNumber(AStmt.Param(":StrokesNumber")), LanguageID(AStmt.Param(":LanguageID")),
          TypeID(AStmt.Param(":TypeID")), Special(AStmt.Param(":Special")),
          Track(AStmt.Param(":Track")), Sound(AStmt.Param(":Sound")), IsNew(AStmt.Param(":IsNew")),
          DemandTimes(AStmt.Param(":DemandTimes")), MediaType(AStmt.Param(":MediaType")),
          FileSize(AStmt.Param(":FileSize")), PublishDate(AStmt.Param(":PublishDate")) {}
    int SongNumber, SongName, FilePath, SingerName, PYCode, CharsCount, StrokesNumber, LanguageID,
        TypeID, Special, Track, Sound, IsNew, DemandTimes, MediaType, FileSize, PublishDate;
};

struct TDiscoParams {
    explicit TDiscoParams(const TRawStmt& AStmt)
        : DiscoName(AStmt.Param(":DiscoName")), FilePath(AStmt.Param(":FilePath")),
          Player(AStmt.Param(":Player")), PYCode(AStmt.Param(":PYCode")),
          CharsCount(AStmt.Param(":CharsCount")), LanguageID(AStmt.Param(":LanguageID")),
          TypeID(AStmt.Param(":TypeID")), Track(AStmt.Param(":Track")), Sound(AStmt.Param(":Sound")) {}
    int DiscoName, FilePath, Player, PYCode, CharsCount, LanguageID, TypeID, Track, Sound;
};

// A name table's lookup with the insert the access layer posts for a name not there yet.
class TRawLookup {
public:
    TRawLookup(sqlite3* ADb, const char* ASelect, const char* AInsert, const char* AParam,
               const char* AIDColumn)
        : FSelect(ADb, ASelect), FInsert(ADb, AInsert != nullptr ? AInsert : "select 1"),
          FHasInsert(AInsert != nullptr), FParam(FSelect.Param(AParam)),
          FID(FSelect.Column(AIDColumn)) {}

    // Absent (false) for an empty name; otherwise the identifier, 0 for a name not there and
    // not added.
    bool Find(const std::string& AName, int& AID) {
        if (AName.empty())
            return false;
        FSelect.Text(FParam, AName);
        if (FSelect.Step()) {
            AID = FSelect.ColumnInt(FID);
            FSelect.Reset();
            return true;
        }
        FSelect.Reset();
        AID = 0;
        if (FHasInsert) {
            FInsert.Text(1, AName);
            if (!FInsert.Step())
                throw std::runtime_error("the insert returned no row");
            AID = FInsert.ColumnInt(0);
            FInsert.Exec();
        }
        return true;
    }

private:
    TRawStmt FSelect;
    TRawStmt FInsert;
    bool FHasInsert;
    int FParam;
    int FID;
};

// ACommitEvery 1: one transaction a file, as the wizard's worker; more: a transaction begun by
// the first file that writes and committed ACommitEvery files of the list later (the files
// without a master row counted), as corvena-index groups them.
double RawLoop(const std::string& ALocal, const std::string& ATotal,
               const std::vector<std::string>& AFiles, bool AOverWrite, int ACommitEvery = 1) {
    sqlite3* Local = OpenRaw(ALocal, false);
    sqlite3* Total = OpenRaw(ATotal, true);
    double Seconds = 0;
    {
        TRawStmt Master(Total, SqlMasterSong);
        const int MasterPath = Master.Param(":FilePath");
        const int CNumber = Master.Column("SongNumber"), CName = Master.Column("SongName"),
                  CSinger = Master.Column("SingerName"), CLanguage = Master.Column("LanguageName"),
                  CType = Master.Column("TypeName"), CSpecial = Master.Column("Special"),
                  CDate = Master.Column("PublishDate"), CPY = Master.Column("PYCode"),
                  CChars = Master.Column("CharsCount"), CTrack = Master.Column("Track"),
                  CSound = Master.Column("Sound"), CMedia = Master.Column("MediaType"),
                  CDemand = Master.Column("DemandTimes");
        // The inserts as the access layer posts an appended row.
        TRawLookup Languages(Local, SqlSelectLanguage,
                             "insert into Languages (LanguageName) values (?) returning *",
                             ":LanguageName", "LanguageID");
        TRawLookup Types(Local, SqlSelectSongType,
                         "insert into SongTypes (TypeName) values (?) returning *",
                         ":TypeName", "TypeID");
        TRawLookup DiscoTypes(Local, SqlSelectDiscoType, nullptr, ":TypeName", "TypeID");
        TRawStmt Exists(Local, SqlSongExists);
        const int ExistsPath = Exists.Param(":FilePath");
        TRawStmt Insert(Local, SqlSongInsert), Update(Local, SqlSongUpdate);
        TRawStmt DiscoInsert(Local, SqlDiscoInsert), DiscoUpdate(Local, SqlDiscoUpdate);
        const TSongParams InsertParams(Insert), UpdateParams(Update);
        const TDiscoParams DiscoInsertParams(DiscoInsert), DiscoUpdateParams(DiscoUpdate);
        // The worker's transaction a file, from the identifier lookups to the disco step, and
        // its savepoint around that step.
        TRawStmt Begin(Local, "BEGIN IMMEDIATE"), Commit(Local, "COMMIT");
        TRawStmt DiscoStep(Local, "SAVEPOINT DiscoMirror"), DiscoDone(Local, "RELEASE DiscoMirror");

        std::string Name, Number, SongName, Singer, Language, Type, Special, PY, Media;
        bool InTransaction = false;
        int InGroup = 0;
        const auto EndOfFile = [&] {
            if (InTransaction && ++InGroup >= ACommitEvery) {
                Commit.Exec();
                InTransaction = false;
            }
            if (!InTransaction)
                InGroup = 0;
        };
        const auto Start = TClock::now();
        for (const std::string& Path : AFiles) {
            const std::size_t Slash = Path.rfind('/');
            Name.assign(Path, Slash == std::string::npos ? 0 : Slash + 1);
            Master.Text(MasterPath, Name);
            if (!Master.Step()) {
                Master.Reset();
                if (InTransaction)
                    EndOfFile();
                continue;
            }
            Master.ColumnText(CNumber, Number);
            Master.ColumnText(CName, SongName);
            Master.ColumnText(CSinger, Singer);
            Master.ColumnText(CLanguage, Language);
            Master.ColumnText(CType, Type);
            Master.ColumnText(CSpecial, Special);
            const double Date = Master.ColumnDouble(CDate);
            Master.ColumnText(CPY, PY);
            const int Chars = Master.ColumnInt(CChars), Track = Master.ColumnInt(CTrack),
                      Sound = Master.ColumnInt(CSound), Demand = Master.ColumnInt(CDemand);
            Master.ColumnText(CMedia, Media);
            Master.Reset();
            if (!InTransaction) {
                Begin.Exec();
                InTransaction = true;
            }
            [&] {
                int LanguageID = 0, TypeID = 0;
                const bool HasLanguage = Languages.Find(Language, LanguageID);
                const bool HasType = Types.Find(Type, TypeID);
                if (SongName.empty())
                    return;

                Exists.Text(ExistsPath, Path);
                const bool Present = Exists.Step();
                Exists.Reset();
                if (Present && !AOverWrite)
                    return;
                TRawStmt& Song = Present ? Update : Insert;
                const TSongParams& P = Present ? UpdateParams : InsertParams;
                Song.Text(P.SongNumber, Number);
                Song.Text(P.SongName, SongName);
                Song.Text(P.FilePath, Path);
                Song.Text(P.SingerName, Singer);
                Song.Text(P.PYCode, PY);
                Song.Int(P.CharsCount, Chars);
                Song.Int(P.StrokesNumber, 0);
                Song.OptionalID(P.LanguageID, HasLanguage, LanguageID);
                Song.OptionalID(P.TypeID, HasType, TypeID);
                Song.Text(P.Special, Special);
                Song.Int(P.Track, Track);
                Song.Int(P.Sound, Sound);
                Song.Int(P.IsNew, 0);
                Song.Int(P.DemandTimes, Demand);
                Song.Text(P.MediaType, Media);
                Song.Int(P.FileSize, 0);
                Song.Double(P.PublishDate, Date);
                Song.Exec();
                if (Type.empty())
                    return;
                int DiscoTypeID = 0;
                DiscoTypes.Find(Type, DiscoTypeID);
                if (DiscoTypeID == 0)
                    return;
                DiscoStep.Exec();
                TRawStmt& Disco = Present ? DiscoUpdate : DiscoInsert;
                const TDiscoParams& D = Present ? DiscoUpdateParams : DiscoInsertParams;
                Disco.Text(D.DiscoName, SongName);
                Disco.Text(D.FilePath, Path);
                Disco.Text(D.Player, Singer);
                Disco.Text(D.PYCode, PY);
                Disco.Int(D.CharsCount, Chars);
                Disco.OptionalID(D.LanguageID, HasLanguage, LanguageID);
                Disco.Int(D.TypeID, DiscoTypeID);
                Disco.Int(D.Track, Track);
                Disco.Int(D.Sound, Sound);
                Disco.Exec();
                DiscoDone.Exec();
            }();
            EndOfFile();
        }
        if (InTransaction)
            Commit.Exec();
        Seconds = SecondsSince(Start);
    }
    sqlite3_close(Total);
    sqlite3_close(Local);
    return Seconds;
}

long CountRows(const std::string& AFile, const char* ATable) {
    TConnection Cnn;
    Cnn.SetMode(TConnectMode::ShareDenyNone);
    Cnn.SetConnectionString(TotalConnectionString(AFile));
    Cnn.SetConnected(true);
    TQuery Count(Cnn);
    Count.SetSQL(std::string("select count(*) from ") + ATable);
    Count.Open();
    return Count.FieldAsInteger(0);
}

// 6: corvena-index over the whole folder on a fresh copy of the empty local database, between
// two runs of the raw loop committing every GroupFiles files over the same list (each on a copy
// of its own), so that the load the program meets is the raw loop's.
constexpr int GroupFiles = 1000;

struct TProgramRun {
    double RawBefore = 0, RawAfter = 0; // the raw loop committing every GroupFiles files
    double Seconds = 0;                 // corvena-index's own index_seconds
    long PeakKB = 0;                    // its peak resident memory
    double Raw() const { return (RawBefore + RawAfter) / 2; }
};

TProgramRun ProgramBetweenRawLoops(const std::string& ASongs, const std::string& ATotal, const std::string& AEmpty,
                                   const std::vector<std::string>& APaths, const fs::path& ADir) {
    TProgramRun Result;
    for (const char* Copy : {"group-before.mdb", "group-after.mdb", "program.mdb"})
        fs::copy_file(AEmpty, ADir / Copy, fs::copy_options::overwrite_existing);
    Result.RawBefore = RawLoop((ADir / "group-before.mdb").string(), ATotal, APaths, true, GroupFiles);
    const std::string Json = (ADir / "program.json").string();
    if (!Run({CORVENA_INDEX_PROGRAM, "--quiet", "--songs", ASongs, "--master", ATotal, "--local",
              (ADir / "program.mdb").string(), "--summary-json", Json},
             std::string(), &Result.PeakKB))
        throw std::runtime_error("corvena-index failed");
    QFile File(QString::fromStdString(Json));
    if (!File.open(QIODevice::ReadOnly))
        throw std::runtime_error("corvena-index wrote no summary");
    Result.Seconds = QJsonDocument::fromJson(File.readAll()).object().value("index_seconds").toDouble(-1);
    Result.RawAfter = RawLoop((ADir / "group-after.mdb").string(), ATotal, APaths, true, GroupFiles);
    return Result;
}

void PrintProgramRun(const TProgramRun& ARun, double AFiles) {
    std::printf("  6 raw loop committing every %d files, before and after corvena-index:"
                " %.3f s, %.3f s (%.0f files/s)\n",
                GroupFiles, ARun.RawBefore, ARun.RawAfter, AFiles / ARun.Raw());
    std::printf("    corvena-index index_seconds  %7.3f s   %7.0f files/s   %5.2fx that raw loop\n", ARun.Seconds,
                AFiles / ARun.Seconds, ARun.Seconds / ARun.Raw());
    std::printf("    corvena-index peak resident memory %.1f MB\n", static_cast<double>(ARun.PeakKB) / 1024.0);
}

// The files the search collects below ASongs, on a core application of its own.
std::vector<std::string> SearchedPaths(int argc, char** argv, const std::string& ASongs) {
    std::vector<std::string> Paths;
    QCoreApplication App(argc, argv);
    auto Files = std::make_shared<TFileList>();
    auto* Search = new TFileSearchThrd(true, 0, QString::fromStdString(ASongs), QStringLiteral(".*"), Files);
    Search->SearchFiles();
    Paths.reserve(static_cast<std::size_t>(Files->size()));
    for (const QString& File : *Files)
        Paths.push_back(File.toStdString());
    delete Search;
    return Paths;
}

} // namespace

// The raw loop alone, over the files the search collects below ASongs.
int RawOnly(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_index --raw SONGS MASTER LOCAL\n");
        return 2;
    }
    try {
        const std::vector<std::string> Paths = SearchedPaths(1, argv, argv[2]);
        const double Seconds = RawLoop(argv[4], argv[3], Paths, true);
        std::printf("raw loop %.3f s %zu files\n", Seconds, Paths.size());
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "bench_index: %s\n", AError.what());
        return 1;
    }
    return 0;
}

// Only 6, with the search's list for the raw loops: for libraries too large for the window's runs.
int ProgramOnly(char** argv, const fs::path& ADir, const fs::path& ADemo, const std::string& ASongs) {
    const std::vector<std::string> Paths = SearchedPaths(1, argv, ASongs);
    const std::string Total = (ADemo / "DataBase" / "Total.mdb").string();
    const TProgramRun Program =
        ProgramBetweenRawLoops(ASongs, Total, (ADemo / "DataBase" / "Ktv.mdb").string(), Paths, ADir);
    std::printf("%zu files\n", Paths.size());
    PrintProgramRun(Program, static_cast<double>(Paths.size()));
    const auto Rows = [&ADir](const char* AFile, const char* ATable) {
        return CountRows((ADir / AFile).string(), ATable);
    };
    std::printf("Rows written: raw loop %ld songs, %ld discos; corvena-index %ld songs, %ld discos\n",
                Rows("group-before.mdb", "Songs"), Rows("group-before.mdb", "Discos"), Rows("program.mdb", "Songs"),
                Rows("program.mdb", "Discos"));
    for (const char* Table : {"Songs", "Discos"})
        if (Rows("group-before.mdb", Table) != Rows("program.mdb", Table) ||
            Rows("group-after.mdb", Table) != Rows("program.mdb", Table)) {
            std::fprintf(stderr, "bench_index: the two sides differ\n");
            return 1;
        }
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--raw") == 0)
        return RawOnly(argc, argv);
    const bool ProgramAlone = argc > 1 && std::strcmp(argv[1], "--program-only") == 0;
    const int First = ProgramAlone ? 2 : 1;
    const long Count = argc > First ? std::atol(argv[First]) : 100000;
    const std::string Seed = argc > First + 1 ? argv[First + 1] : "1";
    if (Count <= 0 || argc > First + 2) {
        std::fprintf(stderr, "usage: bench_index [--program-only] [COUNT] [SEED]\n");
        return 2;
    }
    const fs::path Dir = fs::temp_directory_path() / ("corvena-bench-" + std::to_string(getpid()));
    fs::remove_all(Dir);
    const fs::path Demo = Dir / "KTV";
    const std::string Songs = (Demo / "Songs").string();
    int Result = 0;
    try {
        const auto Made = TClock::now();
        if (!Run({KTVDEMO_PROGRAM, "--out", Demo.string(), "--count", std::to_string(Count),
                  "--seed", Seed}))
            throw std::runtime_error("ktvdemo failed");
        std::printf("Demo library of %ld songs (seed %s) made in %.1f s\n", Count, Seed.c_str(),
                    SecondsSince(Made));
        if (ProgramAlone) {
            Result = ProgramOnly(argv, Dir, Demo, Songs);
            fs::remove_all(Dir);
            return Result;
        }

        // 1
        double Find = 0;
        for (int Pass = 0; Pass < 2; ++Pass) {
            const auto Start = TClock::now();
            if (!Run({"find", "-L", Songs, "-type", "f"}))
                throw std::runtime_error("find failed");
            Find = SecondsSince(Start);
        }
        // 2
        const TSearchResult Bare = SearchWithoutWindow(Songs);

        // 3
        qputenv("QT_QPA_PLATFORM", "offscreen");
        int Argc = 1;
        QApplication App(Argc, argv);
        const std::string Local = (Demo / "DataBase" / "Ktv.mdb").string();
        const std::string Total = (Demo / "DataBase" / "Total.mdb").string();
        auto Files = std::make_shared<TFileList>();
        double InWindow = 0, Raw = 0, Worker = 0, Headless = 0;
        TProgramRun Program;
        TThreadCost WorkerCost, HeadlessCost;
        int Paints = 0;
        std::size_t Listed = 0;
        TRunReport Run; // the runs with the window, added up
        {
            TBenchForm Form(QStringList{QStringLiteral("corvena")},
                            QString::fromStdString((Demo / "Tools" / "corvena").string()));
            Form.show();
            if (!QTest::qWaitForWindowExposed(&Form))
                throw std::runtime_error("the window was never shown");
            Form.pnl3->show();
            Form.pnl3->raise();
            QCoreApplication::processEvents();
            TPaintCounter Counter;
            Form.lblsRight->installEventFilter(&Counter);
            InWindow = RunWorker(new TFileSearchThrd(true, Form.Handle(), QString::fromStdString(Songs),
                                                     QStringLiteral(".*"), Files));
            Paints = Counter.Paints;
            Form.lblsRight->removeEventFilter(&Counter);
            Listed = static_cast<std::size_t>(Files->size());

            // 4 and 5 take turns over slices of the list the search collected, so a change in
            // the machine's load falls on both alike; each side goes on in its own database.
            // The worker runs once reporting to the window's progress bar as in the wizard, and
            // once without a window, to tell the database side from the messages' round trips.
            Form.pnl4->show();
            Form.pnl4->raise();
            for (const char* Copy : {"raw.mdb", "worker.mdb", "headless.mdb", "program.mdb"})
                fs::copy_file(Local, Dir / Copy);
            // The sink corvena-index registers: the worker's messages are calls on its own
            // thread, counted as its progress would count them.
            QObject Sink;
            long SinkCalls = 0;
            const TWindowHandle SinkHandle = RegisterWindow(
                &Sink,
                [&SinkCalls](unsigned AMsg, TWParam, TLParam) -> TLParam {
                    if (AMsg == WM_WIZ_PROGRESS)
                        ++SinkCalls;
                    return 0;
                },
                0, TDelivery::SenderThread);
            constexpr qsizetype Slices = 10;
            for (qsizetype Slice = 0; Slice < Slices; ++Slice) {
                const qsizetype From = Files->size() * Slice / Slices;
                const qsizetype To = Files->size() * (Slice + 1) / Slices;
                auto Part = std::make_shared<TFileList>(Files->mid(From, To - From));
                {
                    std::vector<std::string> Paths;
                    Paths.reserve(static_cast<std::size_t>(Part->size()));
                    for (const QString& File : *Part)
                        Paths.push_back(File.toStdString());
                    Raw += RawLoop((Dir / "raw.mdb").string(), Total, Paths, true);
                }
                for (const char* Copy : {"worker.mdb", "headless.mdb"}) {
                    const bool WithWindow = std::strcmp(Copy, "worker.mdb") == 0;
                    auto CnnLocal = std::make_shared<TConnection>();
                    CnnLocal->SetConnectionString(LocalConnectionString((Dir / Copy).string()));
                    CnnLocal->SetConnected(true);
                    auto CnnTotal = std::make_shared<TConnection>();
                    CnnTotal->SetMode(TConnectMode::ShareDenyNone);
                    CnnTotal->SetConnectionString(TotalConnectionString(Total));
                    CnnTotal->SetConnected(true);
                    auto* Index =
                        new TSongIdxThrd(WithWindow ? Form.Handle() : SinkHandle, CnnLocal, CnnTotal, Part, true);
                    const TSongIdxReportRef Part5 = Index->Report();
                    const TThreadCost Before = TThreadCost::Now();
                    (WithWindow ? Worker : Headless) += RunWorker(Index);
                    (WithWindow ? WorkerCost : HeadlessCost) += TThreadCost::Now() - Before;
                    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                    if (WithWindow)
                        Run.AddIndex(*Part5);
                    else if (Run.Index.RunError.empty())
                        Run.Index.RunError = Part5->RunError;
                }
            }
            UnregisterWindow(SinkHandle);
            if (SinkCalls != static_cast<long>(Listed))
                throw std::runtime_error("the sink missed progress messages");
        }
        // 6, right after the turns (it runs the whole list at once).
        {
            std::vector<std::string> Paths;
            Paths.reserve(static_cast<std::size_t>(Files->size()));
            for (const QString& File : *Files)
                Paths.push_back(File.toStdString());
            Program = ProgramBetweenRawLoops(Songs, Total, Local, Paths, Dir);
        }

        rusage Usage{};
        getrusage(RUSAGE_SELF, &Usage);
        const double PeakMB = static_cast<double>(Usage.ru_maxrss) / 1024.0;

        const auto Rows = [&Dir](const char* AFile, const char* ATable) {
            return CountRows((Dir / AFile).string(), ATable);
        };
        const long RawSongs = Rows("raw.mdb", "Songs"), RawDiscos = Rows("raw.mdb", "Discos");
        const long WorkerSongs = Rows("worker.mdb", "Songs"), WorkerDiscos = Rows("worker.mdb", "Discos");
        const bool HeadlessSame = Rows("headless.mdb", "Songs") == WorkerSongs &&
                                  Rows("headless.mdb", "Discos") == WorkerDiscos &&
                                  Rows("program.mdb", "Songs") == WorkerSongs &&
                                  Rows("program.mdb", "Discos") == WorkerDiscos &&
                                  Rows("group-before.mdb", "Songs") == WorkerSongs &&
                                  Rows("group-before.mdb", "Discos") == WorkerDiscos;
        const TSongIdxReport& Report = Run.Index;
        const double N = static_cast<double>(Listed);

        std::printf("%zu files\n", Listed);
        std::printf("  1 find -L SONGS -type f        %7.3f s\n", Find);
        std::printf("  2 search, no window            %7.3f s   %5.2fx find   (%ld files)\n",
                    Bare.Seconds, Bare.Seconds / Find, Bare.Files);
        std::printf("  3 search in the window         %7.3f s   %5.2fx find   (%d repaints of the"
                    " count, %.0f a second)\n",
                    InWindow, InWindow / Find, Paints, Paints / InWindow);
        std::printf("  4 raw SQLite loop              %7.3f s   %7.0f files/s\n", Raw, N / Raw);
        std::printf("  5 index worker                 %7.3f s   %7.0f files/s   %5.2fx raw\n", Worker,
                    N / Worker, Worker / Raw);
        std::printf("    (the worker without a window %7.3f s   %7.0f files/s   %5.2fx raw)\n",
                    Headless, N / Headless, Headless / Raw);
        std::printf("    context switches a file: %.2f with the window, %.2f without; UI thread CPU"
                    " %.2f s with the window, %.2f s without\n",
                    static_cast<double>(WorkerCost.Switches) / N,
                    static_cast<double>(HeadlessCost.Switches) / N, WorkerCost.UiSeconds,
                    HeadlessCost.UiSeconds);
        std::printf("    corvena-index index_seconds  %7.3f s   %7.0f files/s   %5.2fx raw (4)\n", Program.Seconds,
                    N / Program.Seconds, Program.Seconds / Raw);
        PrintProgramRun(Program, N);
        std::printf("  7 peak resident memory         %7.1f MB\n", PeakMB);
        std::printf("Rows written: raw %ld songs, %ld discos; worker %ld songs, %ld discos"
                    " (matched %d, new %d, unmatched %zu, failed %d%s%s)\n",
                    RawSongs, RawDiscos, WorkerSongs, WorkerDiscos, Report.Matched,
                    Report.Inserted, Report.Unmatched.size(), Report.Failed,
                    Report.RunError.empty() ? "" : ", ", Report.RunError.c_str());
        if (Bare.Files != static_cast<long>(Listed) || RawSongs != WorkerSongs ||
            RawDiscos != WorkerDiscos || !HeadlessSame || !Report.RunError.empty()) {
            std::fprintf(stderr, "bench_index: the two sides differ\n");
            Result = 1;
        }
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "bench_index: %s\n", AError.what());
        Result = 1;
    }
    fs::remove_all(Dir);
    return Result;
}
