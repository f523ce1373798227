// Bad inputs through the headless indexer, one row each: a clear error (an exit status and a
// line naming the file) or a counted skip, and nothing already saved lost.
#include "BadInputsSupport.h"
#include "DamagedAccess.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string_view>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

using namespace badinputs;

namespace {

constexpr int Nobody = 65534;

class BadInputs;

// One bad input: how it spoils the library, and what the run must give.
struct TBadInput {
    const char* Name;
    void (*Spoil)(BadInputs& ALibrary);
    int Status;
    const char* Names; // the file the message must name, relative to the test folder ("" none)
    const char* Text;  // a part of the message
    int Inserted;      // new songs the run reports and leaves (-1: not checked)
    int Failed;        // -1: not checked
    int Count = 6;     // songs of the library
    void (*Check)(BadInputs& ALibrary) = nullptr; // what else the run must leave
};

// A library of COUNT songs NNN.mpg in Songs/A, their master rows, and a local database that
// already holds one song from elsewhere.
class BadInputs : public ::testing::TestWithParam<TBadInput> {
public:
    void SetUp() override {
        FMaster = MakeDatabase(FDir, "Total.mdb", TSchemaKind::Master);
        FLocal = MakeDatabase(FDir, "Ktv.mdb", TSchemaKind::Local);
        AddSaved(FLocal);
        std::string Rows;
        for (int I = 1; I <= GetParam().Count; ++I) {
            char Name[16];
            std::snprintf(Name, sizeof Name, "%03d.mpg", I);
            AddSong(Name, "Songs/A/" + std::string(Name), Rows);
        }
        RunSql(FMaster, Rows);
        FArguments = {"--songs", FDir.File("Songs"), "--master", FMaster, "--local", FLocal, "--quiet",
                      "--summary-json", FDir.File("summary.json")};
    }

    void TearDown() override {
        for (const std::string& Command : FUndo)
            Shell(Command);
    }

    // A master row for file name AName and the file at ARelative.
    void AddSong(const std::string& AName, const std::string& ARelative, std::string& ARows) {
        ++FSongs;
        ARows += "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName, TypeName,"
                 " PublishDate, CharsCount, Track, Sound, DemandTimes) values ('" +
                 std::to_string(80000000 + FSongs) + "', '歌曲" + std::to_string(FSongs) + "', '" +
                 Escaped(AName) + "', '歌手', '国语', '情歌', 36000, 2, 0, 0, 0);";
        WriteFile(FDir.Path() / ARelative, "");
    }
    void AddSong(const std::string& AName, const std::string& ARelative) {
        std::string Rows;
        AddSong(AName, ARelative, Rows);
        RunSql(FMaster, Rows);
    }

    static void AddSaved(const std::string& ALocal) {
        RunSql(ALocal, "insert into Songs (SongNumber, SongName, FilePath, SingerName, CharsCount, Track,"
                       " PublishDate) values ('1', '旧歌', '/elsewhere/old.mpg', '旧歌手', 2, 1, 40000)");
    }
    std::string Saved() const {
        return QueryText(FLocal, "select quote(SongNumber) || quote(SongName) || quote(SingerName) ||"
                                 " quote(CharsCount) || quote(Track) || quote(PublishDate) from Songs"
                                 " where FilePath = '/elsewhere/old.mpg'");
    }

    void SetArgument(const std::string& AOption, const std::string& AValue) {
        for (std::size_t I = 0; I + 1 < FArguments.size(); ++I)
            if (FArguments[I] == AOption)
                FArguments[I + 1] = AValue;
    }
    void MoveLocal(const std::string& AFileName) {
        fs::rename(FLocal, AFileName);
        FLocal = AFileName;
        SetArgument("--local", FLocal);
    }
    // Every file of the test folder readable and writable by the unprivileged user the
    // program then runs as (a folder it cannot read stays so for that user, root or not).
    void RunAsNobody() {
        FAsNobody = geteuid() == 0;
        for (const auto& Entry : fs::recursive_directory_iterator(FDir.Path()))
            fs::permissions(Entry.path(), fs::perms::all, fs::perm_options::add);
        fs::permissions(FDir.Path(), fs::perms::all, fs::perm_options::add);
    }
    void Skip(const std::string& AReason) { FSkip = AReason; }

    TTempDir FDir;
    std::string FMaster, FLocal;
    std::vector<std::string> FArguments;
    std::vector<std::string> FUndo; // shell commands that put the folder back for its removal
    std::vector<std::pair<std::string, std::string>> FEnvironment;
    std::function<void(qint64 AProcessId)> FDuring; // polled while the program runs
    std::function<void()> FAfter;                   // once it has ended
    bool FHold = false; // another writer holds the local database during the run
    std::unique_ptr<TWriter> FWriter;
    bool FAsNobody = false;
    std::string FSkip;
    int FSongs = 0;
};

// ---------------------------------------------------------------------------------------------
// The spoilers

void LocalOfGarbage(BadInputs& L) { WriteFile(L.FLocal, RandomBytes(64 * 1024)); }

void LocalWithAHeaderThenGarbage(BadInputs& L) {
    WriteFile(L.FLocal, std::string("SQLite format 3\0", 16) + RandomBytes(64 * 1024 - 16));
}

// A real local database with many songs, cut in half.
void LocalTruncated(BadInputs& L) {
    std::string Rows;
    for (int I = 0; I < 400; ++I)
        Rows += "insert into Songs (SongNumber, SongName, FilePath) values ('" + std::to_string(I) +
                "', '歌曲', '/old/" + std::to_string(I) + ".mpg');";
    RunSql(L.FLocal, Rows);
    fs::resize_file(L.FLocal, fs::file_size(L.FLocal) / 2);
}

void MasterIsNoDatabase(BadInputs& L) { WriteFile(L.FMaster, "Title,Singer\nSong,Someone\n"); }

// Access masters that crashed libmdb, or sent it into a loop, inside the program.
void MasterAccessCrashesTheReader(BadInputs& L) {
    MakeDamagedAccess(ACCESS_TEST_DATA, "UsageMapPointer", L.FMaster);
}
void MasterAccessLoopsInTheReader(BadInputs& L) {
    MakeDamagedAccess(ACCESS_TEST_DATA, "CutOnAPage", L.FMaster);
}

void MasterWithoutSongs(BadInputs& L) { RunSql(L.FMaster, "drop table Songs; create table Singers (Name text)"); }

void MasterWithoutTrack(BadInputs& L) {
    RunSql(L.FMaster, "alter table Songs drop column Track");
}

void LocalReadOnly(BadInputs& L) {
    if (Shell("chattr +i '" + L.FLocal + "'") != 0) {
        L.Skip("chattr +i does not work on this file system, and root writes read-only files");
        return;
    }
    L.FUndo.push_back("chattr -i '" + L.FLocal + "'");
}

// As the program leaves it after a run (WAL), and in the default journal mode.
void LocalHeldByAWriter(BadInputs& L) {
    RunSql(L.FLocal, "pragma journal_mode=wal");
    L.FHold = true;
}

void LocalWithoutWalHeldByAWriter(BadInputs& L) {
    RunSql(L.FLocal, "pragma journal_mode=delete");
    L.FHold = true;
}

// The local database on a file system with room for only a few songs.
void DiskFillsUp(BadInputs& L) {
    const fs::path Small = L.FDir.Path() / "small";
    fs::create_directory(Small);
    if (mount("tmpfs", Small.c_str(), "tmpfs", 0, "size=160k") != 0) {
        L.Skip(std::string("cannot mount a small tmpfs: ") + std::strerror(errno));
        return;
    }
    L.FUndo.insert(L.FUndo.begin(), "umount '" + Small.string() + "'");
    const std::string Local = (Small / "Ktv.mdb").string();
    CreateDatabase(Local, TSchemaKind::Local);
    BadInputs::AddSaved(Local);
    fs::remove(L.FLocal);
    L.FLocal = Local;
    L.SetArgument("--local", Local);
}

// The same with every file committed on its own: the file whose commit finds the disk full fails.
void DiskFillsUpFileByFile(BadInputs& L) {
    DiskFillsUp(L);
    L.FArguments.insert(L.FArguments.end(), {"--commit-ms", "0"});
}

void UnreadableFolder(BadInputs& L) {
    L.AddSong("900.mpg", "Songs/B/900.mpg");
    L.RunAsNobody();
    fs::permissions(L.FDir.Path() / "Songs/B", fs::perms::none);
}

void UnreadableSongFolder(BadInputs& L) {
    L.RunAsNobody();
    fs::permissions(L.FDir.Path() / "Songs", fs::perms::none);
}

void SongFolderIsADanglingLink(BadInputs& L) {
    fs::create_directory_symlink(L.FDir.Path() / "Gone", L.FDir.Path() / "Link");
    L.SetArgument("--songs", L.FDir.File("Link"));
}

void SongFolderBelowAFile(BadInputs& L) { L.SetArgument("--songs", L.FDir.File("Songs/A/001.mpg/Sub")); }

void DanglingLinkInside(BadInputs& L) { fs::create_symlink("nowhere.mpg", L.FDir.Path() / "Songs/A/dangling.mpg"); }

// While the walk is inside Songs/V (seen among the program's open files), the folders below it
// go: those not yet entered cannot be opened any more.
void FolderVanishesDuringTheWalk(BadInputs& L) {
    const fs::path V = L.FDir.Path() / "Songs/V";
    const auto Folder = [V](int AIndex) { return V / std::string{'y', static_cast<char>('0' + AIndex)}; };
    for (int I = 0; I < 10; ++I)
        WriteFile(Folder(I) / "v.mpg", "");
    L.FEnvironment.emplace_back("CORVENA_INDEX_ENTRY_DELAY_MS", "40");
    auto Seen = std::make_shared<QElapsedTimer>();
    L.FDuring = [V, Seen, Folder](qint64 AProcessId) {
        if (!Seen->isValid()) {
            std::error_code Error;
            const fs::path Fds = fs::path("/proc") / std::to_string(AProcessId) / "fd";
            for (const auto& Fd : fs::directory_iterator(Fds, Error))
                if (fs::read_symlink(Fd.path(), Error) == V)
                    Seen->start();
        } else if (Seen->elapsed() > 300 && fs::exists(Folder(0))) {
            for (int I = 0; I < 10; ++I)
                fs::remove_all(Folder(I));
        }
    };
}

void LinkCycle(BadInputs& L) {
    fs::create_directory_symlink("..", L.FDir.Path() / "Songs/A/up");
    fs::create_directory_symlink(".", L.FDir.Path() / "Songs/A/self");
    fs::create_directory_symlink(L.FDir.Path() / "Songs", L.FDir.Path() / "Songs/A/root");
}

// Entries of the song folder that are no files: each has a master row, so saving it as a song
// would show.
void Fifo(BadInputs& L) {
    L.AddSong("pipe.mpg", "Songs/A/pipe.mpg");
    fs::remove(L.FDir.Path() / "Songs/A/pipe.mpg");
    ASSERT_EQ(mkfifo(L.FDir.File("Songs/A/pipe.mpg").c_str(), 0600), 0);
}

void Socket(BadInputs& L) {
    L.AddSong("sock.mpg", "Songs/A/sock.mpg");
    const std::string Path = L.FDir.File("Songs/A/sock.mpg");
    fs::remove(Path);
    const int Fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    ASSERT_LT(Path.size(), sizeof Address.sun_path);
    std::strcpy(Address.sun_path, Path.c_str());
    ASSERT_EQ(bind(Fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address), 0);
    close(Fd);
}

void DeviceNode(BadInputs& L) {
    L.AddSong("dev.mpg", "Songs/A/dev.mpg");
    fs::remove(L.FDir.Path() / "Songs/A/dev.mpg");
    // The same device as /dev/null: reading it would not block, but it is no song either.
    if (mknod(L.FDir.File("Songs/A/dev.mpg").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        L.Skip(std::string("cannot make a device node (needs root): ") + std::strerror(errno));
}

// Fifteen folders, each with three links to the next, the last holding one song: 3^14 ways in.
void LinkFanOut(BadInputs& L) {
    const auto Folder = [&L](int AIndex) {
        return AIndex == 1 ? L.FDir.Path() / "Songs/F" : L.FDir.Path() / "Fan" / std::to_string(AIndex);
    };
    L.AddSong("fan.mpg", (fs::path("Fan") / "15" / "fan.mpg").string());
    for (int I = 1; I < 15; ++I) {
        fs::create_directories(Folder(I));
        for (const char* Link : {"x", "y", "z"})
            fs::create_directory_symlink(Folder(I + 1), Folder(I) / Link);
    }
}

void FanOutWalkedOnce(BadInputs& L) {
    EXPECT_EQ(QueryText(L.FLocal, "select count(*) from Songs where FilePath like '%/fan.mpg'"), "1");
    const QJsonObject Json = QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(L.FDir.File("summary.json")))).object();
    EXPECT_EQ(Json["not_collected"].toInt(), 3 * 14 - 14);
    int Repeats = 0;
    for (const auto& Entry : Json["errors"].toArray())
        Repeats += Entry.toObject()["error"].toString().startsWith(QLatin1String("already walked as "));
    EXPECT_EQ(Repeats, 3 * 14 - 14);
}

// A newline in a name: the song is saved with its exact path, and the unmatched list keeps one
// line a file.
void NewlineInNames(BadInputs& L) {
    L.AddSong("in\nside.mpg", "Songs/A/in\nside.mpg");
    WriteFile(L.FDir.Path() / "Songs/A/un\nknown\r.mpg", "");
    L.FArguments.push_back("--unmatched");
    L.FArguments.push_back(L.FDir.File("unmatched.txt"));
}

void NewlineNamesListed(BadInputs& L) {
    EXPECT_EQ(QueryText(L.FLocal, "select count(*) from Songs where FilePath = '" +
                                      Escaped(L.FDir.File("Songs/A/in\nside.mpg")) + "'"),
              "1");
    EXPECT_EQ(ReadFile(L.FDir.File("unmatched.txt")), L.FDir.File("Songs/A/un\\x0Aknown\\x0D.mpg") + "\n");
}

void NamesNotUtf8(BadInputs& L) {
    L.AddSong("bad\xff.mpg", "Songs/A/bad\xff.mpg");
    L.AddSong("in.mpg", "Songs/dir\xfe/in.mpg");
}

void LongPaths(BadInputs& L) {
    L.AddSong(std::string(255 - 8, 'z') + "deep.mpg", LongRelative());
}

void QuotesSemicolonPercent(BadInputs& L) {
    L.AddSong("it's \"x\";100%.mpg", "Songs/a;b%c'd\"e/it's \"x\";100%.mpg");
    L.AddSong("%_;.mpg", "Songs/A/%_;.mpg");
}

void MasterNameWithSemicolon(BadInputs& L) {
    const std::string Master = L.FDir.File("To;tal.mdb");
    fs::rename(L.FMaster, Master);
    L.FMaster = Master;
    L.SetArgument("--master", Master);
}

void LocalNameWithQuotesAndPercent(BadInputs& L) { L.MoveLocal(L.FDir.File("K'\"t%v.mdb")); }

// "1" when a song with the path of ARelative was saved.
std::string SavedAt(BadInputs& L, const std::string& ARelative) {
    return QueryText(L.FLocal, "select count(*) from Songs where FilePath = '" +
                                   Escaped(L.FDir.File(ARelative)) + "'");
}

void LongPathsSaved(BadInputs& L) {
    EXPECT_GE(L.FDir.File(LongRelative()).size(), 3990u);
    EXPECT_EQ(SavedAt(L, LongRelative()), "1");
}

void OddNamesSaved(BadInputs& L) {
    EXPECT_EQ(SavedAt(L, "Songs/a;b%c'd\"e/it's \"x\";100%.mpg"), "1");
    EXPECT_EQ(SavedAt(L, "Songs/A/%_;.mpg"), "1");
}

// Every file once, under its own folder, not again through a link.
void EachFileOnce(BadInputs& L) {
    for (int I = 1; I <= 6; ++I)
        EXPECT_EQ(SavedAt(L, "Songs/A/00" + std::to_string(I) + ".mpg"), "1") << I;
}

void NoDate(BadInputs& L) {
    EXPECT_EQ(QueryText(L.FLocal, "select PublishDate from Songs where FilePath like '%/002.mpg'"), "0.0");
}

void SetMaster(BadInputs& L, const char* ASet) {
    RunSql(L.FMaster, std::string("update Songs set ") + ASet + " where FilePath = '002.mpg'");
}

const TBadInput Inputs[] = {
    // Databases
    {"LocalOfGarbageBytes", LocalOfGarbage, 2, "Ktv.mdb", "not a database", -1, -1},
    {"LocalWithAHeaderThenGarbage", LocalWithAHeaderThenGarbage, 2, "Ktv.mdb", "not a database", -1, -1},
    {"LocalTruncated", LocalTruncated, 2, "Ktv.mdb", "malformed", -1, -1},
    {"MasterIsNoDatabase", MasterIsNoDatabase, 2, "Total.mdb", "not a database", -1, -1},
    {"MasterAccessCrashesTheReader", MasterAccessCrashesTheReader, 2, "Total.mdb",
     "damaged Access database: the reader was killed by signal 11 (Segmentation fault)", -1, -1},
    {"MasterAccessLoopsInTheReader", MasterAccessLoopsInTheReader, 2, "Total.mdb",
     "damaged Access database: the reader printed more than 16 MB of warnings", -1, -1},
    {"MasterWithoutSongs", MasterWithoutSongs, 1, "Total.mdb", "no such table: Songs", 0, 0},
    {"MasterWithoutAColumn", MasterWithoutTrack, 1, "Songs/A/001.mpg", "Track", 0, 6},
    {"LocalReadOnly", LocalReadOnly, 2, "Ktv.mdb", "read-only", -1, -1},
    {"LocalHeldByAWriter", LocalHeldByAWriter, 1, "Ktv.mdb", "database is locked", 0, 1},
    {"LocalWithoutWalHeldByAWriter", LocalWithoutWalHeldByAWriter, 2, "Ktv.mdb", "database is locked", -1, -1},
    // The group that no longer fits is not saved: each of its files fails, and the songs
    // counted are those in the file.
    {"DiskFillsUp", DiskFillsUp, 1, "small/Ktv.mdb", "disk is full", -1, -1, 2000},
    {"DiskFillsUpFileByFile", DiskFillsUpFileByFile, 1, "small/Ktv.mdb", "disk is full", -1, 1, 200},
    {"MasterNameWithSemicolon", MasterNameWithSemicolon, 2, "To;tal.mdb", "must not contain", -1, -1},
    {"LocalNameWithQuotesAndPercent", LocalNameWithQuotesAndPercent, 0, "", "", 6, 0},
    // Files
    {"UnreadableFolder", UnreadableFolder, 0, "Songs/B", "Permission denied", 6, 0},
    {"UnreadableSongFolder", UnreadableSongFolder, 2, "Songs", "Permission denied", -1, -1},
    {"SongFolderIsADanglingLink", SongFolderIsADanglingLink, 2, "Link", "does not exist", -1, -1},
    {"SongFolderBelowAFile", SongFolderBelowAFile, 2, "Songs/A/001.mpg/Sub", "does not exist", -1, -1},
    {"DanglingLinkInside", DanglingLinkInside, 0, "", "", 6, 0},
    {"FolderVanishesDuringTheWalk", FolderVanishesDuringTheWalk, 0, "Songs/V/y", "No such file or directory", 6, 0},
    {"LinkCycle", LinkCycle, 0, "", "", 6, 0, 6, EachFileOnce},
    {"NamesNotUtf8", NamesNotUtf8, 0, "Songs/A/bad\\xFF.mpg", "not valid UTF-8", 6, 0},
    {"Fifo", Fifo, 0, "Songs/A/pipe.mpg", "not a regular file", 6, 0},
    {"Socket", Socket, 0, "Songs/A/sock.mpg", "not a regular file", 6, 0},
    {"DeviceNode", DeviceNode, 0, "Songs/A/dev.mpg", "not a regular file", 6, 0},
    {"LinkFanOut", LinkFanOut, 0, "", "", 7, 0, 6, FanOutWalkedOnce},
    {"NewlineInNames", NewlineInNames, 0, "", "", 7, 0, 6, NewlineNamesListed},
    {"LongPaths", LongPaths, 0, "", "", 7, 0, 6, LongPathsSaved},
    {"QuotesSemicolonPercent", QuotesSemicolonPercent, 0, "", "", 8, 0, 6, OddNamesSaved},
    // Master rows
    {"HugeDate", [](BadInputs& L) { SetMaster(L, "PublishDate = 1e300"); }, 1, "Songs/A/002.mpg",
     "not a valid date", 5, 1},
    {"NegativeDate", [](BadInputs& L) { SetMaster(L, "PublishDate = -1e9"); }, 1, "Songs/A/002.mpg",
     "not a valid date", 5, 1},
    {"DateText", [](BadInputs& L) { SetMaster(L, "PublishDate = 'not a date'"); }, 1, "Songs/A/002.mpg",
     "not a date", 5, 1},
    // NaN cannot be stored: SQLite keeps it as null, which is no date (0).
    {"NanDate", [](BadInputs& L) { SetMaster(L, "PublishDate = 0.0 / 0.0"); }, 0, "", "", 6, 0, 6, NoDate},
    {"CharsCountNotANumber", [](BadInputs& L) { SetMaster(L, "CharsCount = 'abc'"); }, 1, "Songs/A/002.mpg",
     "CharsCount", 5, 1},
    {"TrackText", [](BadInputs& L) { SetMaster(L, "Track = 'x'"); }, 1, "Songs/A/002.mpg", "Track", 5, 1},
};

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
    qint64 Milliseconds = 0;
};

TRun RunProgram(BadInputs& L) {
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    for (const char* Name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "CORVENA_INDEX_FILE_DELAY_MS",
                             "CORVENA_INDEX_ENTRY_DELAY_MS"})
        Environment.remove(QString::fromLatin1(Name));
    for (const auto& [Name, Value] : L.FEnvironment)
        Environment.insert(QString::fromStdString(Name), QString::fromStdString(Value));
    QStringList Arguments;
    for (const std::string& Argument : L.FArguments)
        Arguments << QString::fromStdString(Argument);

    QProcess Process;
    Process.setProcessEnvironment(Environment);
    if (L.FAsNobody)
        Process.setChildProcessModifier([] {
            if (setgid(Nobody) != 0 || setuid(Nobody) != 0)
                _exit(99);
        });
    QElapsedTimer Timer;
    Timer.start();
    // Slow-downs exist only in the program's test build.
    const bool Hooked = std::any_of(L.FEnvironment.begin(), L.FEnvironment.end(),
                                    [](const auto& AVariable) { return AVariable.first.find("_DELAY_MS") != std::string::npos; });
    Process.start(Hooked ? QStringLiteral(CORVENA_INDEX_TESTHOOKS_PROGRAM) : QStringLiteral(CORVENA_INDEX_PROGRAM), Arguments);
    EXPECT_TRUE(Process.waitForStarted());
    while (!Process.waitForFinished(5) && Timer.elapsed() < 60000)
        if (L.FDuring)
            L.FDuring(Process.processId());
    TRun Result;
    Result.Milliseconds = Timer.elapsed();
    if (L.FAfter)
        L.FAfter();
    EXPECT_EQ(Process.state(), QProcess::NotRunning) << "the run hangs";
    Process.waitForFinished(5000);
    Result.Status = Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    Result.Out = Process.readAllStandardOutput().toStdString();
    Result.Err = Process.readAllStandardError().toStdString();
    return Result;
}

int Figure(const QJsonObject& AJson, const char* AKey) { return AJson[QLatin1String(AKey)].toInt(-1); }

TEST_P(BadInputs, ClearErrorOrCountedSkipAndNothingSavedLost) {
    const TBadInput& Input = GetParam();
    Input.Spoil(*this);
    if (!FSkip.empty())
        GTEST_SKIP() << FSkip;
    const bool LocalIsADatabase = Input.Spoil != LocalOfGarbage && Input.Spoil != LocalWithAHeaderThenGarbage &&
                                  Input.Spoil != LocalTruncated;
    const std::string LocalBefore = ReadFile(FLocal);
    const std::string SavedBefore = LocalIsADatabase ? Saved() : std::string();
    const std::string Named = *Input.Names == '\0' ? std::string() : FDir.File(Input.Names);
    // Last: closing any other handle on the file in this process would drop its locks.
    if (FHold) {
        FWriter = std::make_unique<TWriter>(FLocal);
        ASSERT_TRUE(FWriter->Holding());
        FAfter = [this] { FWriter->Release(); };
    }

    const TRun Result = RunProgram(*this);
    ASSERT_EQ(Result.Status, Input.Status) << Result.Err << Result.Out;
    // One busy timeout at most, not one per file (six files would take 30 s).
    EXPECT_LT(Result.Milliseconds, 15000);
    if (FWriter) {
        EXPECT_GT(Result.Milliseconds, 4000) << "the lock was not waited for";
    }

    if (Input.Status == 2) {
        // Refused: one line naming the file, nothing written.
        EXPECT_EQ(Result.Out, "");
        EXPECT_EQ(Result.Err.find('\n'), Result.Err.size() - 1) << Result.Err;
        EXPECT_EQ(Result.Err.rfind("corvena-index: ", 0), 0u) << Result.Err;
        EXPECT_NE(Result.Err.find(Named), std::string::npos) << Result.Err;
        EXPECT_NE(Result.Err.find(Input.Text), std::string::npos) << Result.Err;
        EXPECT_EQ(ReadFile(FLocal), LocalBefore) << "the local database was changed";
        EXPECT_FALSE(fs::exists(FDir.File("summary.json")));
        for (const char* Suffix : {"-wal", "-shm", "-journal"})
            EXPECT_FALSE(fs::exists(FLocal + Suffix)) << Suffix;
        return;
    }

    const QJsonObject Json = QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(FDir.File("summary.json")))).object();
    ASSERT_FALSE(Json.isEmpty()) << Result.Out;
    if (Input.Inserted >= 0) {
        EXPECT_EQ(Figure(Json, "inserted"), Input.Inserted) << Result.Out;
    }
    if (Input.Failed >= 0) {
        EXPECT_EQ(Figure(Json, "failed"), Input.Failed) << Result.Out;
    }
    EXPECT_EQ(Json["interrupted"], QJsonValue(false));
    // A run ended early says why in the JSON too, as the summary's last lines do.
    const bool Stopped = Result.Out.find("stopped by:") != std::string::npos ||
                         Result.Out.find("could not start:") != std::string::npos;
    EXPECT_EQ(Json["stopped_by"].isString(), Stopped) << Result.Out;
    if (Stopped) {
        EXPECT_NE(Result.Out.find("  " + Json["stopped_by"].toString().toStdString()), std::string::npos) << Result.Out;
    }
    if (Input.Status == 1) {
        // The error names the file (or the database) and says what is wrong, in the JSON and
        // on a line of the summary.
        const QJsonArray Errors = Json["errors"].toArray();
        ASSERT_FALSE(Errors.isEmpty());
        const std::string Path = Errors[0]["path"].toString().toStdString();
        const std::string Error = Errors[0]["error"].toString().toStdString();
        bool Listed = false;
        for (const auto& Entry : Errors)
            Listed = Listed || Entry.toObject()["path"].toString().toStdString() == Named;
        EXPECT_TRUE(Listed || Error.find(Named) != std::string::npos) << Path << ": " << Error;
        EXPECT_NE(Error.find(Input.Text), std::string::npos) << Error;
        EXPECT_NE(Result.Out.find(Error.substr(0, 40)), std::string::npos) << Result.Out;
    } else if (!Named.empty()) {
        // A counted skip: the summary and the JSON's errors name what was left out and why.
        EXPECT_GT(Figure(Json, "not_collected"), 0);
        const auto Line = Result.Out.find(Named);
        ASSERT_NE(Line, std::string::npos) << Result.Out;
        EXPECT_NE(Result.Out.find(Input.Text, Line), std::string::npos) << Result.Out;
        bool Listed = false;
        for (const auto& Entry : Json["errors"].toArray())
            Listed = Listed || (Entry.toObject()["path"].toString().startsWith(QString::fromStdString(Named)) &&
                                Entry.toObject()["error"].toString().contains(QString::fromStdString(Input.Text)));
        EXPECT_TRUE(Listed) << ReadFile(FDir.File("summary.json"));
    }

    // The songs saved are whole; the one saved before is as it was.
    const int Inserted = Figure(Json, "inserted") + Figure(Json, "updated");
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs"), std::to_string(Inserted + 1));
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs where ifnull(SongName, '') = '' or"
                                " ifnull(FilePath, '') = '' or ifnull(SongNumber, '') = ''"),
              "0");
    EXPECT_EQ(QueryText(FLocal, "pragma integrity_check"), "ok");
    EXPECT_EQ(Saved(), SavedBefore);
    if (Input.Check)
        Input.Check(*this);
}

INSTANTIATE_TEST_SUITE_P(, BadInputs, ::testing::ValuesIn(Inputs),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
