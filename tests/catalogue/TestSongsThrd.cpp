#include "SQLiteEngine.h"
#include "SongsThrd.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <functional>

namespace {

// A worker whose body the test gives.
class TTestThrd : public TSongsThrd {
public:
    using TSongsThrd::TSongsThrd;
    std::function<void(TTestThrd&)> Body;

protected:
    void run() override {
        if (Body)
            Body(*this);
    }
};

const char* const SongsState =
    "select group_concat(SongName || '@' || FilePath, ';') from (select * from Songs order by SongID)";
const char* const DiscosState = "select group_concat(DiscoName || '@' || FilePath || '#' || TypeID,"
                                " ';') from (select * from Discos order by DiscoID)";

class SongWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        FFile = MakeDatabase(FDir, "Ktv.mdb", TSchemaKind::Local);
        RunSql(FFile, "insert into DiscoTypes (TypeID, TypeName) values (7, 'DJ')");
        FCnn = std::make_shared<TConnection>();
        FCnn->SetConnectionString(JetConnectionString(FFile));
        FCnn->SetConnected(true);
        FThrd = std::make_unique<TTestThrd>(0, FCnn, nullptr);
    }

    static TKtvSongInfo Song(const std::string& AName, const std::string& APath,
                             const std::string& AType) {
        TKtvSongInfo Info;
        Info.SongNumber = "10000001";
        Info.SongName = AName;
        Info.FilePath = APath;
        Info.SingerName = "歌手";
        Info.TypeName = AType;
        return Info;
    }

    TTempDir FDir;
    std::string FFile;
    TConnectionRef FCnn;
    std::unique_ptr<TTestThrd> FThrd;
};

struct TSaveCase {
    const char* Name;
    const char* Setup;
    const char* Type;
    bool OverWrite;
    bool Result;
    const char* Songs;
    const char* Discos; // "" for no rows
};

class SaveSongCases : public SongWriterTest, public ::testing::WithParamInterface<TSaveCase> {};

TEST_P(SaveSongCases, WritesSongsAndTheDiscoMirror) {
    const TSaveCase& Case = GetParam();
    if (*Case.Setup)
        RunSql(FFile, Case.Setup);
    EXPECT_EQ(FThrd->SaveSong(Song("新歌", "D:\\Songs\\a.mpg", Case.Type), Case.OverWrite),
              Case.Result);
    EXPECT_EQ(QueryText(FFile, SongsState), Case.Songs);
    EXPECT_EQ(QueryText(FFile, DiscosState), Case.Discos);
}

constexpr const char* OneSong = "insert into Songs (SongName, FilePath) values ('旧歌', 'D:\\Songs\\a.mpg')";
constexpr const char* TwoSongs =
    "insert into Songs (SongName, FilePath) values ('旧歌', 'D:\\Songs\\a.mpg'),"
    " ('旧歌', 'd:\\SONGS\\A.MPG')";
constexpr const char* SongAndDisco =
    "insert into Songs (SongName, FilePath) values ('旧歌', 'D:\\Songs\\a.mpg');"
    "insert into Discos (DiscoName, FilePath, TypeID) values ('旧歌', 'D:\\Songs\\a.mpg', 1)";

constexpr const char* OrphanDisco = "insert into Discos (DiscoName, FilePath, TypeID) values"
                                   " ('旧歌', 'D:\\Songs\\a.mpg', 7)";
constexpr const char* RepeatedDiscos =
    "insert into Songs (SongName, FilePath) values ('旧歌', 'D:\\Songs\\a.mpg');"
    "insert into Discos (DiscoName, FilePath, TypeID) values ('旧歌', 'D:\\Songs\\a.mpg', 7),"
    " ('旧歌', 'd:\\songs\\A.MPG', 7), ('旧歌', 'D:\\Songs\\a.mpg', 7)";

INSTANTIATE_TEST_SUITE_P(
    SongWriter, SaveSongCases,
    ::testing::Values(
        TSaveCase{"NewDiscoSong", "", "dj", false, true, "新歌@D:\\Songs\\a.mpg",
                  "新歌@D:\\Songs\\a.mpg#7"},
        TSaveCase{"NewSongOfOtherType", "", "情歌", false, true, "新歌@D:\\Songs\\a.mpg", ""},
        TSaveCase{"NewSongWithoutType", "", "", false, true, "新歌@D:\\Songs\\a.mpg", ""},
        TSaveCase{"ExistingKeptWithoutOverWrite", OneSong, "DJ", false, false,
                  "旧歌@D:\\Songs\\a.mpg", ""},
        TSaveCase{"ExistingRowsAllUpdatedPathsKept", TwoSongs, "情歌", true, true,
                  "新歌@D:\\Songs\\a.mpg;新歌@d:\\SONGS\\A.MPG", ""},
        TSaveCase{"ExistingDiscoRowUpdated", SongAndDisco, "DJ", true, true,
                  "新歌@D:\\Songs\\a.mpg", "新歌@D:\\Songs\\a.mpg#7"},
        // A rewrite repairs a mirror that is missing.
        TSaveCase{"ExistingDiscoSongGetsItsMissingMirror", OneSong, "DJ", true, true,
                  "新歌@D:\\Songs\\a.mpg", "新歌@D:\\Songs\\a.mpg#7"},
        // One mirror a song, and none for a song of no disco type: the host's disco list
        // shows disco songs only.
        TSaveCase{"ExistingDiscoSongOfAnotherTypeNowLosesItsMirror", SongAndDisco, "情歌", true,
                  true, "新歌@D:\\Songs\\a.mpg", ""},
        TSaveCase{"ExistingDiscoSongWithoutATypeNowLosesItsMirror", SongAndDisco, "", true, true,
                  "新歌@D:\\Songs\\a.mpg", ""},
        TSaveCase{"KeptSongKeepsItsMirror", SongAndDisco, "情歌", false, false,
                  "旧歌@D:\\Songs\\a.mpg", "旧歌@D:\\Songs\\a.mpg#1"},
        TSaveCase{"NewDiscoSongTakesOverTheMirrorLeftByADeletedSong", OrphanDisco, "DJ", false,
                  true, "新歌@D:\\Songs\\a.mpg", "新歌@D:\\Songs\\a.mpg#7"},
        TSaveCase{"NewSongOfAnotherTypeDropsTheMirrorLeftByADeletedSong", OrphanDisco, "情歌",
                  false, true, "新歌@D:\\Songs\\a.mpg", ""},
        TSaveCase{"RepeatedMirrorsBecomeOne", RepeatedDiscos, "DJ", true, true,
                  "新歌@D:\\Songs\\a.mpg", "新歌@D:\\Songs\\a.mpg#7"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// A song stored under its path in another letter case of a script beyond ASCII, which the
// database's own comparison tells apart: it is the same song, kept or rewritten under the
// stored path, with its mirror.
struct TFoldedPathCase {
    const char* Name;
    const char* Stored;
    const char* Given;
    bool OverWrite;
    bool Result;
    const char* Songs;
    const char* Discos;
};

class FoldedPathCases : public SongWriterTest, public ::testing::WithParamInterface<TFoldedPathCase> {};

TEST_P(FoldedPathCases, SameSongWhateverTheLetterCase) {
    const TFoldedPathCase& Case = GetParam();
    RunSql(FFile, std::string("insert into Songs (SongName, FilePath) values ('旧歌', '") + Case.Stored +
                      "'); insert into Discos (DiscoName, FilePath, TypeID) values ('旧歌', '" +
                      Case.Stored + "', 7)");
    EXPECT_EQ(FThrd->SaveSong(Song("新歌", Case.Given, "DJ"), Case.OverWrite), Case.Result);
    EXPECT_EQ(QueryText(FFile, SongsState), Case.Songs);
    EXPECT_EQ(QueryText(FFile, DiscosState), Case.Discos);
}

INSTANTIATE_TEST_SUITE_P(
    SongWriter, FoldedPathCases,
    ::testing::Values(
        TFoldedPathCase{"AccentedCapitalsKept", "/s/été.mpg", "/s/ÉTÉ.mpg", false, false,
                        "旧歌@/s/été.mpg", "旧歌@/s/été.mpg#7"},
        TFoldedPathCase{"AccentedCapitalsRewritten", "/s/été.mpg", "/s/ÉTÉ.mpg", true, true,
                        "新歌@/s/été.mpg", "新歌@/s/été.mpg#7"},
        TFoldedPathCase{"CyrillicFolderAndAsciiName", "/s/Русские/a.mpg", "/s/РУССКИЕ/A.MPG", true,
                        true, "新歌@/s/Русские/a.mpg", "新歌@/s/Русские/a.mpg#7"},
        TFoldedPathCase{"GreekFinalSigma", "/s/ΛΌΓΟΣ.mpg", "/s/λόγος.mpg", true, true,
                        "新歌@/s/ΛΌΓΟΣ.mpg", "新歌@/s/ΛΌΓΟΣ.mpg#7"},
        TFoldedPathCase{"AccentsStillCount", "/s/ete.mpg", "/s/été.mpg", false, true,
                        "旧歌@/s/ete.mpg;新歌@/s/été.mpg", "旧歌@/s/ete.mpg#7;新歌@/s/été.mpg#7"},
        TFoldedPathCase{"OneLetterForOne", "/s/straße.mpg", "/s/STRASSE.mpg", false, true,
                        "旧歌@/s/straße.mpg;新歌@/s/STRASSE.mpg",
                        "旧歌@/s/straße.mpg#7;新歌@/s/STRASSE.mpg#7"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(SongWriterTest, ExistingSongWithoutOverWriteRunsOnlyTheExistenceQuery) {
    RunSql(FFile, OneSong);
    std::vector<std::string> Statements;
    sqlite3_trace_v2(
        SQLiteHandle(*FCnn), SQLITE_TRACE_STMT,
        [](unsigned, void* AContext, void*, void* AText) {
            static_cast<std::vector<std::string>*>(AContext)->push_back(static_cast<char*>(AText));
            return 0;
        },
        &Statements);
    EXPECT_FALSE(FThrd->SaveSong(Song("新歌", "d:\\songs\\A.mpg", "DJ"), false));
    sqlite3_trace_v2(SQLiteHandle(*FCnn), 0, nullptr, nullptr);
    EXPECT_EQ(Statements, std::vector<std::string>{SqlSongExists});
}

TEST_F(SongWriterTest, EveryColumnIsWrittenAndAbsentIdentifiersAreNull) {
    TKtvSongInfo Info = Song("月亮代表我的心", "D:\\Songs\\00001.mpg", "DJ");
    Info.SongNumber = "80000001";
    Info.PYCode = "YLDBWDX";
    Info.CharsCount = 7;
    Info.Special = "MTV";
    Info.Track = 1;
    Info.Sound = 80;
    Info.DemandTimes = 12;
    Info.MediaType = "MPEG";
    Info.PublishDate = 0.0;
    EXPECT_TRUE(FThrd->SaveSong(Info, false));
    EXPECT_EQ(QueryText(FFile,
                        "select SongNumber||'|'||SongName||'|'||SingerName||'|'||PYCode||'|'||"
                        "CharsCount||'|'||StrokesNumber||'|'||ifnull(LanguageID,'null')||'|'||"
                        "ifnull(TypeID,'null')||'|'||Special||'|'||Track||'|'||Sound||'|'||IsNew||'|'||"
                        "DemandTimes||'|'||MediaType||'|'||FileSize||'|'||typeof(PublishDate)||"
                        "'|'||PublishDate from Songs"),
              "80000001|月亮代表我的心|歌手|YLDBWDX|7|0|null|null|MTV|1|80|0|12|MPEG|0|real|0.0");
    EXPECT_EQ(QueryText(FFile, "select Player||'|'||PYCode||'|'||CharsCount||'|'||"
                               "ifnull(LanguageID,'null')||'|'||TypeID||'|'||Track||'|'||Sound "
                               "from Discos"),
              "歌手|YLDBWDX|7|null|7|1|80");

    Info.LanguageID = 3;
    Info.TypeID = 4;
    EXPECT_TRUE(FThrd->SaveSong(Info, true));
    EXPECT_EQ(QueryText(FFile, "select LanguageID||'|'||TypeID from Songs"), "3|4");
    EXPECT_EQ(QueryText(FFile, "select LanguageID||'|'||TypeID from Discos"), "3|7");
}

TEST_F(SongWriterTest, FailingDiscoStatementLeavesTheSongWritten) {
    RunSql(FFile, "create trigger NoDiscos before insert on Discos begin"
                  " select raise(abort, 'disco list is locked'); end");
    try {
        FThrd->SaveSong(Song("新歌", "D:\\Songs\\a.mpg", "DJ"), false);
        FAIL() << "no error";
    } catch (const TDatabaseError& Error) {
        EXPECT_NE(std::string(Error.what()).find("disco list is locked"), std::string::npos);
    }
    EXPECT_EQ(QueryText(FFile, SongsState), "新歌@D:\\Songs\\a.mpg");
}

TEST_F(SongWriterTest, InvalidPublishDateWritesNothing) {
    TKtvSongInfo Info = Song("新歌", "D:\\Songs\\a.mpg", "DJ");
    Info.PublishDate = 1e9;
    EXPECT_THROW(FThrd->SaveSong(Info, false), TDatabaseError);
    EXPECT_EQ(QueryText(FFile, "select count(*) from Songs"), "0");
}

TEST_F(SongWriterTest, LookupsWorkOnTheLocalConnection) {
    EXPECT_EQ(FThrd->GetTypeID("情歌"), TOptionalID(1));
    EXPECT_EQ(FThrd->GetLanguageID("国语"), TOptionalID(1));
    EXPECT_EQ(FThrd->GetDiscoTypeID("dj"), TOptionalID(7));
    EXPECT_EQ(FThrd->GetTypeID(""), std::nullopt);
    auto Query = TSongsThrd::CreateQuery(*FCnn, "select * from SongTypes");
    EXPECT_TRUE(Query->Prepared());
    Query->Open();
    EXPECT_EQ(Query->FieldAsString("TypeName"), "情歌");
}

// The owner lets go of the connection while the worker still writes through it: the worker
// keeps it alive, finishes, deletes itself, and the connection closes after it.
TEST(SongsThrdLifetime, WorkerOutlivesTheOwnersConnection) {
    TTempDir Dir;
    const std::string File = MakeDatabase(Dir, "Ktv.mdb", TSchemaKind::Local);
    auto Cnn = std::make_shared<TConnection>();
    Cnn->SetConnectionString(JetConnectionString(File));
    Cnn->SetConnected(true);
    const std::weak_ptr<TConnection> Watch = Cnn;

    std::atomic<bool> OwnerLetGo{false};
    bool Destroyed = false;
    auto* Thrd = new TTestThrd(0, Cnn, nullptr);
    Thrd->Body = [&OwnerLetGo](TTestThrd& AThrd) {
        while (!OwnerLetGo)
            QThread::msleep(1);
        for (int I = 0; I < 200; ++I) {
            TKtvSongInfo Info;
            Info.SongName = "歌" + std::to_string(I);
            Info.FilePath = "/songs/" + std::to_string(I) + ".mpg";
            Info.TypeName = "情歌";
            Info.TypeID = AThrd.GetTypeID(Info.TypeName);
            AThrd.SaveSong(Info, false);
        }
    };
    QObject::connect(Thrd, &QObject::destroyed, [&Destroyed] { Destroyed = true; });
    Thrd->start();
    Cnn.reset(); // the window closes: it drops its reference and does not wait
    OwnerLetGo = true;
    EXPECT_FALSE(Watch.expired());

    QElapsedTimer Timer;
    Timer.start();
    while (!Destroyed && Timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(Destroyed);
    EXPECT_TRUE(Watch.expired());
    EXPECT_EQ(QueryText(File, "select count(*) from Songs"), "200");
    EXPECT_EQ(QueryText(File, "select count(*) from SongTypes"), "1");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
