#include "AccessImport.h"
#include "SQLiteEngine.h"
#include "ThrdSongIdx.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcessEnvironment>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// The lookup key

struct TNameCase {
    const char* Path;
    bool Windows;
    const char* Name;
};

class MasterFileNameCases : public ::testing::TestWithParam<TNameCase> {};

TEST_P(MasterFileNameCases, TakesTheTextAfterTheLastSeparator) {
    const TNameCase& Case = GetParam();
    EXPECT_EQ(MasterFileName(Case.Path, Case.Windows ? WindowsPathStyle : NativePathStyle),
              Case.Name);
}

INSTANTIATE_TEST_SUITE_P(
    SongIdx, MasterFileNameCases,
    ::testing::Values(TNameCase{"/songs/a/00001.mpg", false, "00001.mpg"},
                      TNameCase{"/songs/AC:DC.mpg", false, "AC:DC.mpg"},
                      TNameCase{"/songs/x\\y.mpg", false, "x\\y.mpg"},
                      TNameCase{"00001.mpg", false, "00001.mpg"},
                      TNameCase{"/songs/", false, ""},
                      TNameCase{"D:\\Songs\\00001.mpg", true, "00001.mpg"},
                      TNameCase{"C:00001.mpg", true, "00001.mpg"},
                      TNameCase{"D:\\Songs\\AC:DC.mpg", true, "DC.mpg"},
                      TNameCase{"D:\\Songs\\", true, ""}));

// ---------------------------------------------------------------------------------------------
// The fixture library: a master of a few songs, a local database that knows one language and
// one disco type.

constexpr const char* MasterRows =
    "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName, TypeName,"
    " Special, PYCode, MediaType, PublishDate, CharsCount, Track, Sound, DemandTimes) values"
    " ('80000001', '月亮代表我的心', 'a.mpg', '邓丽君', '国语', '情歌', 'MTV', 'YLDBWDX', 'MPEG',"
    "  36000.5, 7, 1, 80, 12),"
    " ('80000002', '舞曲一', 'abc.mpg', '歌手乙', '粤语', 'DJ', '', 'WQY', 'VOB', null, 3, 0, 60, 0),"
    " ('80000003', '', 'noname.mpg', '歌手丙', '闽南语', '民歌', '', '', '', 36000, 0, 0, 0, 0),"
    " ('80000004', 'Back in Black', 'AC:DC.mpg', 'AC/DC', '英语', '摇滚', '', 'BIB', 'MPEG',"
    "  36000, 13, 0, 0, 0),"
    " ('80000005', '坏日期', 'baddate.mpg', '歌手丁', '国语', '情歌', '', '', '', 1e9, 0, 0, 0, 0),"
    " ('80000006', '坏数字', 'badnum.mpg', '歌手戊', '日语', '儿歌', '', '', '', 36000, 'seven',"
    "  0, 0, 0)";
constexpr const char* LocalRows = "insert into Languages (LanguageName) values ('国语');"
                                  "insert into DiscoTypes (TypeID, TypeName) values (7, 'DJ')";

constexpr const char* SongsState =
    "select group_concat(SongName || '@' || FilePath || '#' || ifnull(LanguageID, '-') || '/' ||"
    " ifnull(TypeID, '-'), ';') from (select * from Songs order by SongID)";
constexpr const char* DiscosState =
    "select group_concat(DiscoName || '@' || FilePath || '#' || TypeID, ';')"
    " from (select * from Discos order by DiscoID)";
constexpr const char* NamesState =
    "select ifnull((select group_concat(LanguageID || '=' || LanguageName, ',') from"
    " (select * from Languages order by LanguageID)), '') || ' | ' ||"
    " ifnull((select group_concat(TypeID || '=' || TypeName, ',') from"
    " (select * from SongTypes order by TypeID)), '')";

std::string Join(const std::vector<std::string>& AItems, const char* ASeparator) {
    std::string Result;
    for (const auto& Item : AItems)
        Result += (Result.empty() ? "" : ASeparator) + Item;
    return Result;
}

std::string Summary(const TSongIdxReport& AReport) {
    std::vector<std::string> Failed;
    for (const auto& Failure : AReport.Failures)
        Failed.push_back(Failure.Path);
    return "files=" + std::to_string(AReport.Files) + " matched=" + std::to_string(AReport.Matched) +
           " new=" + std::to_string(AReport.Inserted) + " rewritten=" +
           std::to_string(AReport.Updated) + " kept=" + std::to_string(AReport.Kept) +
           " noname=" + std::to_string(AReport.WithoutName) + " unmatched=[" +
           Join(AReport.Unmatched, ",") + "] failed=" + std::to_string(AReport.Failed) + "[" +
           Join(Failed, ",") + "] stopped=" + (AReport.Interrupted ? "1" : "0") +
           " runerror=" + (AReport.RunError.empty() ? "0" : "1");
}

// One message as the window saw it: the three statuses by name, progress as i/Count.
std::string ShortMessage(unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    if (AMsg == WM_WIZ_PROGRESS)
        return std::string("P").append(std::to_string(AWParam)).append("/").append(std::to_string(ALParam));
    if (AMsg == WM_WIZ_STATUS && AWParam == 1) {
        const QString Text = QString::fromUtf16(reinterpret_cast<const char16_t*>(ALParam));
        if (Text == QStringLiteral("正在初始化,请稍侯..."))
            return "S1";
        if (Text == QStringLiteral("正在索引歌曲..."))
            return "S2";
        if (Text == QStringLiteral("索引歌曲已完成!"))
            return "S3";
        return std::string("S?").append(Text.toStdString());
    }
    return std::string("?").append(std::to_string(AMsg));
}

class SongIdxTest : public ::testing::Test {
protected:
    void SetUp() override {
        FMaster = MakeDatabase(FDir, "Total.mdb", TSchemaKind::Master);
        FLocal = MakeDatabase(FDir, "Ktv.mdb", TSchemaKind::Local);
        RunSql(FMaster, MasterRows);
        RunSql(FLocal, LocalRows);
    }

    void Connect(bool ALocalReadOnly = false) {
        FCnnLocal = std::make_shared<TConnection>();
        FCnnLocal->SetConnectionString(JetConnectionString(FLocal));
        if (ALocalReadOnly)
            FCnnLocal->SetMode(TConnectMode::ShareDenyNone);
        FCnnLocal->SetConnected(true);
        FCnnTotal = std::make_shared<TConnection>();
        FCnnTotal->SetConnectionString(JetConnectionString(FMaster));
        FCnnTotal->SetMode(TConnectMode::ShareDenyNone);
        FCnnTotal->SetConnected(true);
    }

    // Runs a worker over AFiles as the wizard does and waits until it has deleted itself.
    // AOnMessage sees every message on the window's thread, the worker waiting meanwhile.
    // Returns the messages in order, "done" standing for the completion handler.
    std::vector<std::string> Run(const std::vector<std::string>& AFiles, bool AOverWrite,
                                 std::function<void(TSongIdxThrd&, QObject&, const std::string&)> AOnMessage = {}) {
        if (!FCnnLocal)
            Connect();
        auto Files = std::make_shared<QStringList>();
        for (const auto& File : AFiles)
            Files->append(QString::fromStdString(File));

        std::vector<std::string> Messages;
        TSongIdxThrd* Thrd = nullptr;
        QObject Window;
        const TWindowHandle Handle = RegisterWindow(
            &Window, [&](unsigned AMsg, TWParam AWParam, TLParam ALParam) -> TLParam {
                Messages.push_back(ShortMessage(AMsg, AWParam, ALParam));
                if (AOnMessage)
                    AOnMessage(*Thrd, Window, Messages.back());
                return 0;
            });
        Thrd = new TSongIdxThrd(Handle, FCnnLocal, FCnnTotal, Files, AOverWrite);
        FReport = Thrd->Report();
        bool Destroyed = false;
        QObject::connect(Thrd, &QThread::finished, &Window, [&Messages] { Messages.push_back("done"); });
        QObject::connect(Thrd, &QObject::destroyed, [&Destroyed] { Destroyed = true; });
        Thrd->start(QThread::LowPriority);
        QElapsedTimer Timer;
        Timer.start();
        while (!Destroyed && Timer.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_TRUE(Destroyed);
        return Messages;
    }

    TTempDir FDir;
    std::string FMaster;
    std::string FLocal;
    TConnectionRef FCnnLocal;
    TConnectionRef FCnnTotal;
    TSongIdxReportRef FReport;
};

// ---------------------------------------------------------------------------------------------
// Runs over the fixture library

struct TIndexCase {
    const char* Name;
    const char* LocalSetup;
    const char* MasterSetup;
    std::vector<std::string> Files;
    bool OverWrite;
    bool LocalReadOnly;
    const char* Messages;
    const char* Songs;
    const char* Discos;
    const char* Names;
    const char* Report;
    const char* FailureText; // part of every failure's text
    const char* RunError;    // part of the run's error ("" for none)
};

class SongIdxCases : public SongIdxTest, public ::testing::WithParamInterface<TIndexCase> {};

// The window went before the worker's end (closed during the indexing): nothing the worker does
// afterwards reaches this thread by a message. Its report, written to its end (the near matches
// last), is read once the worker has finished and freed with the worker; the thread sanitizer
// must see both come after the writing.
TEST_F(SongIdxTest, AWorkerWhoseWindowWentHandsItsReportOverWhole) {
    Connect();
    auto Window = std::make_unique<QObject>();
    const TWindowHandle Handle = RegisterWindow(Window.get(), [](unsigned, TWParam, TLParam) -> TLParam { return 0; });
    Window.reset();
    auto Files = std::make_shared<QStringList>(QStringList{"/s/a.mpg", "/s/a.mp4", "/s/none.mpg"});
    auto* Worker = new TSongIdxThrd(Handle, FCnnLocal, FCnnTotal, Files, true);
    TSongIdxReportRef Report = Worker->Report();
    const QPointer<QThread> Alive(Worker);
    QObject Owner;
    TWorkers Workers;
    std::string Seen;
    Workers.Start(Worker, Worker->End(), &Owner, [&] {
        Seen = Summary(*Report) + " near=" + std::to_string(Report->NearMatches.size());
    });
    // Its end handled as soon as it is posted, without QThread::wait or the event loop's wake-up
    // (which would order things by themselves): nothing but the worker's hand-over orders the
    // reading and the freeing after its writing.
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Seen.empty() && std::chrono::steady_clock::now() < Until) {
        QCoreApplication::sendPostedEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Seen, "files=3 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[/s/a.mp4,/s/none.mpg] "
                    "failed=0[] stopped=0 runerror=0 near=1");
    // The worker's reference is the last: the report goes with the worker.
    Report.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(Alive.isNull());
}

TEST_P(SongIdxCases, IndexesTheFixtureLibrary) {
    const TIndexCase& Case = GetParam();
    if (*Case.LocalSetup)
        RunSql(FLocal, Case.LocalSetup);
    if (*Case.MasterSetup)
        RunSql(FMaster, Case.MasterSetup);
    Connect(Case.LocalReadOnly);

    EXPECT_EQ(Join(Run(Case.Files, Case.OverWrite), " "), Case.Messages);
    EXPECT_EQ(QueryText(FLocal, SongsState), Case.Songs);
    EXPECT_EQ(QueryText(FLocal, DiscosState), Case.Discos);
    EXPECT_EQ(QueryText(FLocal, NamesState), Case.Names);
    ASSERT_TRUE(FReport);
    EXPECT_EQ(Summary(*FReport), Case.Report);
    for (const auto& Failure : FReport->Failures)
        EXPECT_NE(Failure.Error.find(Case.FailureText), std::string::npos) << Failure.Error;
    if (*Case.RunError)
        EXPECT_NE(FReport->RunError.find(Case.RunError), std::string::npos) << FReport->RunError;
    else
        EXPECT_EQ(FReport->RunError, "");
}

constexpr const char* OldSong = "insert into Songs (SongName, FilePath) values ('旧歌', '/s/a.mpg')";
constexpr const char* SummerInMaster =
    "insert into Songs (SongNumber, SongName, FilePath, LanguageName, TypeName, PublishDate,"
    " CharsCount, Track, Sound, DemandTimes) values ('9', '夏天', 'été.mpg', '', '', 0, 0, 0, 0, 0)";
constexpr const char* OldSummer = "insert into Songs (SongName, FilePath) values ('旧歌', '/s/été.mpg')";
constexpr const char* NamesInCapitals =
    "insert into Languages (LanguageName) values ('ÉLLÊ'); insert into SongTypes (TypeName)"
    " values ('ÉPOQUE'); insert into DiscoTypes (TypeID, TypeName) values (9, 'ÉPOQUE')";
constexpr const char* NamesInSmallLetters =
    "insert into Songs (SongNumber, SongName, FilePath, LanguageName, TypeName, PublishDate,"
    " CharsCount, Track, Sound, DemandTimes) values ('9', '名', 'x.mpg', 'éllê', 'époque', 0, 0, 0,"
    " 0, 0)";

INSTANTIATE_TEST_SUITE_P(
    SongIdx, SongIdxCases,
    ::testing::Values(
        TIndexCase{"UnknownFileSkippedProgressAdvances", "", "", {"/s/unknown.mpg", "/s/a.mpg"},
                   false, false, "S1 S2 P1/2 P2/2 S3 done", "月亮代表我的心@/s/a.mpg#1/1", "",
                   "1=国语 | 1=情歌",
                   "files=2 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[/s/unknown.mpg] "
                   "failed=0[] stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"EmptySongNameSkippedNamesAdded", "", "", {"/s/noname.mpg"}, true, false,
                   "S1 S2 P1/1 S3 done", "", "", "1=国语,2=闽南语 | 1=民歌",
                   "files=1 matched=1 new=0 rewritten=0 kept=0 noname=1 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"ExistingSongKeptNamesAdded", OldSong, "", {"/s/a.mpg"}, false, false,
                   "S1 S2 P1/1 S3 done", "旧歌@/s/a.mpg#-/-", "", "1=国语 | 1=情歌",
                   "files=1 matched=1 new=0 rewritten=0 kept=1 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"ExistingSongRewritten", OldSong, "", {"/s/a.mpg"}, true, false,
                   "S1 S2 P1/1 S3 done", "月亮代表我的心@/s/a.mpg#1/1", "", "1=国语 | 1=情歌",
                   "files=1 matched=1 new=0 rewritten=1 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"LetterCaseBlindMatchAndDiscoMirror", "", "", {"/s/ABC.MPG"}, false, false,
                   "S1 S2 P1/1 S3 done", "舞曲一@/s/ABC.MPG#2/1", "舞曲一@/s/ABC.MPG#7",
                   "1=国语,2=粤语 | 1=DJ",
                   "files=1 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"SameNameInTwoFolders", "", "", {"/s/1/a.mpg", "/s/2/a.mpg"}, false, false,
                   "S1 S2 P1/2 P2/2 S3 done",
                   "月亮代表我的心@/s/1/a.mpg#1/1;月亮代表我的心@/s/2/a.mpg#1/1", "",
                   "1=国语 | 1=情歌",
                   "files=2 matched=2 new=2 rewritten=0 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"ColonAndBackslashBelongToTheName", "", "", {"/s/AC:DC.mpg", "/s/x\\a.mpg"},
                   false, false, "S1 S2 P1/2 P2/2 S3 done", "Back in Black@/s/AC:DC.mpg#2/1", "",
                   "1=国语,2=英语 | 1=摇滚",
                   "files=2 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[/s/x\\a.mpg] "
                   "failed=0[] stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"DataErrorsStayWithTheirFile", "", "",
                   {"/s/baddate.mpg", "/s/badnum.mpg", "/s/a.mpg"}, false, false,
                   "S1 S2 P1/3 P2/3 P3/3 S3 done", "月亮代表我的心@/s/a.mpg#1/1", "",
                   "1=国语,2=日语 | 1=情歌,2=儿歌",
                   "files=3 matched=3 new=1 rewritten=0 kept=0 noname=0 unmatched=[] "
                   "failed=2[/s/baddate.mpg,/s/badnum.mpg] stopped=0 runerror=0",
                   "is not a valid", ""},
        TIndexCase{"MasterLackingAColumnFailsEveryFile", "", "alter table Songs drop column DemandTimes",
                   {"/s/a.mpg", "/s/abc.mpg", "/s/unknown.mpg"}, false, false,
                   "S1 S2 P1/3 P2/3 P3/3 S3 done", "", "", "1=国语,2=粤语 | 1=情歌,2=DJ",
                   "files=3 matched=2 new=0 rewritten=0 kept=0 noname=0 unmatched=[/s/unknown.mpg] "
                   "failed=2[/s/a.mpg,/s/abc.mpg] stopped=0 runerror=0",
                   "DemandTimes", ""},
        TIndexCase{"NoSongsInTheMasterCannotStart", "", "drop table Songs", {"/s/a.mpg"}, false,
                   false, "S1 done", "", "", "1=国语 | ",
                   "files=0 matched=0 new=0 rewritten=0 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=1",
                   "", "no such table: Songs"},
        TIndexCase{"FailedDiscoMirrorStillCountsTheSong",
                   "create trigger NoDisco before insert on Discos begin select raise(abort, 'no discos'); end",
                   "", {"/s/abc.mpg"}, false, false, "S1 S2 P1/1 S3 done", "舞曲一@/s/abc.mpg#2/1", "",
                   "1=国语,2=粤语 | 1=DJ",
                   "files=1 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[] "
                   "failed=1[/s/abc.mpg] stopped=0 runerror=0",
                   "no discos", ""},
        TIndexCase{"EmptyList", "", "", {}, false, false, "S1 S2 S3 done", "", "", "1=国语 | ",
                   "files=0 matched=0 new=0 rewritten=0 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        // Letter case in one run: one song per path whatever its case, the others fail.
        TIndexCase{"PathsDifferingOnlyInCaseGiveOneSong", "", "",
                   {"/s/abc.mpg", "/s/ABC.mpg", "/s/Abc.MPG"}, false, false,
                   "S1 S2 P1/3 P2/3 P3/3 S3 done", "舞曲一@/s/abc.mpg#2/1", "舞曲一@/s/abc.mpg#7",
                   "1=国语,2=粤语 | 1=DJ",
                   "files=3 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[] "
                   "failed=2[/s/ABC.mpg,/s/Abc.MPG] stopped=0 runerror=0",
                   "only in letter case from \"/s/abc.mpg\"", ""},
        TIndexCase{"CaseCollisionInAnotherScriptsFolder", "", "", {"/s/Ä/a.mpg", "/s/ä/A.mpg"},
                   false, false, "S1 S2 P1/2 P2/2 S3 done", "月亮代表我的心@/s/Ä/a.mpg#1/1", "",
                   "1=国语 | 1=情歌",
                   "files=2 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[] "
                   "failed=1[/s/ä/A.mpg] stopped=0 runerror=0",
                   "\"/s/Ä/a.mpg\"", ""},
        TIndexCase{"RewriteRunDoesNotRewriteTheSongTwice", OldSong, "", {"/s/a.mpg", "/s/A.mpg"},
                   true, false, "S1 S2 P1/2 P2/2 S3 done", "月亮代表我的心@/s/a.mpg#1/1", "",
                   "1=国语 | 1=情歌",
                   "files=2 matched=1 new=0 rewritten=1 kept=0 noname=0 unmatched=[] "
                   "failed=1[/s/A.mpg] stopped=0 runerror=0",
                   "\"/s/a.mpg\"", ""},
        TIndexCase{"CaseChangedSinceAnEarlierRunRewritesAsBefore", OldSong, "", {"/s/A.MPG"}, true,
                   false, "S1 S2 P1/1 S3 done", "月亮代表我的心@/s/a.mpg#1/1", "", "1=国语 | 1=情歌",
                   "files=1 matched=1 new=0 rewritten=1 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"AccentsAndWidthsAreNoCollision", "", "", {"/s/é/a.mpg", "/s/e/a.mpg", "/s/ｅ/a.mpg"},
                   false, false, "S1 S2 P1/3 P2/3 P3/3 S3 done",
                   "月亮代表我的心@/s/é/a.mpg#1/1;月亮代表我的心@/s/e/a.mpg#1/1;"
                   "月亮代表我的心@/s/ｅ/a.mpg#1/1",
                   "", "1=国语 | 1=情歌",
                   "files=3 matched=3 new=3 rewritten=0 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        // Only songs collide: files the master does not know are listed as unmatched.
        TIndexCase{"UnmatchedPathsDifferingOnlyInCaseAreUnmatched", "", "",
                   {"/s/readme.txt", "/s/README.TXT", "/s/a.mpg", "/s/FAQ.html", "/s/faq.html"},
                   false, false, "S1 S2 P1/5 P2/5 P3/5 P4/5 P5/5 S3 done",
                   "月亮代表我的心@/s/a.mpg#1/1", "", "1=国语 | 1=情歌",
                   "files=5 matched=1 new=1 rewritten=0 kept=0 noname=0 "
                   "unmatched=[/s/readme.txt,/s/README.TXT,/s/FAQ.html,/s/faq.html] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        // Indexed as été.mpg, renamed ÉTÉ.mpg: the same song, kept or rewritten under the
        // stored path.
        TIndexCase{"SongStoredInAnotherScriptsCaseIsKept", OldSummer, SummerInMaster,
                   {"/s/ÉTÉ.mpg"}, false, false, "S1 S2 P1/1 S3 done", "旧歌@/s/été.mpg#-/-", "",
                   "1=国语 | ",
                   "files=1 matched=1 new=0 rewritten=0 kept=1 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"SongStoredInAnotherScriptsCaseIsRewritten", OldSummer, SummerInMaster,
                   {"/s/ÉTÉ.mpg"}, true, false, "S1 S2 P1/1 S3 done", "夏天@/s/été.mpg#-/-", "",
                   "1=国语 | ",
                   "files=1 matched=1 new=0 rewritten=1 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"LanguageAndTypesInAnotherScriptsCase", NamesInCapitals, NamesInSmallLetters,
                   {"/s/x.mpg"}, false, false, "S1 S2 P1/1 S3 done", "名@/s/x.mpg#2/1",
                   "名@/s/x.mpg#9", "1=国语,2=ÉLLÊ | 1=ÉPOQUE",
                   "files=1 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        // A disco mirror whose song row another program deleted: the song is indexed again
        // and keeps one mirror.
        TIndexCase{"MirrorLeftByADeletedSongIsTakenOver",
                   "insert into Discos (DiscoName, FilePath, TypeID) values ('旧', '/s/abc.mpg', 7)",
                   "", {"/s/abc.mpg"}, false, false, "S1 S2 P1/1 S3 done", "舞曲一@/s/abc.mpg#2/1",
                   "舞曲一@/s/abc.mpg#7", "1=国语,2=粤语 | 1=DJ",
                   "files=1 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[] failed=0[] "
                   "stopped=0 runerror=0",
                   "", ""},
        TIndexCase{"UnusableDatabaseEndsTheRun", "", "", {"/s/a.mpg", "/s/abc.mpg", "/s/unknown.mpg"},
                   false, true, "S1 S2 P1/3 S3 done", "", "", "1=国语 | ",
                   "files=1 matched=1 new=0 rewritten=0 kept=0 noname=0 unmatched=[] "
                   "failed=1[/s/a.mpg] stopped=0 runerror=1",
                   "readonly", "readonly"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// ---------------------------------------------------------------------------------------------
// Names in every script

struct TFoldCase {
    const char* Left;
    const char* Right;
    bool SameCase;  // equal under case folding
    bool SameWidth; // equal once full-width forms are read as ASCII as well
};

class FoldCases : public ::testing::TestWithParam<TFoldCase> {};

TEST_P(FoldCases, FoldLetterCaseOnly) {
    const TFoldCase& Case = GetParam();
    EXPECT_EQ(FoldCase(Case.Left) == FoldCase(Case.Right), Case.SameCase);
    EXPECT_EQ(FoldWidthAndCase(Case.Left) == FoldWidthAndCase(Case.Right), Case.SameWidth);
}

INSTANTIATE_TEST_SUITE_P(
    NameMatch, FoldCases,
    ::testing::Values(TFoldCase{"ABC.MPG", "abc.mpg", true, true},
                      TFoldCase{"ÉTÉ Ä Ø Ł Ő", "été ä ø ł ő", true, true},
                      TFoldCase{"ΣΟΦΊΑ ΛΌΓΟΣ", "σοφία λόγος", true, true},    // final sigma too
                      TFoldCase{"КАТЮША Ё", "катюша ё", true, true},
                      TFoldCase{"ＡＢＣ", "ａｂｃ", true, true},                   // full-width Latin
                      TFoldCase{"\U00010400", "\U00010428", true, true},        // four bytes
                      TFoldCase{"\u212A", "k", true, true},                     // Kelvin sign
                      TFoldCase{"été", "ete", false, false},                    // accents count
                      TFoldCase{"ＡＢ．ｍｐｇ", "AB.mpg", false, true},            // so do widths
                      TFoldCase{"Ａ　Ｂ", "a b", false, true},                   // ideographic space
                      TFoldCase{"ｶﾗｵｹ", "カラオケ", false, false},                 // half-width kana stay
                      TFoldCase{"straße", "STRASSE", false, false},             // one for one
                      TFoldCase{"İ", "i", false, false},
                      TFoldCase{"\xC3", "\xC4", false, false},                   // not UTF-8: bytes
                      TFoldCase{"\xC0\xC1", "A", false, false},                  // overlong
                      TFoldCase{"\xC3\xA4\xFF", "\xC3\x84\xFF", true, true}));

// A master row per case, looked up by a file named in another letter case.
struct TScriptCase {
    const char* Name;
    const char* MasterName;
    const char* FileName;
    bool Found;
};

class ScriptCases : public SongIdxTest, public ::testing::WithParamInterface<TScriptCase> {};

TEST_P(ScriptCases, MasterLookupIgnoresLetterCaseOnly) {
    const TScriptCase& Case = GetParam();
    RunSql(FMaster, std::string("insert into Songs (SongNumber, SongName, FilePath, LanguageName,"
                                " TypeName, PublishDate, CharsCount, Track, Sound, DemandTimes) values"
                                " ('90000001', '找到了', '") + Case.MasterName +
                        "', '', '', 36000, 0, 0, 0, 0)");
    Run({std::string("/s/") + Case.FileName}, false);
    ASSERT_TRUE(FReport);
    EXPECT_EQ(FReport->Matched, Case.Found ? 1 : 0);
    EXPECT_EQ(QueryText(FLocal, SongsState),
              Case.Found ? std::string("找到了@/s/") + Case.FileName + "#-/-" : "");
    EXPECT_EQ(FReport->Failed, 0);
}

INSTANTIATE_TEST_SUITE_P(
    SongIdx, ScriptCases,
    ::testing::Values(TScriptCase{"Ascii", "xyz.mpg", "XYZ.MPG", true},
                      TScriptCase{"LatinAccents", "été.mpg", "ÉTÉ.MPG", true},
                      TScriptCase{"LatinAccentsUpperInMaster", "BLONDEL PÈRE.mpg", "Blondel père.mpg", true},
                      TScriptCase{"Umlaut", "ä.mpg", "Ä.mpg", true},
                      TScriptCase{"Greek", "Σοφία.mpg", "ΣΟΦΊΑ.mpg", true},
                      TScriptCase{"GreekFinalSigma", "ΛΌΓΟΣ.mpg", "λόγος.mpg", true},
                      TScriptCase{"Cyrillic", "Катюша.mpg", "КАТЮША.MPG", true},
                      TScriptCase{"FullWidthLatin", "Ｆ.mpg", "ｆ.mpg", true},
                      TScriptCase{"FourByteLetters", "\U00010400.mpg", "\U00010428.mpg", true},
                      TScriptCase{"NotAccentBlind", "ete.mpg", "été.mpg", false},
                      TScriptCase{"NotWidthBlind", "AB.mpg", "ＡＢ.mpg", false},
                      TScriptCase{"SimpleFoldingOnly", "straße.mpg", "STRASSE.mpg", false},
                      // Decomposed names (e and U+0301, as macOS writes them onto shares).
                      TScriptCase{"DecomposedFile", "été.mpg", "e\u0301te\u0301.mpg", true},
                      TScriptCase{"DecomposedFileInCapitals", "été.mpg", "E\u0301TE\u0301.MPG", true},
                      TScriptCase{"DecomposedMaster", "e\u0301te\u0301.mpg", "ÉTÉ.mpg", true},
                      TScriptCase{"DecomposedKana", "ガ.mpg", "カ\u3099.mpg", true},
                      TScriptCase{"DecomposedIsNoAccentBlindness", "ete.mpg", "e\u0301te\u0301.mpg",
                                  false}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// The names of a real Access file (Jet 3, code page 1252), as a master's file names: each one
// is found by a file named in upper case, one letter for one.
TEST_F(SongIdxTest, AccessNamesFoundInUpperCase) {
    InstallAccessReader();
    TConnection Access;
    Access.SetConnectionString(JetConnectionString(std::string(ACCESS_TEST_DATA) + "/nwind.mdb"));
    Access.SetMode(TConnectMode::ShareDenyNone);
    Access.SetConnected(true);
    TQuery Names(Access);
    Names.SetSQL("select group_concat(CompanyName, '|') from Customers where CompanyName not like '%/%'");
    Names.Open();
    const QStringList Companies = QString::fromStdString(Names.FieldAsString(0)).split(u'|');
    ASSERT_GT(Companies.size(), 80);

    std::string Rows;
    std::vector<std::string> Files;
    for (const QString& Company : Companies) {
        std::string Quoted = Company.toStdString();
        for (std::size_t At = Quoted.find('\''); At != std::string::npos; At = Quoted.find('\'', At + 2))
            Quoted.insert(At, 1, '\'');
        Rows += std::string(Rows.empty() ? "" : ",") + "('" + Quoted + "', '" + Quoted +
                ".mpg', '', '', 36000, 0, 0, 0, 0)";
        QString Upper;
        for (const char32_t Code : Company.toUcs4())
            Upper += QString::fromUcs4(std::u32string(1, QChar::toUpper(Code)).data(), 1);
        Files.push_back("/s/" + Upper.toStdString() + ".MPG");
    }
    RunSql(FMaster, "insert into Songs (SongName, FilePath, LanguageName, TypeName, PublishDate,"
                    " CharsCount, Track, Sound, DemandTimes) values " + Rows);
    // The fault this guards against: the database alone folds ASCII only.
    ASSERT_NE(std::find(Files.begin(), Files.end(), "/s/BLONDEL PÈRE ET FILS.MPG"), Files.end());

    Run(Files, false);
    ASSERT_TRUE(FReport);
    EXPECT_EQ(Join(FReport->Unmatched, ","), "");
    EXPECT_EQ(FReport->Matched, static_cast<int>(Files.size()));
    EXPECT_EQ(FReport->Inserted, static_cast<int>(Files.size()));
}

// Near matches of unmatched files, against a master that also knows these names.
constexpr const char* NearRows =
    "insert into Songs (SongNumber, SongName, FilePath, LanguageName, TypeName, PublishDate,"
    " CharsCount, Track, Sound, DemandTimes) values"
    " ('1', '转一', '00042.mpg', '', '', 0, 0, 0, 0, 0), ('2', '转二', '00042.VOB', '', '', 0, 0, 0, 0, 0),"
    " ('3', '宽', 'ＣＤ.mpg', '', '', 0, 0, 0, 0, 0), ('4', '窄', 'AB.mpg', '', '', 0, 0, 0, 0, 0),"
    " ('5', '无', 'ete.mpg', '', '', 0, 0, 0, 0, 0), ('6', '另', 'abc.vob', '', '', 0, 0, 0, 0, 0),"
    " ('7', '同', '00042.Mpg', '', '', 0, 0, 0, 0, 0), ('8', '宽二', 'ａｂ.mp4', '', '', 0, 0, 0, 0, 0)";

struct TNearCase {
    const char* Name;
    std::vector<std::string> Files;
    const char* NearMatches; // PATH>MASTER NAME:REASON;...
    int Songs;
};

class NearMatchCases : public SongIdxTest, public ::testing::WithParamInterface<TNearCase> {};

TEST_P(NearMatchCases, ListedForUnmatchedFilesOnly) {
    RunSql(FMaster, NearRows);
    Run(GetParam().Files, true);
    ASSERT_TRUE(FReport);
    std::vector<std::string> Listed;
    for (const TNearMatch& Match : FReport->NearMatches)
        Listed.push_back(Match.Path + ">" + Match.MasterName + ":" + NearMatchReasonName(Match.Reason));
    EXPECT_EQ(Join(Listed, ";"), GetParam().NearMatches);
    // A near match is only reported: nothing of it reaches the database.
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs"), std::to_string(GetParam().Songs));
    EXPECT_EQ(FReport->Failed, 0);
}

INSTANTIATE_TEST_SUITE_P(
    SongIdx, NearMatchCases,
    ::testing::Values(
        TNearCase{"ConvertedVideo", {"/s/00042.mp4"},
                  "/s/00042.mp4>00042.mpg:extension;/s/00042.mp4>00042.VOB:extension", 0},
        TNearCase{"StemComparedWithoutLetterCase", {"/s/A.MP4"}, "/s/A.MP4>a.mpg:extension", 0},
        TNearCase{"NoExtension", {"/s/00042"},
                  "/s/00042>00042.mpg:extension;/s/00042>00042.VOB:extension", 0},
        TNearCase{"FullWidthFile", {"/s/ＡＢ.mpg"},
                  "/s/ＡＢ.mpg>AB.mpg:width;/s/ＡＢ.mpg>ａｂ.mp4:extension", 0},
        TNearCase{"FullWidthMaster", {"/s/cd.MPG"}, "/s/cd.MPG>ＣＤ.mpg:width", 0},
        TNearCase{"WidthBeforeExtension", {"/s/ab.MP4"},
                  "/s/ab.MP4>ａｂ.mp4:width;/s/ab.MP4>AB.mpg:extension", 0},
        TNearCase{"AccentsAreNoNearMatch", {"/s/été.mpg", "/s/x.mpg"}, "", 0},
        TNearCase{"MatchedFilesHaveNone", {"/s/abc.mpg", "/s/00042.MPG"}, "", 2},
        TNearCase{"InTheOrderIndexed", {"/s/cd.mpg", "/s/a.mpg", "/s/00042.mp4"},
                  "/s/cd.mpg>ＣＤ.mpg:width;/s/00042.mp4>00042.mpg:extension;"
                  "/s/00042.mp4>00042.VOB:extension",
                  1}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(SongIdxTest, SavedSongsCarryTheMasterColumnsAndTheWizardsDefaults) {
    Run({"/s/a.mpg", "/s/ABC.MPG"}, false);
    const std::string Columns =
        "select group_concat(SongNumber||'|'||SongName||'|'||FilePath||'|'||SingerName||'|'||"
        "PYCode||'|'||CharsCount||'|'||StrokesNumber||'|'||LanguageID||'|'||TypeID||'|'||"
        "Special||'|'||Track||'|'||Sound||'|'||IsNew||'|'||DemandTimes||'|'||MediaType||'|'||"
        "FileSize||'|'||typeof(PublishDate)||'|'||PublishDate, ';') from (select * from Songs "
        "order by SongID)";
    EXPECT_EQ(QueryText(FLocal, Columns),
              "80000001|月亮代表我的心|/s/a.mpg|邓丽君|YLDBWDX|7|0|1|1|MTV|1|80|0|12|MPEG|0|real|36000.5;"
              "80000002|舞曲一|/s/ABC.MPG|歌手乙|WQY|3|0|2|2||0|60|0|0|VOB|0|real|0.0");
}

TEST_F(SongIdxTest, TerminationStopsBeforeTheNextFile) {
    const auto Messages =
        Run({"/s/a.mpg", "/s/abc.mpg", "/s/noname.mpg"}, false,
            [](TSongIdxThrd& AThrd, QObject& AWindow, const std::string& AMessage) {
                if (AMessage == "P2/3") {
                    // The window's close handling: the handler goes first, then the request.
                    AThrd.disconnect(&AWindow);
                    AThrd.requestInterruption();
                }
            });
    EXPECT_EQ(Join(Messages, " "), "S1 S2 P1/3 P2/3 S3");
    EXPECT_EQ(QueryText(FLocal, SongsState), "月亮代表我的心@/s/a.mpg#1/1");
    ASSERT_TRUE(FReport);
    EXPECT_EQ(Summary(*FReport), "files=1 matched=1 new=1 rewritten=0 kept=0 noname=0 unmatched=[] "
                                 "failed=0[] stopped=1 runerror=0");
}

// Another program keeps the local database locked: the first write gives up after the busy
// timeout and the run ends there instead of waiting that long for every file.
TEST_F(SongIdxTest, DatabaseLockedPastTheBusyTimeoutEndsTheRun) {
    Connect();
    sqlite3* Other = nullptr;
    ASSERT_EQ(sqlite3_open(FLocal.c_str(), &Other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(Other, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
    QElapsedTimer Timer;
    Timer.start();
    const auto Messages = Run({"/s/a.mpg", "/s/abc.mpg", "/s/noname.mpg"}, false);
    const auto Elapsed = Timer.elapsed();
    sqlite3_exec(Other, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(Other);

    EXPECT_EQ(Join(Messages, " "), "S1 S2 P1/3 S3 done");
    EXPECT_LT(Elapsed, 9000);
    ASSERT_TRUE(FReport);
    EXPECT_EQ(Summary(*FReport), "files=1 matched=1 new=0 rewritten=0 kept=0 noname=0 unmatched=[] "
                                 "failed=1[/s/a.mpg] stopped=0 runerror=1");
    EXPECT_NE(FReport->RunError.find("locked"), std::string::npos) << FReport->RunError;
}

// The process dies (kill -9, power loss) the moment the disco mirror of the second song is
// written: the first song stays whole, the second is not there at all (no song row without its
// mirror), and the next run writes it whole.
TEST_F(SongIdxTest, KilledAtTheDiscoMirrorLeavesNoHalfSong) {
    const pid_t Child = fork();
    ASSERT_NE(Child, -1);
    if (Child == 0) {
        Connect();
        sqlite3_trace_v2(
            SQLiteHandle(*FCnnLocal), SQLITE_TRACE_STMT,
            [](unsigned, void*, void*, void* AText) {
                if (std::string_view(static_cast<const char*>(AText)).starts_with("Insert into Discos"))
                    raise(SIGKILL);
                return 0;
            },
            nullptr);
        Run({"/s/a.mpg", "/s/abc.mpg"}, false);
        _exit(3); // not killed: the mirror was never written
    }
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGKILL) << Status;
    EXPECT_EQ(QueryText(FLocal, SongsState), "月亮代表我的心@/s/a.mpg#1/1");
    EXPECT_EQ(QueryText(FLocal, DiscosState), "");
    EXPECT_EQ(QueryText(FLocal, NamesState), "1=国语 | 1=情歌");

    Run({"/s/a.mpg", "/s/abc.mpg"}, false);
    EXPECT_EQ(QueryText(FLocal, SongsState), "月亮代表我的心@/s/a.mpg#1/1;舞曲一@/s/abc.mpg#2/2");
    EXPECT_EQ(QueryText(FLocal, DiscosState), "舞曲一@/s/abc.mpg#7");
}

// Every statement text lives once on its connection and is run again for each file; none is
// left behind after the run.
std::map<std::string, int> LiveStatements(sqlite3* ADb) {
    std::map<std::string, int> Result;
    for (sqlite3_stmt* Stmt = sqlite3_next_stmt(ADb, nullptr); Stmt != nullptr;
         Stmt = sqlite3_next_stmt(ADb, Stmt)) {
        auto& Runs = Result[sqlite3_sql(Stmt)];
        EXPECT_EQ(Runs, 0) << "compiled twice: " << sqlite3_sql(Stmt);
        Runs = sqlite3_stmt_status(Stmt, SQLITE_STMTSTATUS_RUN, 0);
    }
    return Result;
}

TEST_F(SongIdxTest, ThreeFileRunMessagesAndStatementsCompiledOnce) {
    std::vector<std::string> Raw;
    std::map<std::string, int> Local, Master;
    QObject Window;
    Connect();
    const TWindowHandle Handle = RegisterWindow(
        &Window, [&](unsigned AMsg, TWParam AWParam, TLParam ALParam) -> TLParam {
            char Head[32];
            std::snprintf(Head, sizeof Head, "%#x %llu ", AMsg, static_cast<unsigned long long>(AWParam));
            Raw.push_back(Head + (AMsg == WM_WIZ_STATUS
                                      ? QString::fromUtf16(reinterpret_cast<const char16_t*>(ALParam))
                                            .toStdString()
                                      : std::to_string(ALParam)));
            if (AMsg == WM_WIZ_PROGRESS && AWParam == 3) {
                Local = LiveStatements(SQLiteHandle(*FCnnLocal));
                Master = LiveStatements(SQLiteHandle(*FCnnTotal));
            }
            return 0;
        });
    auto Files = std::make_shared<QStringList>(QStringList{"/s/a.mpg", "/s/1/a.mpg", "/s/abc.mpg"});
    auto* Thrd = new TSongIdxThrd(Handle, FCnnLocal, FCnnTotal, Files, false);
    bool Destroyed = false;
    QObject::connect(Thrd, &QThread::finished, &Window, [&Raw] { Raw.push_back("done"); });
    QObject::connect(Thrd, &QObject::destroyed, [&Destroyed] { Destroyed = true; });
    Thrd->start();
    QElapsedTimer Timer;
    Timer.start();
    while (!Destroyed && Timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(Destroyed);

    EXPECT_EQ(Raw, (std::vector<std::string>{"0x464 1 正在初始化,请稍侯...", "0x464 1 正在索引歌曲...",
                                             "0x466 1 3", "0x466 2 3", "0x466 3 3",
                                             "0x464 1 索引歌曲已完成!", "done"}));
    EXPECT_EQ(Master, (std::map<std::string, int>{{SqlMasterSong, 2}}));
    EXPECT_EQ(Local, (std::map<std::string, int>{{SqlSelectLanguage, 2},
                                                 {SqlSelectSongType, 2},
                                                 {SqlSelectDiscoType, 2},
                                                 {SqlSongExists, 2},
                                                 {SqlSongInsert, 2},
                                                 {SqlDiscoDelete, 2}}));
    EXPECT_EQ(sqlite3_next_stmt(SQLiteHandle(*FCnnLocal), nullptr), nullptr);
    EXPECT_EQ(sqlite3_next_stmt(SQLiteHandle(*FCnnTotal), nullptr), nullptr);
    EXPECT_EQ(QueryText(FLocal, "select count(*) from Songs"), "3");
}

// A whole demo library (ktvdemo --out DIR): CORVENA_DEMO_DIR=DIR test_thrdsongidx
// --gtest_also_run_disabled_tests --gtest_filter='*DemoLibrary*'. Indexes every song file into a
// fresh copy of DIR/DataBase/Ktv.mdb and prints files per second.
TEST(SongIdxDemo, DISABLED_DemoLibrary) {
    namespace fs = std::filesystem;
    const fs::path Demo = qEnvironmentVariable("CORVENA_DEMO_DIR").toStdString();
    ASSERT_TRUE(fs::exists(Demo / "DataBase" / "Total.mdb")) << "CORVENA_DEMO_DIR=" << Demo;
    TTempDir Dir;
    const std::string Local = Dir.File("Ktv.mdb");
    fs::copy_file(Demo / "DataBase" / "Ktv.mdb", Local);

    std::vector<std::string> Paths;
    for (const auto& Entry : fs::recursive_directory_iterator(Demo / "Songs"))
        if (Entry.is_regular_file())
            Paths.push_back(Entry.path().string());
    std::sort(Paths.begin(), Paths.end());
    auto Files = std::make_shared<QStringList>();
    for (const auto& Path : Paths)
        Files->append(QString::fromStdString(Path));

    auto CnnLocal = std::make_shared<TConnection>();
    CnnLocal->SetConnectionString(JetConnectionString(Local));
    CnnLocal->SetConnected(true);
    auto CnnTotal = std::make_shared<TConnection>();
    CnnTotal->SetConnectionString(JetConnectionString((Demo / "DataBase" / "Total.mdb").string()));
    CnnTotal->SetMode(TConnectMode::ShareDenyNone);
    CnnTotal->SetConnected(true);

    // The window's side of the messages: the progress bar's two numbers.
    QObject Window;
    TWParam Shown = 0;
    const TWindowHandle Handle =
        RegisterWindow(&Window, [&Shown](unsigned AMsg, TWParam AWParam, TLParam) -> TLParam {
            if (AMsg == WM_WIZ_PROGRESS)
                Shown = AWParam;
            return 0;
        });
    auto* Thrd = new TSongIdxThrd(Handle, CnnLocal, CnnTotal, Files, false);
    const TSongIdxReportRef Report = Thrd->Report();
    // A real event loop, idle between messages as the wizard's is.
    QEventLoop Loop;
    QObject::connect(Thrd, &QObject::destroyed, &Loop, &QEventLoop::quit);
    const auto Start = std::chrono::steady_clock::now();
    Thrd->start(QThread::LowPriority);
    Loop.exec();
    const double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    std::printf("%zu files in %.2f s: %.0f files/s\nmatched %d, new %d, rewritten %d, kept %d, "
                "without a name %d, unmatched %zu, failed %d\n",
                Paths.size(), Seconds, static_cast<double>(Paths.size()) / Seconds, Report->Matched,
                Report->Inserted, Report->Updated, Report->Kept, Report->WithoutName,
                Report->Unmatched.size(), Report->Failed);
    EXPECT_EQ(Shown, Paths.size());
    EXPECT_EQ(Report->RunError, "");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
