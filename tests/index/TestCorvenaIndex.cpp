// The headless indexer through the real program, on small libraries made here, with no
// display in its environment.
#include "TestSupport.h"
#include "VelTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <dlfcn.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <sys/stat.h>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct TResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

QProcessEnvironment CleanEnvironment(int AFileDelayMs = 0) {
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    for (const char* Name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "CORVENA_INDEX_FILE_DELAY_MS"})
        Environment.remove(QString::fromLatin1(Name));
    if (AFileDelayMs > 0)
        Environment.insert(QStringLiteral("CORVENA_INDEX_FILE_DELAY_MS"), QString::number(AFileDelayMs));
    return Environment;
}

QStringList ToArguments(const std::vector<std::string>& AArguments) {
    QStringList Result;
    for (const std::string& Argument : AArguments)
        Result << QString::fromStdString(Argument);
    return Result;
}

TResult RunProgram(const std::vector<std::string>& AArguments,
                   const QProcessEnvironment& AEnvironment = CleanEnvironment()) {
    QProcess Process;
    Process.setProcessEnvironment(AEnvironment);
    Process.start(QStringLiteral(CORVENA_INDEX_PROGRAM), ToArguments(AArguments));
    EXPECT_TRUE(Process.waitForFinished(60000));
    TResult Result;
    Result.Status = Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    Result.Out = Process.readAllStandardOutput().toStdString();
    Result.Err = Process.readAllStandardError().toStdString();
    return Result;
}

QJsonObject ReadJson(const std::string& AFileName) {
    QJsonParseError Error{};
    const QJsonDocument Document = QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(AFileName)), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << AFileName;
    return Document.object();
}

// The integer figures of the summary, by key; the other keys are checked apart.
std::map<std::string, int> Figures(const QJsonObject& AJson) {
    std::map<std::string, int> Result;
    for (auto It = AJson.begin(); It != AJson.end(); ++It)
        if (It.value().isDouble() && !It.key().endsWith(QLatin1String("_seconds")))
            Result[It.key().toStdString()] = It.value().toInt(-1);
    return Result;
}

std::set<std::string> Lines(const std::string& AText) {
    std::set<std::string> Result;
    std::istringstream In(AText);
    for (std::string Line; std::getline(In, Line);)
        Result.insert(Line);
    return Result;
}

// A library: the master knows COUNT songs NNN.mpg (song 3 has no name); the folder holds them
// spread over two folders, a copy of 001 in another letter case elsewhere, two files the master
// does not know and one whose name is not UTF-8.
class CorvenaIndex : public ::testing::Test {
protected:
    void MakeLibrary(int ACount) {
        FMaster = MakeDatabase(FDir, "Total.mdb", TSchemaKind::Master);
        FLocal = MakeDatabase(FDir, "Ktv.mdb", TSchemaKind::Local);
        FSongs = FDir.File("Songs");
        std::string Rows;
        for (int I = 1; I <= ACount; ++I) {
            char Name[16];
            std::snprintf(Name, sizeof Name, "%03d.mpg", I);
            Rows += std::string(Rows.empty() ? "" : ",") + "('" + std::to_string(80000000 + I) + "', '" +
                    (I == 3 ? std::string() : "歌曲" + std::to_string(I)) + "', '" + Name +
                    "', '歌手', '国语', '情歌', '', 'GQ', 'MPEG', 36000, 2, 0, 0, 0)";
            TouchFile(fs::path(FSongs) / (I % 2 ? "A" : "B/C") / Name);
        }
        RunSql(FMaster, "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName,"
                        " TypeName, Special, PYCode, MediaType, PublishDate, CharsCount, Track, Sound,"
                        " DemandTimes) values " + Rows);
        TouchFile(fs::path(FSongs) / "A2/001.MPG");
        TouchFile(fs::path(FSongs) / "readme.txt");
        TouchFile(fs::path(FSongs) / "B/999.mpg");
        TouchFile(fs::path(FSongs) / std::string("bad\xff.mpg"));
    }

    std::vector<std::string> Arguments(std::vector<std::string> AMore = {}) const {
        std::vector<std::string> Result{"--songs", FSongs, "--master", FMaster, "--local", FLocal,
                                        "--unmatched", Unmatched(), "--summary-json", JsonFile()};
        Result.insert(Result.end(), AMore.begin(), AMore.end());
        return Result;
    }

    // Songs of the library (NNN.mpg) moved out of it, into the folder returned, to come back later.
    fs::path MoveAside(std::initializer_list<const char*> ANames) const {
        const fs::path Aside = FDir.Path() / "aside";
        fs::create_directories(Aside);
        for (const char* Name : ANames)
            fs::rename(fs::path(FSongs) / (Name[2] % 2 ? "A" : "B/C") / Name, Aside / Name);
        return Aside;
    }

    std::string Unmatched() const { return FDir.File("unmatched.txt"); }
    std::string JsonFile() const { return FDir.File("summary.json"); }
    int Songs() const { return std::stoi(QueryText(FLocal, "select count(*) from Songs")); }
    // The program may hold the file for a moment (switching it to WAL at the start).
    int SongsWhileRunning() const {
        try {
            return Songs();
        } catch (const std::runtime_error&) {
            return -1;
        }
    }
    int BrokenSongs() const {
        return std::stoi(QueryText(FLocal, "select count(*) from Songs where ifnull(SongName, '') = ''"
                                           " or ifnull(FilePath, '') = '' or ifnull(SongNumber, '') = ''"));
    }

    TTempDir FDir;
    std::string FMaster, FLocal, FSongs;
};

// Read back a line at a time, every \xNN made its byte again, the unmatched list gives each
// file's exact path, whatever its name holds.
TEST_F(CorvenaIndex, UnmatchedListGivesTheExactPathsBack) {
    MakeLibrary(1);
    std::set<std::string> Expected{FSongs + "/readme.txt", FSongs + "/B/999.mpg"};
    for (const std::string& Name : HostileNames) {
        TouchFile(fs::path(FSongs) / "H" / Name);
        Expected.insert(FSongs + "/H/" + Name);
    }
    const TResult Result = RunProgram(Arguments());
    ASSERT_EQ(Result.Status, 0) << Result.Err;
    std::set<std::string> Paths;
    for (const std::string& Line : Lines(ReadFile(Unmatched())))
        Paths.insert(DecodeEscapes(Line));
    EXPECT_EQ(Paths, Expected);
}

TEST_F(CorvenaIndex, WritesTheSongsAndReportsEveryFigure) {
    MakeLibrary(6);
    const TResult Result = RunProgram(Arguments({"--quiet"}));
    ASSERT_EQ(Result.Status, 0) << Result.Err;
    EXPECT_EQ(Result.Err, "");

    const QJsonObject Json = ReadJson(JsonFile());
    std::set<std::string> Keys;
    for (const QString& Key : Json.keys())
        Keys.insert(Key.toStdString());
    EXPECT_EQ(Keys, (std::set<std::string>{"files_seen", "files_collected", "not_collected", "matched", "inserted",
                                           "updated", "kept", "unmatched", "near_matches", "without_name", "failed",
                                           "interrupted", "search_seconds", "index_seconds", "errors", "known",
                                           "stopped_by"}));
    EXPECT_TRUE(Json["stopped_by"].isNull()); // the run went through
    // 6 songs + the copy + 2 unknown collected; the name that is not UTF-8 is seen only.
    const std::map<std::string, int> Expected{{"files_seen", 10}, {"files_collected", 9}, {"not_collected", 1},
                                              {"matched", 7},     {"inserted", 6},        {"updated", 0},
                                              {"kept", 0},        {"unmatched", 2},       {"near_matches", 0},
                                              {"without_name", 1}, {"failed", 0},         {"known", 0}};
    EXPECT_EQ(Figures(Json), Expected);
    EXPECT_EQ(Json["interrupted"], QJsonValue(false));
    // No file failed: the one path not collected, with its reason.
    const QJsonArray Errors = Json["errors"].toArray();
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_EQ(Errors[0]["path"].toString().toStdString(), FSongs + "/bad\\xFF.mpg");
    EXPECT_EQ(Errors[0]["error"].toString(), QString("file name is not valid UTF-8"));
    EXPECT_GE(Json["search_seconds"].toDouble(-1), 0);
    EXPECT_GT(Json["index_seconds"].toDouble(-1), 0);

    EXPECT_EQ(QueryText(FLocal, "select group_concat(SongName || '@' || substr(FilePath, length('" + FSongs +
                                    "') + 2), ',') from (select * from Songs order by SongName, FilePath)"),
              "歌曲1@A/001.mpg,歌曲1@A2/001.MPG,歌曲2@B/C/002.mpg,歌曲4@B/C/004.mpg,歌曲5@A/005.mpg,"
              "歌曲6@B/C/006.mpg");
    EXPECT_EQ(BrokenSongs(), 0);

    const std::string List = ReadFile(Unmatched());
    ASSERT_FALSE(List.empty());
    EXPECT_EQ(List.back(), '\n');
    EXPECT_EQ(Lines(List), (std::set<std::string>{FSongs + "/readme.txt", FSongs + "/B/999.mpg"}));

    for (const char* Words : {"files seen:           10", "not collected:        1", "bad\\xFF.mpg",
                              "new songs:            6", "without a song name:  1", "interrupted:          no",
                              "search time:", "index time:"})
        EXPECT_NE(Result.Out.find(Words), std::string::npos) << Words << "\n" << Result.Out;
}

// The stock sqlite3 shell on a file the program wrote: nothing of ours in its schema.
std::string StockShell(const std::string& AFile, const std::string& ASql) {
    QProcess Shell;
    Shell.start(QStringLiteral("sqlite3"), {QString::fromStdString(AFile), QString::fromStdString(ASql)});
    EXPECT_TRUE(Shell.waitForFinished(30000));
    EXPECT_EQ(Shell.exitCode(), 0) << Shell.readAllStandardError().toStdString();
    return Shell.readAllStandardOutput().trimmed().toStdString();
}

TEST_F(CorvenaIndex, NearMatchesListedWithTabsAndCounted) {
    MakeLibrary(3);
    RunSql(FMaster, "insert into Songs (SongName, FilePath) values ('制表', 'x' || char(9) || 'y.mpg'),"
                    " ('宽', 'Ｋ.mpg')");
    TouchFile(fs::path(FSongs) / "N" / "x\ty.mp4");
    TouchFile(fs::path(FSongs) / "N" / "k.mpg");
    const std::string NearFile = FDir.File("near.txt");
    const TResult Result = RunProgram(Arguments({"--quiet", "--near-matches", NearFile}));
    ASSERT_EQ(Result.Status, 0) << Result.Err;

    const std::string List = ReadFile(NearFile);
    ASSERT_FALSE(List.empty());
    EXPECT_EQ(List.back(), '\n');
    EXPECT_EQ(Lines(List), (std::set<std::string>{FSongs + "/N/x\\x09y.mp4\tx\\x09y.mpg\textension",
                                                  FSongs + "/N/k.mpg\tＫ.mpg\twidth"}));
    const auto Figure = Figures(ReadJson(JsonFile()));
    EXPECT_EQ(Figure.at("near_matches"), 2);
    EXPECT_EQ(Figure.at("unmatched"), 4);
    EXPECT_NE(Result.Out.find("near matches:         2\n"), std::string::npos) << Result.Out;
    EXPECT_EQ(Songs(), 3); // a near match writes nothing
}

TEST_F(CorvenaIndex, PathsDifferingOnlyInCaseFailNamingTheOther) {
    MakeLibrary(3);
    RunSql(FMaster, "insert into Songs (SongNumber, SongName, FilePath, LanguageName, TypeName, PublishDate,"
                    " CharsCount, Track, Sound, DemandTimes) values ('9', '夏天', 'été.mpg', '', '', 0, 0, 0, 0, 0)");
    TouchFile(fs::path(FSongs) / "A" / "001.MPG");
    TouchFile(fs::path(FSongs) / "É" / "ÉTÉ.mpg");
    TouchFile(fs::path(FSongs) / "é" / "été.MPG");
    TouchFile(fs::path(FSongs) / "README.TXT"); // beside readme.txt: no song, so no collision
    const TResult Result = RunProgram(Arguments({"--quiet"}));
    EXPECT_EQ(Result.Status, 1) << Result.Err;
    EXPECT_EQ(Lines(ReadFile(Unmatched())),
              (std::set<std::string>{FSongs + "/readme.txt", FSongs + "/README.TXT", FSongs + "/B/999.mpg"}));

    const QJsonObject Json = ReadJson(JsonFile());
    EXPECT_EQ(Figures(Json).at("failed"), 2);
    const std::map<std::string, std::string> Pairs{{FSongs + "/A/001.mpg", FSongs + "/A/001.MPG"},
                                                   {FSongs + "/A/001.MPG", FSongs + "/A/001.mpg"},
                                                   {FSongs + "/É/ÉTÉ.mpg", FSongs + "/é/été.MPG"},
                                                   {FSongs + "/é/été.MPG", FSongs + "/É/ÉTÉ.mpg"}};
    // The two failures, then the name that is not UTF-8, not collected.
    const QJsonArray Errors = Json["errors"].toArray();
    ASSERT_EQ(Errors.size(), 3);
    EXPECT_EQ(Errors[2]["path"].toString().toStdString(), FSongs + "/bad\\xFF.mpg");
    for (const QJsonValue& Error : {Errors[0], Errors[1]}) {
        const std::string Path = Error["path"].toString().toStdString();
        ASSERT_EQ(Pairs.count(Path), 1u) << Path;
        EXPECT_NE(Error["error"].toString().toStdString().find("\"" + Pairs.at(Path) + "\""), std::string::npos)
            << Error["error"].toString().toStdString();
    }
    // One row for each pair: the file indexed first.
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs where SongName in ('歌曲1', '夏天')"), "3");

    EXPECT_EQ(StockShell(FLocal, "pragma integrity_check"), "ok");
    EXPECT_EQ(StockShell(FLocal, "select count(*) from Songs where FilePath like '%.mpg'"), "4");
}

struct TSecondRun {
    const char* Option; // "" for a run that rewrites
    int Updated;
    int Kept;
};

class CorvenaIndexSecondRun : public CorvenaIndex, public ::testing::WithParamInterface<TSecondRun> {};

TEST_P(CorvenaIndexSecondRun, RewritesOrKeepsTheSongsOfTheFirst) {
    MakeLibrary(6);
    const TResult First = RunProgram(Arguments({"--quiet"}));
    ASSERT_EQ(First.Status, 0) << First.Err;
    std::vector<std::string> More{"--quiet"};
    if (*GetParam().Option != '\0')
        More.emplace_back(GetParam().Option);
    const TResult Result = RunProgram(Arguments(More));
    ASSERT_EQ(Result.Status, 0) << Result.Err;
    const auto Figure = Figures(ReadJson(JsonFile()));
    EXPECT_EQ(Figure.at("inserted"), 0);
    EXPECT_EQ(Figure.at("updated"), GetParam().Updated);
    EXPECT_EQ(Figure.at("kept"), GetParam().Kept);
    EXPECT_EQ(Songs(), 6);
}

INSTANTIATE_TEST_SUITE_P(CorvenaIndex, CorvenaIndexSecondRun,
                         ::testing::Values(TSecondRun{"--only-add", 0, 6}, TSecondRun{"", 6, 0}));

// Refused runs: exit 2, one line naming the file, and nothing written anywhere.
struct TRefusal {
    const char* Name;
    const char* Names; // what the error line must name
    void (*Spoil)(std::vector<std::string>& AArguments, const TTempDir& ADir);
};

void SetArgument(std::vector<std::string>& AArguments, const std::string& AOption, const std::string& AValue) {
    for (std::size_t I = 0; I + 1 < AArguments.size(); ++I)
        if (AArguments[I] == AOption)
            AArguments[I + 1] = AValue;
}

std::string TextFile(const TTempDir& ADir, const char* AName) {
    const std::string Name = ADir.File(AName);
    std::ofstream(Name, std::ios::binary) << "this is no database\n";
    return Name;
}

const TRefusal Refusals[] = {
    {"MissingFolder", "NoSuchFolder",
     [](std::vector<std::string>& A, const TTempDir& D) { SetArgument(A, "--songs", D.File("NoSuchFolder")); }},
    {"FolderIsAFile", "notes.txt",
     [](std::vector<std::string>& A, const TTempDir& D) { SetArgument(A, "--songs", TextFile(D, "notes.txt")); }},
    {"MissingMaster", "Gone.mdb",
     [](std::vector<std::string>& A, const TTempDir& D) { SetArgument(A, "--master", D.File("Gone.mdb")); }},
    {"MasterIsNoDatabase", "Text.mdb",
     [](std::vector<std::string>& A, const TTempDir& D) { SetArgument(A, "--master", TextFile(D, "Text.mdb")); }},
    {"LocalIsNoDatabase", "Text.mdb",
     [](std::vector<std::string>& A, const TTempDir& D) { SetArgument(A, "--local", TextFile(D, "Text.mdb")); }},
    {"MissingLocal", "Gone.mdb",
     [](std::vector<std::string>& A, const TTempDir& D) { SetArgument(A, "--local", D.File("Gone.mdb")); }},
    {"UnknownOption", "--fast", [](std::vector<std::string>& A, const TTempDir&) { A.emplace_back("--fast"); }},
    {"MistypedOption", "unknown option --summary-jsn (did you mean --summary-json?)",
     [](std::vector<std::string>& A, const TTempDir& D) { A.push_back("--summary-jsn=" + D.File("s.json")); }},
    {"MistypedShortWord", "unknown option -mastr (did you mean --master?)",
     [](std::vector<std::string>& A, const TTempDir&) { A.emplace_back("-mastr"); }},
    {"GivenTwice", "--songs is given twice",
     [](std::vector<std::string>& A, const TTempDir& D) { A.insert(A.end(), {"--songs", D.File("Songs")}); }},
    {"FlagWithAValue", "--only-add takes no value",
     [](std::vector<std::string>& A, const TTempDir&) { A.emplace_back("--only-add=yes"); }},
    {"EmptyValue", "--local needs a value",
     [](std::vector<std::string>& A, const TTempDir&) { SetArgument(A, "--local", ""); }},
    {"NoMaster", "--master", [](std::vector<std::string>& A, const TTempDir&) { A.erase(A.begin() + 2, A.begin() + 4); }},
    {"CommitMsNegative", "--commit-ms takes a whole number of milliseconds from 0 to 60000, not \"-1\"",
     [](std::vector<std::string>& A, const TTempDir&) { A.emplace_back("--commit-ms=-1"); }},
    {"CommitMsNotANumber", "not \"1s\"",
     [](std::vector<std::string>& A, const TTempDir&) { A.insert(A.end(), {"--commit-ms", "1s"}); }},
    {"CommitMsTooLong", "not \"60001\"",
     [](std::vector<std::string>& A, const TTempDir&) { A.insert(A.end(), {"--commit-ms", "60001"}); }},
    {"CommitMsLastWithoutValue", "--commit-ms needs a value",
     [](std::vector<std::string>& A, const TTempDir&) { A.emplace_back("--commit-ms"); }},
};

class CorvenaIndexRefusal : public CorvenaIndex, public ::testing::WithParamInterface<TRefusal> {};

TEST_P(CorvenaIndexRefusal, WritesNothing) {
    MakeLibrary(3);
    std::vector<std::string> Arguments = CorvenaIndex::Arguments();
    GetParam().Spoil(Arguments, FDir);
    const std::string LocalBefore = ReadFile(FLocal);
    const auto LocalTime = fs::last_write_time(FLocal);
    // Every file of the folder with its size and time.
    const auto Listing = [this] {
        std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> Files;
        for (const auto& Entry : fs::directory_iterator(FDir.Path()))
            if (Entry.is_regular_file())
                Files[Entry.path().filename().string()] = {Entry.file_size(), Entry.last_write_time()};
        return Files;
    };
    const auto Before = Listing();

    const TResult Result = RunProgram(Arguments);
    EXPECT_EQ(Result.Status, 2);
    EXPECT_EQ(Result.Out, "");
    const std::string FirstLine = Result.Err.substr(0, Result.Err.find('\n'));
    EXPECT_EQ(FirstLine.rfind("corvena-index: ", 0), 0u) << Result.Err;
    EXPECT_NE(FirstLine.find(GetParam().Names), std::string::npos) << Result.Err;
    EXPECT_EQ(ReadFile(FLocal), LocalBefore);
    EXPECT_EQ(fs::last_write_time(FLocal), LocalTime);
    EXPECT_EQ(Listing(), Before); // no list, no JSON, no journal files, nothing touched
}

INSTANTIATE_TEST_SUITE_P(CorvenaIndex, CorvenaIndexRefusal, ::testing::ValuesIn(Refusals),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(CorvenaIndex, VersionAndShortOptions) {
    for (const char* Option : {"--version", "-V"}) {
        const TResult Result = RunProgram({Option});
        EXPECT_EQ(Result.Status, 0) << Option;
        EXPECT_EQ(Result.Out, "corvena-index " CORVENA_VERSION "\n") << Option;
        EXPECT_EQ(Result.Err, "") << Option;
    }
    const TResult Help = RunProgram({"-h"});
    EXPECT_EQ(Help.Status, 0);
    for (const char* Words : {"-q, --quiet", "-V, --version", "--only-add", "--summary-json FILE"})
        EXPECT_NE(Help.Out.find(Words), std::string::npos) << Words;

    MakeLibrary(3);
    const TResult Quiet = RunProgram(Arguments({"-q"}));
    EXPECT_EQ(Quiet.Status, 0) << Quiet.Err;
    EXPECT_EQ(Quiet.Err, "");
    EXPECT_EQ(Songs(), 3);
}

// Under a locale whose decimal mark is a comma the times must still be JSON numbers.
TEST_F(CorvenaIndex, JsonIsTheSameUnderACommaLocale) {
    const std::string Locales = FDir.File("locales");
    fs::create_directories(Locales);
    QProcess Make;
    Make.start(QStringLiteral("localedef"), {"-i", "de_DE", "-f", "UTF-8", QString::fromStdString(Locales + "/de_DE.UTF-8")});
    if (!Make.waitForFinished(60000) || Make.exitStatus() != QProcess::NormalExit || Make.exitCode() > 1)
        GTEST_SKIP() << "cannot make the de_DE.UTF-8 locale (package locales)";
    QProcessEnvironment Environment = CleanEnvironment();
    Environment.insert("LOCPATH", QString::fromStdString(Locales));
    Environment.insert("LC_ALL", "de_DE.UTF-8");
    // The locale must be in force, or the run below would prove nothing.
    QProcess Probe;
    Probe.setProcessEnvironment(Environment);
    Probe.start(QStringLiteral("/usr/bin/printf"), {"%.1f", "0,5"});
    ASSERT_TRUE(Probe.waitForFinished(10000));
    ASSERT_EQ(Probe.readAllStandardOutput(), "0,5");

    MakeLibrary(6);
    const TResult Result = RunProgram(Arguments({"--quiet"}), Environment);
    ASSERT_EQ(Result.Status, 0) << Result.Err;
    const std::string Text = ReadFile(JsonFile());
    QJsonParseError Error{};
    const QJsonDocument Document = QJsonDocument::fromJson(QByteArray::fromStdString(Text), &Error);
    ASSERT_EQ(Error.error, QJsonParseError::NoError) << Text;
    const QJsonObject Json = Document.object();
    EXPECT_TRUE(Json["search_seconds"].isDouble()) << Text;
    EXPECT_TRUE(Json["index_seconds"].isDouble()) << Text;
    EXPECT_GT(Json["index_seconds"].toDouble(), 0) << Text;
    EXPECT_EQ(Figures(Json).at("inserted"), 6);
}

// Everything the program writes to standard error when it is a terminal of type ATerm.
std::string TerminalOutput(const std::vector<std::string>& AArguments, const char* ATerm) {
    std::vector<std::string> Words{CORVENA_INDEX_PROGRAM};
    Words.insert(Words.end(), AArguments.begin(), AArguments.end());
    int Master = -1;
    const pid_t Child = forkpty(&Master, nullptr, nullptr, nullptr);
    if (Child == 0) {
        // Standard output away from the terminal: only the progress is looked at.
        const int Null = open("/dev/null", O_WRONLY);
        dup2(Null, STDOUT_FILENO);
        setenv("TERM", ATerm, 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        std::vector<char*> Argv;
        for (std::string& Word : Words)
            Argv.push_back(Word.data());
        Argv.push_back(nullptr);
        execv(Argv[0], Argv.data());
        _exit(127);
    }
    EXPECT_GT(Child, 0);
    std::string Output;
    char Buffer[4096];
    for (;;) {
        const ssize_t Got = read(Master, Buffer, sizeof Buffer);
        if (Got <= 0)
            break; // EIO once the child has gone
        Output.append(Buffer, static_cast<std::size_t>(Got));
    }
    int Status = 0;
    waitpid(Child, &Status, 0);
    close(Master);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Output;
    return Output;
}

TEST_F(CorvenaIndex, DumbTerminalGetsNoEscapeSequences) {
    MakeLibrary(6);
    const std::string Dumb = TerminalOutput(Arguments(), "dumb");
    EXPECT_EQ(Dumb.find('\033'), std::string::npos) << Dumb;
    EXPECT_NE(Dumb.find("Indexing ["), std::string::npos) << Dumb;
    // The same run on a capable terminal erases the line's rest.
    const std::string Capable = TerminalOutput(Arguments(), "xterm");
    EXPECT_NE(Capable.find("\033[K"), std::string::npos) << Capable;
}

// Known paths are neither looked up nor written: a master row changed since is not read.
TEST_F(CorvenaIndex, SkipKnownLeavesKnownFilesAlone) {
    MakeLibrary(6);
    ASSERT_EQ(RunProgram(Arguments({"--quiet"})).Status, 0);
    RunSql(FMaster, "update Songs set SongName = '改过' where FilePath = '001.mpg'");
    const TResult Result = RunProgram(Arguments({"--quiet", "--skip-known"}));
    ASSERT_EQ(Result.Status, 0) << Result.Err;
    const auto Figure = Figures(ReadJson(JsonFile()));
    EXPECT_EQ(Figure.at("known"), 6); // the six rows of the first run
    EXPECT_EQ(Figure.at("files_collected"), 9);
    EXPECT_EQ(Figure.at("inserted") + Figure.at("updated") + Figure.at("kept"), 0);
    EXPECT_EQ(Figure.at("unmatched"), 2); // the others are looked up as before
    EXPECT_NE(Result.Out.find("known:                6"), std::string::npos) << Result.Out;
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs where SongName = '改过'"), "0");
    // Without it the changed row is read and written.
    ASSERT_EQ(RunProgram(Arguments({"--quiet"})).Status, 0);
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs where SongName = '改过'"), "2");
}

// A running watch: files copied in slowly, moved in, made in new deep folders, removed; the
// folder removed and restored; SIGTERM.
TEST_F(CorvenaIndex, WatchKeepsTheDatabaseInStepWithTheFolder) {
    MakeLibrary(8);
    const fs::path Folder(FSongs);
    const fs::path Aside = MoveAside({"005.mpg", "006.mpg", "007.mpg", "008.mpg"});
    QProcess Process;
    Process.setProcessEnvironment(CleanEnvironment());
    Process.start(QStringLiteral(CORVENA_INDEX_PROGRAM), ToArguments(Arguments({"--watch"})));
    ASSERT_TRUE(Process.waitForStarted());
    QByteArray Err;
    const auto WaitFor = [&](const std::function<bool()>& ADone, int AMs) {
        QElapsedTimer Timer;
        Timer.start();
        while (!ADone() && Timer.elapsed() < AMs) {
            Process.waitForReadyRead(20);
            Err += Process.readAllStandardError();
        }
        return ADone();
    };
    const auto Rows = [this](const fs::path& APath) {
        try {
            return std::stoi(QueryText(FLocal, "select count(*) from Songs where FilePath = '" + APath.string() + "'"));
        } catch (const std::runtime_error&) {
            return -1; // held by the writer for a moment
        }
    };
    ASSERT_TRUE(WaitFor([&] { return Err.contains("watching"); }, 20000)) << Err.toStdString();
    EXPECT_TRUE(Err.contains(("corvena-index: watching " + FSongs + " (5 folders)").c_str())) << Err.toStdString();

    // Written slowly: no row while it is open, a row within 2 s of its close. A file closed
    // after the first half is written shows when the watch has seen that much: its row comes
    // after everything before it was handled.
    const fs::path Slow = Folder / "A" / "005.mpg";
    {
        std::ofstream Out(Slow, std::ios::binary);
        Out << "first half" << std::flush;
        fs::copy_file(Aside / "007.mpg", Folder / "007.mpg");
        EXPECT_TRUE(WaitFor([&] { return Rows(Folder / "007.mpg") == 1; }, 5000)) << Err.toStdString();
        EXPECT_EQ(Rows(Slow), 0) << "indexed while still open";
        Out << "second half" << std::flush;
    }
    EXPECT_TRUE(WaitFor([&] { return Rows(Slow) == 1; }, 2000));
    // Moved in, and in folders made several levels deep.
    fs::rename(Aside / "006.mpg", Folder / "006.mpg");
    fs::create_directories(Folder / "N1" / "N2" / "N3");
    fs::copy_file(Aside / "007.mpg", Folder / "N1" / "N2" / "N3" / "007.mpg");
    EXPECT_TRUE(WaitFor([&] { return Rows(Folder / "006.mpg") == 1 && Rows(Folder / "N1/N2/N3/007.mpg") == 1; }, 2000));
    // Removed: one line, the row stays.
    fs::remove(Folder / "006.mpg");
    EXPECT_TRUE(WaitFor([&] { return Err.contains("removed " + (Folder / "006.mpg").string() + " (its song row is kept)"); }, 2000))
        << Err.toStdString();
    EXPECT_EQ(Rows(Folder / "006.mpg"), 1);
    // The folder goes (said once) and comes back with a new file: a pass finds it.
    fs::rename(Folder, FDir.Path() / "Away");
    EXPECT_TRUE(WaitFor([&] { return Err.contains("is gone; waiting for it to return"); }, 3000)) << Err.toStdString();
    fs::copy_file(Aside / "008.mpg", FDir.Path() / "Away" / "008.mpg");
    fs::rename(FDir.Path() / "Away", Folder);
    EXPECT_TRUE(WaitFor([&] { return Rows(Folder / "008.mpg") == 1; }, 5000)) << Err.toStdString();
    EXPECT_EQ(Err.count("is gone"), 1);

    ::kill(static_cast<pid_t>(Process.processId()), SIGTERM);
    ASSERT_TRUE(Process.waitForFinished(10000));
    EXPECT_EQ(Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Process.exitCode(), 0);
    const std::string Out = Process.readAllStandardOutput().toStdString();
    // The first pass's summary, then the totals since the start.
    EXPECT_EQ(QString::fromStdString(Out).count("Summary of indexing"), 2) << Out;
    const auto Figure = Figures(ReadJson(JsonFile()));
    EXPECT_EQ(Figure.at("inserted"), 4 + 5) << Out; // 1, 2, 4 and the copy; then 5 to 8 and 7 twice
    EXPECT_EQ(Songs(), 9);
    EXPECT_EQ(BrokenSongs(), 0);
    // The pass after the folder came back counted only what was new: the two files the master
    // does not know and the name that is not UTF-8 stay listed once.
    EXPECT_EQ(Figure.at("unmatched"), 2) << Out;
    EXPECT_EQ(Figure.at("not_collected"), 1) << Out;
    EXPECT_EQ(Figure.at("files_seen"), 12 - 4 + 5) << Out;
    const std::string List = ReadFile(Unmatched());
    EXPECT_EQ(std::count(List.begin(), List.end(), '\n'), 2) << List;
}

// A watch running in the background: its standard error gathered while waiting.
class CorvenaIndexWatch : public CorvenaIndex {
protected:
    void StartWatch(const char* AProgram, const QProcessEnvironment& AEnvironment = CleanEnvironment()) {
        FProcess.setProcessEnvironment(AEnvironment);
        FProcess.start(QString::fromUtf8(AProgram), ToArguments(Arguments({"--watch"})));
        ASSERT_TRUE(FProcess.waitForStarted());
        ASSERT_TRUE(WaitFor([&] { return FErr.contains("watching"); }, 20000)) << FErr.toStdString();
    }
    bool WaitFor(const std::function<bool()>& ADone, int AMs) {
        QElapsedTimer Timer;
        Timer.start();
        while (!ADone() && Timer.elapsed() < AMs) {
            FProcess.waitForReadyRead(20);
            FErr += FProcess.readAllStandardError();
        }
        return ADone();
    }
    int Rows(const fs::path& APath) const {
        try {
            return std::stoi(QueryText(FLocal, "select count(*) from Songs where FilePath = '" + APath.string() + "'"));
        } catch (const std::runtime_error&) {
            return -1; // held by the writer for a moment
        }
    }
    // SIGTERM, then the standard output.
    std::string Stop() {
        ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
        EXPECT_TRUE(FProcess.waitForFinished(10000));
        EXPECT_EQ(FProcess.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
        return FProcess.readAllStandardOutput().toStdString();
    }
    void TearDown() override {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(5000);
        }
    }

    QProcess FProcess;
    QByteArray FErr;
};

// A file still being written inside a folder that appeared (made in the tree, or moved in with
// the file open): the folder's listing finds it, yet it gets no row before its close and is
// indexed once.
class CorvenaIndexWatchOpenFile : public CorvenaIndexWatch, public ::testing::WithParamInterface<bool> {};

TEST_P(CorvenaIndexWatchOpenFile, IsIndexedOnceAfterItsClose) {
    const bool MovedIn = GetParam();
    MakeLibrary(5);
    const fs::path Folder(FSongs);
    const fs::path Aside = MoveAside({"005.mpg"});
    StartWatch(CORVENA_INDEX_PROGRAM);
    const fs::path Made = (MovedIn ? Aside : Folder) / "New";
    const fs::path File = Folder / "New" / "005.mpg";
    fs::create_directories(Made);
    {
        std::ofstream Out(Made / "005.mpg", std::ios::binary);
        Out << "start" << std::flush;
        if (MovedIn)
            fs::rename(Made, Folder / "New");
        // Three seconds of slow writing, with one pause longer than a second.
        for (int I = 0; I < 6; ++I) {
            EXPECT_FALSE(WaitFor([&] { return Rows(File) > 0; }, I == 3 ? 1200 : 300)) << "indexed while still open";
            Out << "part " << I << std::flush;
        }
    }
    EXPECT_TRUE(WaitFor([&] { return Rows(File) == 1; }, 2000)) << FErr.toStdString();
    // A file closed after it is indexed after everything the watch had of it.
    TouchFile(Folder / "later.txt");
    EXPECT_TRUE(WaitFor([&] { return FErr.contains("1 unmatched"); }, 5000)) << FErr.toStdString();
    EXPECT_EQ(FErr.count("indexed 1 file (1 new"), 1) << FErr.toStdString();
    Stop();
    const auto Figure = Figures(ReadJson(JsonFile()));
    EXPECT_EQ(Figure.at("inserted"), 4 + 1); // 1, 2, 4 and the copy of 1; then 5
    EXPECT_EQ(Figure.at("updated") + Figure.at("kept"), 0);
    EXPECT_EQ(Figure.at("matched"), 5 + 1);
    EXPECT_EQ(Rows(File), 1);
}

INSTANTIATE_TEST_SUITE_P(CorvenaIndex, CorvenaIndexWatchOpenFile, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& AInfo) {
                             return AInfo.param ? "FolderMovedIn" : "FolderMadeInside";
                         });

// The kernel's watch limit (the test build runs out after two watches, both of the song folder
// itself): said once, and the folder is searched again, so a file in a folder without a watch
// still gets its row. Each pass counts only what is new: a file found by a pass is counted
// once, however many passes follow.
TEST_F(CorvenaIndexWatch, WatchLimitReachedSearchesTheFolderAgain) {
    MakeLibrary(6);
    const fs::path Folder(FSongs);
    const fs::path Aside = MoveAside({"004.mpg", "005.mpg", "006.mpg"});
    QProcessEnvironment Environment = CleanEnvironment();
    Environment.insert(QStringLiteral("CORVENA_INDEX_WATCH_LIMIT"), QStringLiteral("2"));
    Environment.insert(QStringLiteral("CORVENA_INDEX_RESCAN_MS"), QStringLiteral("200"));
    StartWatch(CORVENA_INDEX_TESTHOOKS_PROGRAM, Environment);
    EXPECT_TRUE(FErr.contains(("corvena-index: watching " + FSongs + " (1 folders)").c_str())) << FErr.toStdString();
    EXPECT_TRUE(WaitFor([&] { return FErr.contains("fs.inotify.max_user_watches"); }, 2000)) << FErr.toStdString();
    fs::copy_file(Aside / "005.mpg", Folder / "A" / "005.mpg");
    fs::create_directories(Folder / "Later");
    fs::copy_file(Aside / "006.mpg", Folder / "Later" / "006.mpg");
    TouchFile(Folder / "Later" / "new.txt");
    TouchFile(Folder / "Later" / "new\xfe.mpg");
    EXPECT_TRUE(WaitFor([&] { return Rows(Folder / "A/005.mpg") == 1 && Rows(Folder / "Later/006.mpg") == 1; }, 5000))
        << FErr.toStdString();
    // Later passes find the one file added after them, and nothing again.
    fs::copy_file(Aside / "004.mpg", Folder / "Later" / "004.mpg");
    EXPECT_TRUE(WaitFor([&] { return Rows(Folder / "Later/004.mpg") == 1; }, 5000)) << FErr.toStdString();
    EXPECT_EQ(FErr.count("fs.inotify.max_user_watches"), 1) << FErr.toStdString();
    Stop();
    const auto Figure = Figures(ReadJson(JsonFile()));
    EXPECT_EQ(Figure.at("inserted"), 3 + 3) << FErr.toStdString(); // each new file once
    EXPECT_EQ(Figure.at("updated") + Figure.at("kept"), 0);
    EXPECT_EQ(Figure.at("unmatched"), 2 + 1) << FErr.toStdString();
    EXPECT_EQ(Figure.at("not_collected"), 1 + 1) << FErr.toStdString();
    EXPECT_EQ(Figure.at("files_seen"), 10 - 3 + 5) << FErr.toStdString();
    EXPECT_EQ(Figure.at("files_collected"), 9 - 3 + 4) << FErr.toStdString();
    const std::string List = ReadFile(Unmatched());
    EXPECT_EQ(std::count(List.begin(), List.end(), '\n'), 3) << List;
}

// Thousands of passes over a folder that does not change (the test build runs out of watches
// at once, searches again every millisecond and ends after its passes): the totals are those
// of the first run, and the unmatched list names each file once.
TEST_F(CorvenaIndexWatch, ManyPassesOverAnUnchangedFolderAddNothing) {
    MakeLibrary(6);
    QProcessEnvironment Environment = CleanEnvironment();
    Environment.insert(QStringLiteral("CORVENA_INDEX_WATCH_LIMIT"), QStringLiteral("2"));
    Environment.insert(QStringLiteral("CORVENA_INDEX_RESCAN_MS"), QStringLiteral("1"));
    Environment.insert(QStringLiteral("CORVENA_INDEX_WATCH_PASSES"), QStringLiteral("2000"));
    StartWatch(CORVENA_INDEX_TESTHOOKS_PROGRAM, Environment);
    ASSERT_TRUE(WaitFor([&] { return FProcess.state() == QProcess::NotRunning; }, 60000)) << "still watching";
    EXPECT_EQ(FProcess.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(FProcess.exitCode(), 0) << FErr.toStdString();
    const QJsonObject Json = ReadJson(JsonFile());
    // As in WritesTheSongsAndReportsEveryFigure.
    const std::map<std::string, int> Expected{{"files_seen", 10}, {"files_collected", 9}, {"not_collected", 1},
                                              {"matched", 7},     {"inserted", 6},        {"updated", 0},
                                              {"kept", 0},        {"unmatched", 2},       {"near_matches", 0},
                                              {"without_name", 1}, {"failed", 0},         {"known", 0}};
    EXPECT_EQ(Figures(Json), Expected);
    EXPECT_EQ(Json["errors"].toArray().size(), 1);
    const std::string List = ReadFile(Unmatched());
    EXPECT_EQ(std::count(List.begin(), List.end(), '\n'), 2) << List;
    EXPECT_EQ(Lines(List), (std::set<std::string>{FSongs + "/readme.txt", FSongs + "/B/999.mpg"}));
    EXPECT_FALSE(FErr.contains("indexed")) << FErr.toStdString();
}

// The local database failing under a running watch ends it as in a normal run: status 1, the
// error in the summary and the JSON. Failing: another program holding its write lock past the
// busy timeout, or the file made immutable (root only); or the file deleted, or replaced by
// another (a copy restored over it), where the next file must not go into the file the watch
// still has open: the error then names the database, not a file.
enum class TLocalFault { Locked, Immutable, Replaced, Deleted };

struct TWatchFault {
    const char* Name;
    TLocalFault Fault;
    bool FileFails; // the file being indexed fails first; else nothing is tried
    const char* Says; // in stopped_by
};

class CorvenaIndexWatchFault : public CorvenaIndexWatch, public ::testing::WithParamInterface<TWatchFault> {
protected:
    void TearDown() override {
        CorvenaIndexWatch::TearDown();
        if (FLock != nullptr)
            sqlite3_close(FLock);
        if (FImmutable)
            std::system(("chattr -i '" + FLocal + "' '" + FLocal + "-wal' 2>/dev/null").c_str());
    }
    sqlite3* FLock = nullptr;
    bool FImmutable = false;
};

TEST_P(CorvenaIndexWatchFault, EndsTheWatchWithStatus1) {
    MakeLibrary(5);
    const fs::path Folder(FSongs);
    const fs::path Aside = MoveAside({"005.mpg"});
    StartWatch(CORVENA_INDEX_PROGRAM);
    switch (GetParam().Fault) {
    case TLocalFault::Locked:
        ASSERT_EQ(sqlite3_open(FLocal.c_str(), &FLock), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(FLock, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(FLock);
        break;
    case TLocalFault::Immutable:
        // The database and its write-ahead log, where the program writes first.
        if (geteuid() != 0 ||
            std::system(("chattr +i '" + FLocal + "' '" + FLocal + "-wal' 2>/dev/null").c_str()) != 0) {
            Stop();
            GTEST_SKIP() << "chattr +i needs root and a file system that has it";
        }
        FImmutable = true;
        break;
    case TLocalFault::Replaced:
        fs::rename(MakeDatabase(FDir, "Restored.mdb", TSchemaKind::Local), FLocal);
        break;
    case TLocalFault::Deleted:
        fs::remove(FLocal);
        break;
    }
    fs::copy_file(Aside / "005.mpg", Folder / "A" / "005.mpg");
    ASSERT_TRUE(WaitFor([&] { return FProcess.state() == QProcess::NotRunning; }, 15000))
        << "still watching: " << FErr.toStdString();
    EXPECT_EQ(FProcess.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(FProcess.exitCode(), 1) << FErr.toStdString();
    const std::string Out = FProcess.readAllStandardOutput().toStdString();
    EXPECT_NE(Out.find("stopped by:"), std::string::npos) << Out;
    const QJsonObject Json = ReadJson(JsonFile());
    // The failed file (or the database that stopped the watch) first, then the name that is
    // not UTF-8 (not collected).
    const QJsonArray Errors = Json["errors"].toArray();
    ASSERT_EQ(Errors.size(), 2) << Out;
    EXPECT_EQ(Errors[0]["path"].toString().toStdString(),
              GetParam().FileFails ? (Folder / "A" / "005.mpg").string() : FLocal);
    EXPECT_EQ(Errors[1]["error"].toString().toStdString(), "file name is not valid UTF-8");
    EXPECT_EQ(Figures(Json).at("inserted"), 4); // the first pass only
    EXPECT_EQ(Figures(Json).at("failed"), GetParam().FileFails ? 1 : 0);
    // Why it stopped, for a script as for the reader of the summary.
    const std::string StoppedBy = Json["stopped_by"].toString().toStdString();
    EXPECT_FALSE(StoppedBy.empty());
    EXPECT_NE(Out.find("stopped by:           " + StoppedBy), std::string::npos) << Out;
    EXPECT_NE(StoppedBy.find(GetParam().Says), std::string::npos) << StoppedBy;
    if (!GetParam().FileFails) {
        EXPECT_NE(StoppedBy.find("\"" + FLocal + "\""), std::string::npos) << StoppedBy;
    }
}

INSTANTIATE_TEST_SUITE_P(CorvenaIndex, CorvenaIndexWatchFault,
                         ::testing::Values(TWatchFault{"Locked", TLocalFault::Locked, true, "locked"},
                                           TWatchFault{"Immutable", TLocalFault::Immutable, true, ""},
                                           TWatchFault{"Replaced", TLocalFault::Replaced, false, "was replaced"},
                                           TWatchFault{"Deleted", TLocalFault::Deleted, false, "is gone"}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// A steady stream of new files, one every 60 ms as a copy of an album or a sync job makes
// them, does not hold back the first: its row comes while the stream still goes.
TEST_F(CorvenaIndexWatch, AFileClosedDuringAStreamIsSavedWhileItGoesOn) {
    MakeLibrary(3);
    const fs::path Folder(FSongs);
    const fs::path Aside = MoveAside({"002.mpg"});
    fs::create_directories(Folder / "Stream");
    StartWatch(CORVENA_INDEX_PROGRAM);
    std::atomic<bool> Done{false};
    std::atomic<int> Written{0};
    using TClock = std::chrono::steady_clock;
    std::atomic<TClock::rep> ClosedAt{0};
    std::thread Writer([&] {
        fs::copy_file(Aside / "002.mpg", Folder / "Stream" / "002.mpg");
        ClosedAt.store(TClock::now().time_since_epoch().count());
        // At most 30 s of files, enough for the row to come long before.
        for (int I = 0; I < 500 && !Done.load(); ++I) {
            TouchFile(Folder / "Stream" / ("part" + std::to_string(I) + ".mpg"));
            Written.store(I + 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
    });
    const bool Saved = WaitFor([&] { return Rows(Folder / "Stream" / "002.mpg") == 1; }, 40000);
    const bool StillStreaming = Written.load() < 500;
    const auto Latency = TClock::now() - TClock::time_point(TClock::duration(ClosedAt.load()));
    const int Count = Written.load();
    Done.store(true);
    Writer.join();
    EXPECT_TRUE(Saved) << FErr.toStdString();
    EXPECT_TRUE(StillStreaming) << "saved only when the stream ended";
    std::printf("row %lld ms after its close, %d files written meanwhile\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Latency).count()), Count);
    Stop();
}

// What a watch collects is what a normal run of the folder collects: a hard link and links
// made while watching (to a file, to a folder outside, a broken one), and the same paths left
// out (a name that is not UTF-8, a folder named so, a pipe).
TEST_F(CorvenaIndexWatch, CollectsWhatANormalRunCollects) {
    MakeLibrary(6);
    const fs::path Folder(FSongs);
    const fs::path Aside = MoveAside({"004.mpg", "005.mpg", "006.mpg"});
    fs::create_directories(FDir.Path() / "Far");
    fs::rename(Aside / "006.mpg", FDir.Path() / "Far" / "006.mpg");
    StartWatch(CORVENA_INDEX_PROGRAM);

    // Entries that are ready at once, or settle no later than the links made after them.
    fs::create_directories(Folder / "dir\xfd");
    TouchFile(Folder / "dir\xfd" / "001.mpg");
    TouchFile(Folder / "A" / "odd\xfe.mpg");
    ASSERT_EQ(mkfifo((Folder / "pipe.mpg").c_str(), 0600), 0);
    fs::create_symlink(Aside / "none.mpg", Folder / "broken.mpg");
    fs::create_hard_link(Aside / "004.mpg", Folder / "B" / "004.mpg");
    fs::create_symlink(Aside / "005.mpg", Folder / "A" / "005.mpg");
    fs::create_directory_symlink(FDir.Path() / "Far", Folder / "Far");
    EXPECT_TRUE(WaitFor([&] { return Rows(Folder / "B/004.mpg") == 1 && Rows(Folder / "A/005.mpg") == 1 &&
                                     Rows(Folder / "Far/006.mpg") == 1; }, 10000))
        << FErr.toStdString();
    Stop();
    const QJsonObject Watched = ReadJson(JsonFile());
    const std::string WatchedUnmatched = ReadFile(Unmatched());

    // The same folder, as a normal run into a new database sees it.
    const std::string Watch = FLocal;
    FLocal = MakeDatabase(FDir, "Normal.mdb", TSchemaKind::Local);
    const TResult Normal = RunProgram(Arguments({"--quiet"}));
    ASSERT_EQ(Normal.Status, 0) << Normal.Err;
    const QJsonObject Run = ReadJson(JsonFile());
    const auto Paths = [](const std::string& AFile) {
        std::set<std::string> Result;
        std::istringstream In(StockShell(AFile, "select FilePath from Songs"));
        for (std::string Line; std::getline(In, Line);)
            Result.insert(Line);
        return Result;
    };
    EXPECT_EQ(Paths(Watch), Paths(FLocal));
    const auto Left = [](const QJsonObject& AJson) {
        std::set<std::pair<std::string, std::string>> Result;
        for (const QJsonValue& Error : AJson["errors"].toArray())
            Result.emplace(Error["path"].toString().toStdString(), Error["error"].toString().toStdString());
        return Result;
    };
    EXPECT_EQ(Left(Watched), Left(Run));
    EXPECT_EQ(Lines(WatchedUnmatched), Lines(ReadFile(Unmatched())));
    for (const char* Key : {"files_seen", "files_collected", "not_collected", "unmatched"})
        EXPECT_EQ(Figures(Watched).at(Key), Figures(Run).at(Key)) << Key;
}

// "removed" is said of a file that had a song row, not of one that never had (a temporary
// file a copy renames, a file the master does not know).
TEST_F(CorvenaIndexWatch, RemovedIsSaidOnlyOfFilesWithARow) {
    MakeLibrary(3);
    const fs::path Folder(FSongs);
    StartWatch(CORVENA_INDEX_PROGRAM);
    TouchFile(Folder / "copy.part");
    ASSERT_TRUE(WaitFor([&] { return FErr.contains("1 unmatched"); }, 5000)) << FErr.toStdString();
    fs::remove(Folder / "copy.part");
    fs::remove(Folder / "readme.txt"); // unmatched in the first run
    fs::remove(Folder / "A" / "001.mpg");
    const std::string Said = "removed " + FSongs + "/A/001.mpg (its song row is kept)";
    EXPECT_TRUE(WaitFor([&] { return FErr.contains(Said.c_str()); }, 5000)) << FErr.toStdString();
    EXPECT_EQ(FErr.count("removed"), 1) << FErr.toStdString();
    Stop();
}

// A relative song folder (as in "corvena-index --songs demo/Songs") is taken from the current
// folder and cleaned as the wizard does: the paths stored are whole, for a host started
// elsewhere, and the same however the folder was written.
class CorvenaIndexRelative : public CorvenaIndex, public ::testing::WithParamInterface<const char*> {};

TEST_P(CorvenaIndexRelative, StoresWholePaths) {
    MakeLibrary(3);
    std::vector<std::string> Words = Arguments({"--quiet"});
    SetArgument(Words, "--songs", GetParam());
    QProcess Process;
    Process.setProcessEnvironment(CleanEnvironment());
    Process.setWorkingDirectory(QString::fromStdString(FDir.Path().string()));
    Process.start(QStringLiteral(CORVENA_INDEX_PROGRAM), ToArguments(Words));
    ASSERT_TRUE(Process.waitForFinished(60000));
    EXPECT_EQ(Process.exitCode(), 0) << Process.readAllStandardError().toStdString();
    EXPECT_EQ(QueryText(FLocal, "select group_concat(FilePath, ',') from (select FilePath from Songs order by FilePath)"),
              FSongs + "/A/001.mpg," + FSongs + "/A2/001.MPG," + FSongs + "/B/C/002.mpg");
    EXPECT_EQ(Lines(ReadFile(Unmatched())), (std::set<std::string>{FSongs + "/readme.txt", FSongs + "/B/999.mpg"}));
}

// The watch of a folder named relatively stores whole paths too.
TEST_F(CorvenaIndexWatch, ARelativeFolderIsWatchedByItsWholePath) {
    MakeLibrary(3);
    const fs::path Aside = MoveAside({"002.mpg"});
    std::vector<std::string> Words = Arguments({"--watch"});
    SetArgument(Words, "--songs", "./Songs");
    FProcess.setProcessEnvironment(CleanEnvironment());
    FProcess.setWorkingDirectory(QString::fromStdString(FDir.Path().string()));
    FProcess.start(QStringLiteral(CORVENA_INDEX_PROGRAM), ToArguments(Words));
    ASSERT_TRUE(WaitFor([&] { return FErr.contains("watching"); }, 20000)) << FErr.toStdString();
    fs::copy_file(Aside / "002.mpg", fs::path(FSongs) / "002.mpg");
    EXPECT_TRUE(WaitFor([&] { return Rows(fs::path(FSongs) / "002.mpg") == 1; }, 5000)) << FErr.toStdString();
    Stop();
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs where FilePath not like '" + FSongs + "/%'"), "0");
}

INSTANTIATE_TEST_SUITE_P(CorvenaIndex, CorvenaIndexRelative,
                         ::testing::Values("Songs", "./Songs/", "Songs//B/../.", "Songs/B/C/../.."),
                         [](const ::testing::TestParamInfo<const char*>& AInfo) {
                             return std::to_string(AInfo.index);
                         });

TEST_F(CorvenaIndex, MasterWithoutSongsCannotStart) {
    MakeLibrary(3);
    FMaster = FDir.File("Other.mdb");
    RunSql(FMaster, "create table Singers (SingerName text)");
    // The local database as another program left it: with a rollback journal.
    ASSERT_EQ(StockShell(FLocal, "pragma journal_mode"), "delete");
    const std::string LocalBefore = ReadFile(FLocal);
    const TResult Result = RunProgram(Arguments({"--quiet"}));
    EXPECT_EQ(Result.Status, 1) << Result.Err;
    const QJsonObject Json = ReadJson(JsonFile());
    EXPECT_EQ(Figures(Json).at("inserted"), 0);
    EXPECT_EQ(Figures(Json).at("files_collected"), 6);
    // The master first, then what the search left out.
    const QJsonArray Errors = Json["errors"].toArray();
    ASSERT_EQ(Errors.size(), 2);
    EXPECT_EQ(Errors[0]["path"].toString().toStdString(), FMaster);
    EXPECT_EQ(Errors[1]["path"].toString().toStdString(), FSongs + "/bad\\xFF.mpg");
    EXPECT_NE(Errors[0]["error"].toString().indexOf(QLatin1String("Songs")), -1) << Errors[0]["error"].toString().toStdString();
    EXPECT_EQ(Json["stopped_by"], Errors[0]["error"]);
    EXPECT_NE(Result.Out.find("could not start:"), std::string::npos) << Result.Out;
    // Nothing written means the local file untouched: not even switched to WAL.
    EXPECT_TRUE(ReadFile(FLocal) == LocalBefore) << "the local database file was changed";
    for (const char* Suffix : {"-wal", "-shm", "-journal"})
        EXPECT_FALSE(fs::exists(FLocal + Suffix)) << Suffix;
    EXPECT_EQ(Songs(), 0);
}

TEST_F(CorvenaIndex, AFileThatFailsGivesStatus1) {
    MakeLibrary(3);
    RunSql(FMaster, "update Songs set CharsCount = 'seven' where FilePath = '002.mpg'");
    const TResult Result = RunProgram(Arguments({"--quiet"}));
    EXPECT_EQ(Result.Status, 1) << Result.Err;
    const QJsonObject Json = ReadJson(JsonFile());
    EXPECT_EQ(Figures(Json).at("failed"), 1);
    EXPECT_EQ(Figures(Json).at("inserted"), 2); // 001 twice; 003 has no name
    const QJsonArray Errors = Json["errors"].toArray();
    ASSERT_EQ(Errors.size(), 2);
    EXPECT_EQ(Errors[0]["path"].toString().toStdString(), FSongs + "/B/C/002.mpg");
    const std::string Error = Errors[0]["error"].toString().toStdString();
    EXPECT_FALSE(Error.empty());
    EXPECT_EQ(Errors[1]["path"].toString().toStdString(), FSongs + "/bad\\xFF.mpg");
    EXPECT_NE(Result.Out.find(FSongs + "/B/C/002.mpg: " + Error), std::string::npos) << Result.Out;
}

// A script sees every path left out as well as every file that failed, the failures first, at
// most 100 in all; the counts stay whole.
TEST_F(CorvenaIndex, ErrorsListFailuresThenPathsNotCollectedAtMost100) {
    MakeLibrary(3);
    RunSql(FMaster, "update Songs set CharsCount = 'seven' where FilePath = '002.mpg'");
    fs::create_directories(fs::path(FSongs) / "P");
    for (int I = 0; I < 120; ++I)
        ASSERT_EQ(mkfifo(QStringLiteral("%1/P/p%2.mpg").arg(QString::fromStdString(FSongs)).arg(I).toUtf8().constData(), 0600), 0);
    const TResult Result = RunProgram(Arguments({"--quiet"}));
    EXPECT_EQ(Result.Status, 1) << Result.Err;
    const QJsonObject Json = ReadJson(JsonFile());
    EXPECT_EQ(Figures(Json).at("not_collected"), 121);
    EXPECT_EQ(Figures(Json).at("failed"), 1);
    const QJsonArray Errors = Json["errors"].toArray();
    ASSERT_EQ(Errors.size(), 100);
    EXPECT_EQ(Errors[0]["path"].toString().toStdString(), FSongs + "/B/C/002.mpg");
    int Pipes = 0;
    for (qsizetype I = 1; I < Errors.size(); ++I) {
        const std::string Path = Errors[I]["path"].toString().toStdString();
        if (Path.rfind(FSongs + "/P/p", 0) == 0) {
            ++Pipes;
            EXPECT_EQ(Errors[I]["error"].toString(), QString("not a regular file")) << Path;
        } else {
            EXPECT_EQ(Path, FSongs + "/bad\\xFF.mpg");
        }
    }
    EXPECT_GE(Pipes, 98);
    EXPECT_EQ(Figures(Json).at("inserted"), 2);
}

// Without --local, the database the wizard would open: Local of Configure.ini one folder above
// the program, a relative name taken from the program's folder.
TEST_F(CorvenaIndex, LocalDefaultsToTheWizardsDatabase) {
    MakeLibrary(3);
    const fs::path Program = FDir.Path() / "Tools" / "corvena-index";
    fs::create_directories(Program.parent_path());
    fs::copy_file(CORVENA_INDEX_PROGRAM, Program);
    std::ofstream(FDir.File("Configure.ini"), std::ios::binary) << "[DataBase]\nLocal=../Ktv.mdb\n";
    QProcess Process;
    Process.setProcessEnvironment(CleanEnvironment());
    Process.setWorkingDirectory(QStringLiteral("/"));
    Process.start(QString::fromStdString(Program.string()),
                  ToArguments({"--songs", FSongs, "--master", FMaster, "--quiet"}));
    ASSERT_TRUE(Process.waitForFinished(60000));
    EXPECT_EQ(Process.exitCode(), 0) << Process.readAllStandardError().toStdString();
    EXPECT_EQ(Songs(), 3);
}

// Without --local and with no Configure.ini naming one: the user's own database, made empty
// once and said so; a name that is given but missing is never made, and the error says where
// it came from and how to name one.
TEST_F(CorvenaIndex, LocalNamedNowhereIsTheUsersOwn) {
    MakeLibrary(3);
    const fs::path Program = FDir.Path() / "bin" / "corvena-index";
    fs::create_directories(Program.parent_path());
    fs::copy_file(CORVENA_INDEX_PROGRAM, Program);
    QProcessEnvironment Environment = CleanEnvironment();
    Environment.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(FDir.File("home/config")));
    Environment.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString(FDir.File("home/data")));
    const auto Run = [&] {
        QProcess Process;
        Process.setProcessEnvironment(Environment);
        Process.start(QString::fromStdString(Program.string()),
                      ToArguments({"--songs", FSongs, "--master", FMaster, "--quiet"}));
        EXPECT_TRUE(Process.waitForFinished(60000));
        return std::pair{Process.exitCode(), QString::fromUtf8(Process.readAllStandardError()).toStdString()};
    };
    const std::string Own = FDir.File("home/data/corvena/Ktv.mdb");
    // A run that cannot start makes nothing.
    const std::string Master = FMaster;
    FMaster = FDir.File("NoMaster.mdb");
    auto [Status, Err] = Run();
    EXPECT_EQ(Status, 2) << Err;
    EXPECT_FALSE(fs::exists(FDir.File("home/data"))) << Err;
    FMaster = Master;
    std::tie(Status, Err) = Run();
    EXPECT_EQ(Status, 0) << Err;
    EXPECT_EQ(Err, "corvena-index: made an empty local song database \"" + Own + "\" (name another with --local FILE)\n");
    EXPECT_EQ(QueryText(Own, "select count(*) from Songs"), "3");
    std::tie(Status, Err) = Run();
    EXPECT_EQ(Status, 0) << Err;
    EXPECT_EQ(Err, ""); // made once

    struct {
        const char* Name;
        std::string File; // the Configure.ini naming the missing database
    } Cases[] = {
        {"the user's Configure.ini", FDir.File("home/config/corvena/Configure.ini")},
        {"the song-request system's", FDir.File("Configure.ini")},
    };
    for (const auto& Case : Cases) {
        fs::create_directories(fs::path(Case.File).parent_path());
        std::ofstream(Case.File, std::ios::binary) << "[DataBase]\nLocal=" << FDir.File("Gone.mdb") << "\n";
        std::tie(Status, Err) = Run();
        EXPECT_EQ(Status, 2) << Case.Name;
        EXPECT_EQ(Err, "corvena-index: local song database \"" + FDir.File("Gone.mdb") + "\" (Local in [DataBase] of " +
                           Case.File + ") does not exist; name the local song database with --local FILE, or with "
                           "Local= in [DataBase] of " + Case.File + "\n")
            << Case.Name;
        EXPECT_FALSE(fs::exists(FDir.File("Gone.mdb"))) << Case.Name;
    }
}

// A slow run stopped by a signal: the songs saved stay whole, and the summary says so.
struct TStop {
    const char* Name;
    int Signal;
    bool AfterProgressLine; // else once a few songs are saved
};

class CorvenaIndexStop : public CorvenaIndex, public ::testing::WithParamInterface<TStop> {};

TEST_P(CorvenaIndexStop, EndsWith130AndWholeRows) {
    constexpr int Count = 40;
    MakeLibrary(Count);
    QProcess Process;
    Process.setProcessEnvironment(CleanEnvironment(250));
    Process.start(QStringLiteral(CORVENA_INDEX_TESTHOOKS_PROGRAM), ToArguments(Arguments()));
    ASSERT_TRUE(Process.waitForStarted());
    QByteArray Err;
    QElapsedTimer Timer;
    Timer.start();
    // Not a terminal: the first progress line comes after 5 seconds, not before.
    for (;;) {
        ASSERT_LT(Timer.elapsed(), 30000) << "no progress";
        ASSERT_EQ(Process.state(), QProcess::Running) << Err.toStdString();
        Process.waitForReadyRead(50);
        Err += Process.readAllStandardError();
        if (GetParam().AfterProgressLine ? Err.contains("indexing file")
                                         : SongsWhileRunning() >= 3)
            break;
    }
    if (GetParam().AfterProgressLine) {
        EXPECT_GE(Timer.elapsed(), 4500);
        EXPECT_FALSE(Err.contains('\r'));
        EXPECT_EQ(Err.count('\n'), 1) << Err.toStdString();
    }
    ::kill(static_cast<pid_t>(Process.processId()), GetParam().Signal);
    ASSERT_TRUE(Process.waitForFinished(30000));
    EXPECT_EQ(Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Process.exitCode(), 130);

    const std::string Out = Process.readAllStandardOutput().toStdString();
    EXPECT_NE(Out.find("interrupted:          yes"), std::string::npos) << Out;
    const QJsonObject Json = ReadJson(JsonFile());
    EXPECT_EQ(Json["interrupted"], QJsonValue(true));
    const int Inserted = Figures(Json).at("inserted");
    EXPECT_GT(Inserted, 0);
    EXPECT_LT(Inserted, Count - 1);
    EXPECT_EQ(Songs(), Inserted);
    EXPECT_EQ(BrokenSongs(), 0);
}

INSTANTIATE_TEST_SUITE_P(CorvenaIndex, CorvenaIndexStop,
                         ::testing::Values(TStop{"SigintAfterAProgressLine", SIGINT, true},
                                           TStop{"SigtermWhileSaving", SIGTERM, false}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });


// -------------------------------------------------------------------------------------------
// Crashes and two writers on one local database. A library of disco and other types with many
// language and type names, so that concurrent runs meet on the same names. Rounds and library
// size come from CORVENA_KILL_ROUNDS, CORVENA_WRITER_ROUNDS and CORVENA_STRESS_FILES
// (scripts/stress.sh runs them longer).

int EnvInt(const char* AName, int ADefault) {
    const char* Value = std::getenv(AName);
    return Value != nullptr && *Value != '\0' ? std::atoi(Value) : ADefault;
}

class CorvenaIndexConcurrency : public ::testing::Test {
protected:
    void SetUp() override {
        FFiles = EnvInt("CORVENA_STRESS_FILES", 2000);
        FMaster = MakeDatabase(FDir, "Total.mdb", TSchemaKind::Master);
        FEmpty = MakeDatabase(FDir, "Empty.mdb", TSchemaKind::Local);
        RunSql(FEmpty, "insert into DiscoTypes (TypeID, TypeName) values (7, 'DJ'), (8, '舞曲')");
        FLocal = FDir.File("Ktv.mdb");
        FSongs = FDir.File("Songs");
        std::string Rows;
        for (int I = 1; I <= FFiles; ++I) {
            const std::string Name = std::to_string(100000 + I) + ".mpg";
            std::string Type = "T";
            Type += std::to_string(I % 23);
            if (I % 3 != 2)
                Type = I % 3 == 0 ? "DJ" : "舞曲";
            Rows += std::string(Rows.empty() ? "" : ",") + "('" + std::to_string(80000000 + I) +
                    "', '歌" + std::to_string(I) + "', '" + Name + "', '歌手', 'L" +
                    std::to_string(I % 37) + "', '" + Type + "', '', 'G', 'MPEG', 36000, 2, 0, 0, 0)";
            TouchFile(fs::path(FSongs) / std::to_string(I % 4) / Name);
        }
        RunSql(FMaster, "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName,"
                        " TypeName, Special, PYCode, MediaType, PublishDate, CharsCount, Track, Sound,"
                        " DemandTimes) values " + Rows);
    }

    void FreshLocal() {
        for (const char* Suffix : {"", "-wal", "-shm", "-journal"})
            fs::remove(FLocal + Suffix);
        fs::copy_file(FEmpty, FLocal);
        // In WAL mode already, as a database the programs have used before.
        RunSql(FLocal, "pragma journal_mode=WAL");
    }

    QStringList Arguments(const std::vector<std::string>& AMore = {}) const {
        std::vector<std::string> Result{"--songs", FSongs, "--master", FMaster, "--local", FLocal, "--quiet"};
        Result.insert(Result.end(), AMore.begin(), AMore.end());
        return ToArguments(Result);
    }

    int Figure(const std::string& ASql) const { return std::stoi(QueryText(FLocal, ASql)); }

    // What must never be: a disco-type song without its mirror, a mirror without its song,
    // any row twice.
    std::map<std::string, int> Faults() const {
        return {
            {"missing mirrors",
             Figure("select count(*) from Songs S join SongTypes T on S.TypeID = T.TypeID where"
                    " T.TypeName in (select TypeName from DiscoTypes) and not exists"
                    " (select 1 from Discos D where D.FilePath = S.FilePath)")},
            {"mirrors without song",
             Figure("select count(*) from Discos D where not exists"
                    " (select 1 from Songs S where S.FilePath = D.FilePath)")},
            {"duplicate songs", Figure("select count(*) - count(distinct FilePath) from Songs")},
            {"duplicate mirrors", Figure("select count(*) - count(distinct FilePath) from Discos")},
            {"duplicate languages",
             Figure("select count(*) - count(distinct LanguageName) from Languages")},
            {"duplicate types", Figure("select count(*) - count(distinct TypeName) from SongTypes")},
        };
    }

    static void Add(std::map<std::string, int>& ATotal, const std::map<std::string, int>& AFaults) {
        for (const auto& [Name, Count] : AFaults)
            ATotal[Name] += Count;
    }

    static std::string Describe(const std::map<std::string, int>& AFaults) {
        std::string Result;
        for (const auto& [Name, Count] : AFaults)
            Result += (Result.empty() ? "" : ", ") + Name + " " + std::to_string(Count);
        return Result;
    }

    int FFiles = 0;
    TTempDir FDir;
    std::string FMaster, FEmpty, FLocal, FSongs;
};

// kill -9 at a random moment of the run, then a run with --only-add as an operator would
// start it: every song whole, every disco-type song mirrored, nothing twice. Files committed in
// groups (slowed down to a millisecond a file, so that a run holds a few dozen groups and the
// kill lands inside one, between the savepoints of its files) and every file on its own.
struct TKillMode {
    const char* Name;
    bool Grouped;
};

class CorvenaIndexKill : public CorvenaIndexConcurrency, public ::testing::WithParamInterface<TKillMode> {};

TEST_P(CorvenaIndexKill, KilledAtRandomMomentsLeavesNoHalfSongs) {
    const int Rounds = EnvInt("CORVENA_KILL_ROUNDS", 6);
    const bool Grouped = GetParam().Grouped;
    // Grouped: the songs of one folder of the four.
    const std::string Songs = Grouped ? (fs::path(FSongs) / "0").string() : FSongs;
    const int Expected = Grouped ? FFiles / 4 : FFiles;
    const QString Program = QString::fromUtf8(Grouped ? CORVENA_INDEX_TESTHOOKS_PROGRAM : CORVENA_INDEX_PROGRAM);
    QStringList Run = Arguments(Grouped ? std::vector<std::string>{} : std::vector<std::string>{"--commit-ms", "0"});
    Run[1] = QString::fromStdString(Songs);
    const QProcessEnvironment Environment = CleanEnvironment(Grouped ? 1 : 0);
    const auto RunWhole = [&](const QStringList& AArguments) {
        QProcess Process;
        Process.setProcessEnvironment(Environment);
        Process.start(Program, AArguments);
        return Process.waitForFinished(120000) && Process.exitStatus() == QProcess::NormalExit
                   ? Process.exitCode()
                   : -1;
    };
    FreshLocal();
    QElapsedTimer Whole;
    Whole.start();
    ASSERT_EQ(RunWhole(Run), 0);
    const int RunMs = static_cast<int>(Whole.elapsed());
    const unsigned Seed = static_cast<unsigned>(EnvInt("CORVENA_KILL_SEED", 1));
    std::mt19937 Random(Seed);
    std::map<std::string, int> AfterKill, AfterRerun;
    int Killed = 0;
    for (int Round = 0; Round < Rounds; ++Round) {
        FreshLocal();
        QProcess Process;
        Process.setProcessEnvironment(Environment);
        Process.start(Program, Run);
        ASSERT_TRUE(Process.waitForStarted());
        QThread::msleep(std::uniform_int_distribution<int>(0, RunMs)(Random));
        ::kill(static_cast<pid_t>(Process.processId()), SIGKILL);
        ASSERT_TRUE(Process.waitForFinished(30000));
        Killed += Process.exitStatus() == QProcess::CrashExit ? 1 : 0;
        Add(AfterKill, Faults());
        // The rerun at full speed.
        ASSERT_EQ(QProcess::execute(QStringLiteral(CORVENA_INDEX_PROGRAM), Run + QStringList{QStringLiteral("--only-add")}),
                  0);
        Add(AfterRerun, Faults());
        EXPECT_EQ(Figure("select count(*) from Songs"), Expected);
    }
    std::printf("kill -9 rounds (%s): %d (%d killed mid-run, run %d ms, seed %u, %d files); after the kill: %s;"
                " after the rerun: %s\n",
                GetParam().Name, Rounds, Killed, RunMs, Seed, Expected, Describe(AfterKill).c_str(),
                Describe(AfterRerun).c_str());
    for (const auto& [Name, Count] : AfterKill)
        EXPECT_EQ(Count, 0) << Name << " after the kill";
    for (const auto& [Name, Count] : AfterRerun)
        EXPECT_EQ(Count, 0) << Name << " after the rerun";
}

INSTANTIATE_TEST_SUITE_P(CorvenaIndexConcurrency, CorvenaIndexKill,
                         ::testing::Values(TKillMode{"InGroups", true}, TKillMode{"FileByFile", false}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// A second run on the same local database, started while a slow run writes in groups, gets in
// between two groups: it is done, every song of its own written, while the first still runs (a
// run that held the write lock all along would keep it waiting until the end, or past its busy
// timeout).
TEST_F(CorvenaIndexConcurrency, ASecondRunGetsInBetweenGroups) {
    FreshLocal();
    QStringList Slow = Arguments();
    Slow[1] = QString::fromStdString((fs::path(FSongs) / "0").string());
    QProcess First;
    First.setProcessEnvironment(CleanEnvironment(20)); // 20 ms a file: 10 s for its 500 files
    First.start(QStringLiteral(CORVENA_INDEX_TESTHOOKS_PROGRAM), Slow);
    ASSERT_TRUE(First.waitForStarted());
    // Its first group is in.
    QElapsedTimer Timer;
    Timer.start();
    int Saved = 0;
    while (Saved == 0 && Timer.elapsed() < 30000) {
        ASSERT_EQ(First.state(), QProcess::Running) << First.readAllStandardError().toStdString();
        QThread::msleep(10);
        try {
            Saved = Figure("select count(*) from Songs");
        } catch (const std::runtime_error&) {
        }
    }
    ASSERT_GT(Saved, 0) << "the slow run committed nothing";

    QStringList Quick = Arguments();
    Quick[1] = QString::fromStdString((fs::path(FSongs) / "1").string());
    QProcess Second;
    Second.setProcessEnvironment(CleanEnvironment());
    Second.start(QStringLiteral(CORVENA_INDEX_PROGRAM), Quick);
    ASSERT_TRUE(Second.waitForFinished(60000));
    const int FirstsSongs = Figure("select count(*) from Songs where FilePath like '%/0/%'");
    ::kill(static_cast<pid_t>(First.processId()), SIGKILL);
    First.waitForFinished(30000);
    EXPECT_EQ(Second.exitCode(), 0) << Second.readAllStandardError().toStdString();
    EXPECT_LT(FirstsSongs, FFiles / 4) << "the second run waited for the first to end";
    EXPECT_EQ(Figure("select count(*) from Songs where FilePath like '%/1/%'"), FFiles / 4);
    for (const auto& [Name, Count] : Faults())
        EXPECT_EQ(Count, 0) << Name;
}

// Two runs at once on one local database write every song, language and type once.
TEST_F(CorvenaIndexConcurrency, TwoRunsAtOnceWriteNothingTwice) {
    const int Rounds = EnvInt("CORVENA_WRITER_ROUNDS", 3);
    std::map<std::string, int> Total;
    for (int Round = 0; Round < Rounds; ++Round) {
        FreshLocal();
        QProcess First, Second;
        for (QProcess* Process : {&First, &Second}) {
            Process->setProcessEnvironment(CleanEnvironment());
            Process->start(QStringLiteral(CORVENA_INDEX_PROGRAM), Arguments());
        }
        for (QProcess* Process : {&First, &Second}) {
            ASSERT_TRUE(Process->waitForFinished(300000));
            EXPECT_EQ(Process->exitCode(), 0) << Process->readAllStandardError().toStdString();
        }
        Add(Total, Faults());
        EXPECT_EQ(Figure("select count(*) from Songs"), FFiles);
    }
    std::printf("two-writer rounds: %d (%d files); %s\n", Rounds, FFiles, Describe(Total).c_str());
    for (const auto& [Name, Count] : Total)
        EXPECT_EQ(Count, 0) << Name;
}


// The host's plug-in adds the same songs through its own connection while a run writes them.
TEST_F(CorvenaIndexConcurrency, RunAndHostCallsAtOnceWriteNothingTwice) {
    void* Library = dlopen(VARNEL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Library, nullptr) << dlerror();
    const auto Call2DB = reinterpret_cast<T2DBFunc>(dlsym(Library, "_2DB"));
    ASSERT_NE(Call2DB, nullptr);
    const int Rounds = EnvInt("CORVENA_WRITER_ROUNDS", 3);
    std::map<std::string, int> Total;
    int Refused = 0;
    for (int Round = 0; Round < Rounds; ++Round) {
        FreshLocal();
        sqlite3* Host = nullptr;
        ASSERT_EQ(sqlite3_open(FLocal.c_str(), &Host), SQLITE_OK);
        // A host that waits for locks; synchronous=NORMAL, or every call's commit waits for
        // the disk (which only makes the test slow).
        sqlite3_busy_timeout(Host, 5000);
        ASSERT_EQ(sqlite3_exec(Host, "pragma synchronous=NORMAL", nullptr, nullptr, nullptr), SQLITE_OK);
        QProcess Run;
        Run.setProcessEnvironment(CleanEnvironment());
        Run.start(QStringLiteral(CORVENA_INDEX_PROGRAM), Arguments());
        ASSERT_TRUE(Run.waitForStarted());
        QElapsedTimer Timer;
        Timer.start();
        TVelStringPool Pool;
        for (int I = 1; I <= FFiles; ++I) {
            const std::string Name = std::to_string(100000 + I) + ".mpg";
            const std::string Path = (fs::path(FSongs) / std::to_string(I % 4) / Name).string();
            const auto Utf16 = [](const std::string& AText) {
                return QString::fromStdString(AText).toStdU16String();
            };
            TVelSongInfo Info{};
            Info.SongName = Pool.Make(Utf16("歌" + std::to_string(I)));
            Info.FilePath = Pool.Make(Utf16(Path));
            // Every other song without a number: the greatest number + 1.
            if (I % 2 == 0)
                Info.SongNumber = Pool.Make(Utf16(std::to_string(80000000 + I)));
            std::string Language = "L", Type = "T";
            Language += std::to_string(I % 37);
            Type += std::to_string(I % 23);
            Info.LanguageName = Pool.Make(Utf16(Language));
            Info.TypeName = Pool.Make(Utf16(I % 3 == 0 ? std::string("DJ") : Type));
            Refused += Call2DB(TVodSoft{}, Host, Info) == 0 ? 0 : 1;
        }
        const auto CallsMs = Timer.elapsed();
        ASSERT_TRUE(Run.waitForFinished(300000));
        std::printf("round %d: _2DB calls %lld ms, run %lld ms\n", Round,
                    static_cast<long long>(CallsMs), static_cast<long long>(Timer.elapsed()));
        EXPECT_EQ(Run.exitCode(), 0) << Run.readAllStandardError().toStdString();
        sqlite3_close(Host);
        // The plug-in never writes Discos: its own new songs have no mirror by design.
        auto Faults = this->Faults();
        Faults.erase("missing mirrors");
        Add(Total, Faults);
    }
    dlclose(Library);
    std::printf("run and _2DB rounds: %d (%d files); %s; _2DB calls refused: %d\n", Rounds, FFiles,
                Describe(Total).c_str(), Refused);
    EXPECT_EQ(Refused, 0);
    for (const auto& [Name, Count] : Total)
        EXPECT_EQ(Count, 0) << Name;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
