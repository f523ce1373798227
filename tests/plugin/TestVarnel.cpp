// The plug-in through its export, loaded as the host loads it, on databases made from the
// reference schema and reached through the host's own SQLite handle.
#include "TestSupport.h"
#include "VelConnectionCases.h"
#include "VelTestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <dlfcn.h>

#include <cfenv>
#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

// The shared table's cases print as their name (gtest would dump their bytes).
void PrintTo(const TVelConnectionCase& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

namespace {

T2DBFunc Load2DB() {
    void* Library = dlopen(VARNEL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (Library == nullptr)
        throw std::runtime_error(dlerror());
    void* Symbol = dlsym(Library, "_2DB");
    if (Symbol == nullptr)
        throw std::runtime_error(dlerror());
    return reinterpret_cast<T2DBFunc>(Symbol);
}

// Parameter tables print as their case name (gtest would dump their bytes).
template <typename TCase>
requires requires(const TCase& ACase) {
    ACase.Name;
}
void PrintTo(const TCase& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

class VarnelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { F2DB = Load2DB(); }

    void SetUp() override {
        FFile = MakeDatabase(FDir, "Ktv.mdb", TSchemaKind::Local);
        FDb = OpenHostHandle(FFile, SQLITE_OPEN_READWRITE);
    }
    void TearDown() override { sqlite3_close(FDb); }

    // The host's connection: a plain handle, statements traced so that tests can count them
    // and look at the strings while a call is running.
    sqlite3* OpenHostHandle(const std::string& AFile, int AFlags) {
        sqlite3* Db = nullptr;
        if (sqlite3_open_v2(AFile.c_str(), &Db, AFlags, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + AFile);
        sqlite3_trace_v2(Db, SQLITE_TRACE_STMT, &VarnelTest::Traced, this);
        return Db;
    }
    static int Traced(unsigned, void* ATest, void*, void* AText) {
        auto* Test = static_cast<VarnelTest*>(ATest);
        // The call's own savepoint and write lock are no queries of the song.
        const std::string_view Text(static_cast<const char*>(AText));
        if (Text.starts_with("SAVEPOINT") || Text.starts_with("RELEASE") ||
            Text.starts_with("ROLLBACK") || Text == "delete from Songs where 0")
            return 0;
        ++Test->FStatements;
        if (Test->FOnStatement)
            Test->FOnStatement();
        return 0;
    }

    std::int32_t Call(const TVelSongInfo& AInfo) { return F2DB(FSoft, FDb, AInfo); }

    // A song with only a name and a path; everything else 0 or null.
    TVelSongInfo Song(std::u16string_view AFilePath, std::u16string_view AName = u"Song") {
        TVelSongInfo Info{};
        Info.SongName = FPool.Make(AName);
        Info.FilePath = FPool.Make(AFilePath);
        return Info;
    }

    std::string Text(const std::string& ASql) { return QueryText(FFile, ASql); }
    std::string Count(const std::string& ATable) { return Text("select count(*) from " + ATable); }
    std::string Row(const std::string& AFilePath) {
        return Text(std::string("select ") + VelRowColumns + " from Songs where FilePath='" +
                    AFilePath + "'");
    }
    std::string Column(const std::string& AColumn, const std::string& AFilePath) {
        return Text("select " + AColumn + " from Songs where FilePath='" + AFilePath + "'");
    }

    static inline T2DBFunc F2DB = nullptr;
    TTempDir FDir;
    std::string FFile;
    sqlite3* FDb = nullptr;
    TVelStringPool FPool;
    TVodSoft FSoft{};
    int FStatements = 0;
    std::function<void()> FOnStatement;
};

TEST_F(VarnelTest, EveryFieldLandsInItsColumn) {
    EXPECT_EQ(Call(VelSampleSong(FPool, u"D:\\Songs\\00001.mpg")), 0);
    EXPECT_EQ(Row("D:\\Songs\\00001.mpg"), VelSampleRow("D:\\Songs\\00001.mpg"));
    EXPECT_EQ(Count("Songs"), "1");
    EXPECT_EQ(Count("SongTypes"), "0") << "TypeID was given";
    EXPECT_EQ(Count("Languages"), "0") << "LanguageID was given";
    EXPECT_TRUE(FPool.CountsAsMade());
}

TEST_F(VarnelTest, TextIsStoredAsUtf8) {
    const struct {
        std::u16string Text;
        std::string Stored;
    } Cases[] = {
        {u"Plain", "Plain"},
        {u"流行 歌曲", "流行 歌曲"},
        {u"🎤🎶", "🎤🎶"},                                          // surrogate pairs
        {{u'a', char16_t(0xD800), u'b'}, "a\uFFFDb"},           // lone high surrogate
        {{char16_t(0xDC00), char16_t(0xD83C)}, "\uFFFD\uFFFD"}, // reversed pair
    };
    int N = 0;
    for (const auto& Case : Cases) {
        const std::string Path = std::string("p").append(std::to_string(++N));
        ASSERT_EQ(Call(Song(std::u16string(Path.begin(), Path.end()), Case.Text)), 0);
        EXPECT_EQ(Column("SongName", Path), Case.Stored) << Path;
    }
}

TEST_F(VarnelTest, EmptySongNameIsRejectedWithoutAnyStatement) {
    for (const TVelString Name : {TVelString(nullptr), FPool.Make(u"", 1, false)}) {
        TVelSongInfo Info = VelSampleSong(FPool, u"a.mpg");
        Info.SongName = Name;
        Info.LanguageID = 0;
        Info.TypeID = 0;
        FStatements = 0;
        EXPECT_EQ(Call(Info), -1);
        EXPECT_EQ(FStatements, 0);
    }
    EXPECT_EQ(Count("Songs") + Count("SongTypes") + Count("Languages"), "000");
    EXPECT_TRUE(FPool.CountsAsMade());
}

// ---------------------------------------------------------------------------------------------
// Song numbers generated for a record without one

struct TNumberCase {
    const char* Name;
    std::vector<const char*> Existing; // song numbers already in Songs (null for SQL null)
    const char* Expected;
};

class VarnelNumberTest : public VarnelTest, public ::testing::WithParamInterface<TNumberCase> {};

TEST_P(VarnelNumberTest, NextNumberFollowsTheGreatestInTextOrder) {
    int N = 0;
    for (const char* Number : GetParam().Existing) {
        const std::string Value = Number ? std::string("'").append(Number).append("'") : "null";
        RunSql(FFile, "insert into Songs (SongNumber, SongName, FilePath) values (" + Value +
                          ", 'Old', 'old" + std::to_string(++N) + "')");
    }
    ASSERT_EQ(Call(Song(u"new.mpg")), 0);
    EXPECT_EQ(Column("SongNumber", "new.mpg"), GetParam().Expected);
    EXPECT_EQ(Column("typeof(SongNumber)", "new.mpg"), "text");
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, VarnelNumberTest,
    ::testing::Values(
        TNumberCase{"EmptyTable", {}, "80000000"},
        TNumberCase{"OnlyNullNumbers", {nullptr, nullptr}, "80000000"},
        TNumberCase{"GreatestAtFloor", {"80000000"}, "80000001"},
        TNumberCase{"GreatestAboveFloor", {"80000001", "80000005", "80000003"}, "80000006"},
        TNumberCase{"GreatestBelowFloor", {"123", "79999999"}, "80000000"},
        TNumberCase{"ShortNumberOutranksLongInTextOrder", {"80000005", "90000"}, "80000000"},
        TNumberCase{"GreatestNotANumber", {"80000005", "A100"}, "80000000"},
        TNumberCase{"GreatestWithBlank", {"80000005", "80000006 "}, "80000000"},
        TNumberCase{"GreatestBeyond32Bits", {"80000005", "9999999999"}, "80000000"},
        TNumberCase{"GreatestJustBelowLimit", {"2147483646"}, "2147483647"},
        TNumberCase{"GreatestWithoutSuccessor", {"2147483647"}, "80000000"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// ---------------------------------------------------------------------------------------------
// Type and language lookups

struct TLookupCase {
    const char* Name;
    const char16_t* SongNumber;
    std::int32_t TypeID;
    const char16_t* TypeName;
    std::int32_t LanguageID;
    const char16_t* LanguageName;
    const char* StoredTypeID; // as quote() shows it: "0", not "NULL"
    const char* StoredLanguageID;
    const char* TypesAfter;
    const char* LanguagesAfter;
};

class VarnelLookupTest : public VarnelTest, public ::testing::WithParamInterface<TLookupCase> {};

TEST_P(VarnelLookupTest, MissingIdentifiersAreLookedUp) {
    // Present before the call: type 1 "Pop", language 1 "国语".
    RunSql(FFile, "insert into SongTypes (TypeName) values ('Pop');"
                  "insert into Languages (LanguageName) values ('国语')");
    const TLookupCase& Case = GetParam();
    TVelSongInfo Info = Song(u"x.mpg");
    Info.SongNumber = FPool.Make(Case.SongNumber);
    Info.TypeID = Case.TypeID;
    Info.TypeName = FPool.Make(Case.TypeName);
    Info.LanguageID = Case.LanguageID;
    Info.LanguageName = FPool.Make(Case.LanguageName);
    ASSERT_EQ(Call(Info), 0);
    EXPECT_EQ(Column("quote(TypeID)", "x.mpg"), Case.StoredTypeID);
    EXPECT_EQ(Column("quote(LanguageID)", "x.mpg"), Case.StoredLanguageID);
    EXPECT_EQ(Count("SongTypes"), Case.TypesAfter);
    EXPECT_EQ(Count("Languages"), Case.LanguagesAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, VarnelLookupTest,
    ::testing::Values(
        TLookupCase{"KnownTypeOtherCase", u"K1", 0, u"POP", 7, u"", "1", "7", "1", "1"},
        TLookupCase{"NewTypeIsAdded", u"K1", 0, u"Rock", 7, u"", "2", "7", "2", "1"},
        TLookupCase{"NoNumberKeepsTypeZero", u"", 0, u"Pop", 7, u"", "0", "7", "1", "1"},
        TLookupCase{"NoNumberAddsNoType", u"", 0, u"Rock", 7, u"", "0", "7", "1", "1"},
        TLookupCase{"EmptyTypeNameGivesZero", u"K1", 0, u"", 7, u"", "0", "7", "1", "1"},
        TLookupCase{"GivenTypeIsKept", u"K1", 9, u"Rock", 7, u"", "9", "7", "1", "1"},
        TLookupCase{"KnownLanguage", u"K1", 5, u"", 0, u"国语", "5", "1", "1", "1"},
        TLookupCase{"NewLanguageIsAdded", u"", 5, u"", 0, u"English", "5", "2", "1", "2"},
        TLookupCase{"EmptyLanguageNameGivesZero", u"K1", 5, u"", 0, u"", "5", "0", "1", "1"},
        TLookupCase{"GivenLanguageIsKept", u"K1", 5, u"", 8, u"English", "5", "8", "1", "1"},
        TLookupCase{"BothLookedUp", u"K1", 0, u"Rock", 0, u"English", "2", "2", "2", "2"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(VarnelTest, LanguageIsAddedOnceAndFoundAgainInAnotherLetterCase) {
    const std::u16string Names[] = {u"English", u"ENGLISH", u"english"};
    for (std::size_t I = 0; I < std::size(Names); ++I) {
        TVelSongInfo Info = Song(u"song" + std::u16string(1, char16_t(u'0' + I)));
        Info.LanguageName = FPool.Make(Names[I]);
        ASSERT_EQ(Call(Info), 0);
    }
    EXPECT_EQ(Count("Languages"), "1");
    EXPECT_EQ(Text("select LanguageName from Languages"), "English");
    EXPECT_EQ(Text("select group_concat(LanguageID) from Songs"), "1,1,1");
}

// The database's own comparison folds ASCII letters only; the plug-in finds a path, a type or
// a language stored in another letter case of any script, and updates under the stored path.
TEST_F(VarnelTest, PathsAndNamesInAnotherScriptsLetterCaseAreTheSameRows) {
    const struct {
        const char16_t* Path;
        const char16_t* Name;
        const char16_t* Type;
        const char16_t* Language;
    } Calls[] = {{u"/Été/été.mpg", u"First", u"ÉPOQUE", u"ÉLLÊ"},
                 {u"/ÉTÉ/ÉTÉ.MPG", u"Second", u"époque", u"éllê"},
                 {u"/été/Été.mpg", u"Third", u"Époque", u"Éllê"},
                 {u"/ete/ete.mpg", u"Fourth", u"epoque", u"elle"}}; // accents count
    for (const auto& Each : Calls) {
        TVelSongInfo Info = Song(Each.Path, Each.Name);
        Info.SongNumber = FPool.Make(u"K1");
        Info.TypeName = FPool.Make(Each.Type);
        Info.LanguageName = FPool.Make(Each.Language);
        ASSERT_EQ(Call(Info), 0) << "call " << &Each - Calls;
    }
    EXPECT_EQ(Text("select group_concat(SongName || '@' || FilePath || '#' || TypeID || '/' ||"
                   " LanguageID, ' ') from (select * from Songs order by SongID)"),
              "Third@/Été/été.mpg#1/1 Fourth@/ete/ete.mpg#2/2");
    EXPECT_EQ(Text("select group_concat(TypeName) from SongTypes"), "ÉPOQUE,epoque");
    EXPECT_EQ(Text("select group_concat(LanguageName) from Languages"), "ÉLLÊ,elle");
}

TEST_F(VarnelTest, EmptyNamesRunNoLookupQuery) {
    TVelSongInfo Info = Song(u"x.mpg");
    Info.SongNumber = FPool.Make(u"K1"); // a number, so the type would be looked up by name
    FStatements = 0;
    ASSERT_EQ(Call(Info), 0);
    EXPECT_EQ(FStatements, 2) << "only the existence query and the insert";
}

// ---------------------------------------------------------------------------------------------
// Update of a song already present

TEST_F(VarnelTest, EveryRowWithThePathInAnyLetterCaseIsUpdatedAndKeepsItsPath) {
    RunSql(FFile, "insert into Songs (SongNumber, SongName, FilePath, TypeID) values "
                  "('80000001', 'Old', 'D:\\Songs\\A.mpg', 3),"
                  "('80000002', 'Old', 'd:\\songs\\a.MPG', 3),"
                  "('80000003', 'Other', 'D:\\Songs\\B.mpg', 3)");
    const auto RowByID = [this](int AID) {
        return Text(std::string("select ") + VelRowColumns +
                    " from Songs where SongID=" + std::to_string(AID));
    };
    ASSERT_EQ(Call(VelSampleSong(FPool, u"D:\\SONGS\\A.MPG")), 0);
    EXPECT_EQ(Count("Songs"), "3");
    EXPECT_EQ(RowByID(1), VelSampleRow("D:\\Songs\\A.mpg"));
    EXPECT_EQ(RowByID(2), VelSampleRow("d:\\songs\\a.MPG"));
    EXPECT_EQ(Text("select SongName || SongNumber || TypeID from Songs where SongID=3"),
              "Other800000033");

    // No number and TypeID 0: both rows get a generated number (the greatest in text order is
    // now K0001, so the floor) and type 0, although the type name is known.
    RunSql(FFile, "insert into SongTypes (TypeName) values ('Pop')");
    TVelSongInfo Info = Song(u"d:\\songs\\A.mpg", u"Newer");
    Info.TypeName = FPool.Make(u"Pop");
    ASSERT_EQ(Call(Info), 0);
    EXPECT_EQ(Text("select group_concat(SongNumber || '/' || quote(TypeID) || '/' || FilePath, ' ')"
                   " from Songs where SongName='Newer'"),
              "80000000/0/D:\\Songs\\A.mpg 80000000/0/d:\\songs\\a.MPG");
}

// ---------------------------------------------------------------------------------------------
// PublishDate

struct TDateCase {
    const char* Name;
    double Value;
    std::int32_t Result;
    const char* Stored; // "" when nothing is written
};

class VarnelDateTest : public VarnelTest, public ::testing::WithParamInterface<TDateCase> {};

TEST_P(VarnelDateTest, PublishDateIsWrittenAsADateOrRejected) {
    const TDateCase& Case = GetParam();
    TVelSongInfo Info = Song(u"x.mpg");
    Info.LanguageName = FPool.Make(u"English");
    Info.PublishDate = Case.Value;
    EXPECT_EQ(Call(Info), Case.Result);
    EXPECT_EQ(Column("PublishDate", "x.mpg"), Case.Stored);
    // The language looked up before the date failed stays.
    EXPECT_EQ(Count("Languages"), "1");
    EXPECT_TRUE(FPool.CountsAsMade());
}

INSTANTIATE_TEST_SUITE_P(
    Dates, VarnelDateTest,
    ::testing::Values(TDateCase{"Zero", 0.0, 0, "0.0"},
                      TDateCase{"TimeOfDay", 45000.75, 0, "45000.75"},
                      TDateCase{"BeforeZeroWithTime", -1.25, 0, "-1.25"},
                      TDateCase{"FirstDay", -657434.0, 0, "-657434.0"},
                      TDateCase{"LastMoment", 2958465.99999, 0, "2958465.99999"},
                      TDateCase{"BeforeFirstDay", -657434.5, -1, ""},
                      TDateCase{"AfterLastDay", 2958466.0, -1, ""},
                      TDateCase{"NaN", std::numeric_limits<double>::quiet_NaN(), -1, ""},
                      TDateCase{"Infinity", std::numeric_limits<double>::infinity(), -1, ""},
                      TDateCase{"MinusInfinity", -std::numeric_limits<double>::infinity(), -1, ""}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// ---------------------------------------------------------------------------------------------
// The calling software's record and the reference counts

TEST_F(VarnelTest, SoftContentsHaveNoEffect) {
    const std::int32_t Codes[] = {0, 1, -1, std::numeric_limits<std::int32_t>::min()};
    const TVodSoft Softs[] = {
        {Codes[0], nullptr, nullptr, nullptr},
        {Codes[1], FPool.Make(u"Factory 厂商"), FPool.Make(u"1.0"), FPool.Make(u"Version")},
        {Codes[2], FPool.Make(u"Constant", -1), nullptr, FPool.Make(u"", 1, false)},
        {Codes[3], FPool.Make(u"Shared"), FPool.Make(u"x", 5), FPool.Make(u"y", 0)},
    };
    int N = 0;
    for (const TVodSoft& Soft : Softs) {
        FSoft = Soft;
        const std::string Path = "soft" + std::to_string(++N);
        ASSERT_EQ(Call(VelSampleSong(FPool, std::u16string(Path.begin(), Path.end()))), 0);
        EXPECT_EQ(Row(Path), VelSampleRow(Path));
    }
    EXPECT_EQ(Count("Songs"), "4");
    EXPECT_TRUE(FPool.CountsAsMade());
}

TEST_F(VarnelTest, EveryStringIsHeldOnceForTheCallAndReleasedAtTheEnd) {
    TVelSongInfo Info = VelSampleSong(FPool, u"x.mpg");
    const TVelString Shared = FPool.Make(u"shared");
    const TVelString Constant = FPool.Make(u"constant", -1);
    Info.SongTag = Shared;
    Info.MusicStyle = Shared;
    Info.MtvStyle = Constant;
    FSoft = {1, FPool.Make(u"Factory"), Constant, FPool.Make(u"Version", 3)};

    std::vector<std::int32_t> During;
    FOnStatement = [&] {
        if (During.empty())
            During = {TVelStringPool::RefCount(Info.SongName), TVelStringPool::RefCount(Shared),
                      TVelStringPool::RefCount(Constant),
                      TVelStringPool::RefCount(FSoft.FactoryName),
                      TVelStringPool::RefCount(FSoft.VersionName)};
    };
    ASSERT_EQ(Call(Info), 0);
    EXPECT_EQ(During, (std::vector<std::int32_t>{2, 3, -1, 2, 4}));
    EXPECT_TRUE(FPool.CountsAsMade());
}

// ---------------------------------------------------------------------------------------------
// Failures: always -1, never an exception into the host

class VarnelFailureTest;

struct TFailureCase {
    const char* Name;
    // Prepares the database or the host handle and adjusts the record.
    std::function<void(VarnelFailureTest&, TVelSongInfo&)> Arrange;
    const char* LanguagesAfter; // rows left in Languages; "" when the case drops the table
};

class VarnelFailureTest : public VarnelTest, public ::testing::WithParamInterface<TFailureCase> {
public:
    using VarnelTest::FDb;
    using VarnelTest::FDir;
    using VarnelTest::FFile;
    using VarnelTest::FPool;
    using VarnelTest::OpenHostHandle;
};

TEST_P(VarnelFailureTest, FailureGivesMinusOne) {
    TVelSongInfo Info = Song(u"x.mpg");
    Info.SongNumber = FPool.Make(u"K1");
    Info.TypeName = FPool.Make(u"Pop");
    Info.LanguageName = FPool.Make(u"English");
    GetParam().Arrange(*this, Info);
    EXPECT_EQ(Call(Info), -1);
    EXPECT_EQ(Column("count(*)", "x.mpg"), "0");
    if (*GetParam().LanguagesAfter != '\0') {
        EXPECT_EQ(Count("Languages"), GetParam().LanguagesAfter);
    }
    EXPECT_TRUE(FPool.CountsAsMade());
}

void SwapHostHandle(VarnelFailureTest& ATest, const std::string& AFile, int AFlags) {
    sqlite3_close(ATest.FDb);
    ATest.FDb = ATest.OpenHostHandle(AFile, AFlags);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, VarnelFailureTest,
    ::testing::Values(
        TFailureCase{"ConnectionWithoutTables",
                     [](VarnelFailureTest& T, TVelSongInfo&) {
                         const std::string Other = T.FDir.File("other.db");
                         RunSql(Other, "create table Unrelated (X)");
                         SwapHostHandle(T, Other, SQLITE_OPEN_READWRITE);
                     },
                     "0"},
        TFailureCase{"NoConnection",
                     [](VarnelFailureTest& T, TVelSongInfo&) {
                         sqlite3_close(T.FDb);
                         T.FDb = nullptr;
                     },
                     "0"},
        TFailureCase{"ReadOnlyConnection",
                     [](VarnelFailureTest& T, TVelSongInfo&) {
                         SwapHostHandle(T, T.FFile, SQLITE_OPEN_READONLY);
                     },
                     "0"},
        TFailureCase{
            "TypeLookupFails",
            [](VarnelFailureTest& T, TVelSongInfo&) { RunSql(T.FFile, "drop table SongTypes"); },
            "0"},
        TFailureCase{
            "LanguageLookupFails",
            [](VarnelFailureTest& T, TVelSongInfo&) { RunSql(T.FFile, "drop table Languages"); },
            ""},
        TFailureCase{"ExistenceCheckFails",
                     [](VarnelFailureTest& T, TVelSongInfo&) {
                         RunSql(T.FFile, "alter table Songs rename to SongsOld;"
                                         "create view Songs as select * from SongsOld");
                     },
                     "1"},
        TFailureCase{"InsertFails",
                     [](VarnelFailureTest& T, TVelSongInfo&) {
                         RunSql(T.FFile, "create trigger NoInsert before insert on Songs "
                                         "begin select raise(abort, 'refused'); end");
                     },
                     "1"},
        TFailureCase{"InsertChangesNoRow",
                     [](VarnelFailureTest& T, TVelSongInfo&) {
                         RunSql(T.FFile, "create trigger SkipInsert before insert on Songs "
                                         "begin select raise(ignore); end");
                     },
                     "1"},
        TFailureCase{
            "InvalidDate",
            [](VarnelFailureTest&, TVelSongInfo& AInfo) { AInfo.PublishDate = std::nan(""); }, "1"},
        TFailureCase{"NegativeStringLength",
                     [](VarnelFailureTest& T, TVelSongInfo& AInfo) {
                         AInfo.SingerName = T.FPool.Make(u"x");
                         TVelStringPool::Header(AInfo.SingerName).Length = -1;
                     },
                     "0"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// ---------------------------------------------------------------------------------------------
// The host's connection: as the call found it, whatever the locks of others (the table, with
// the reason for each cell, is shared with the 32-bit test hosts)

class VarnelConnectionTest : public VarnelTest,
                             public ::testing::WithParamInterface<TVelConnectionCase> {};

TEST_P(VarnelConnectionTest, HostConnectionIsLeftAsFoundAndZeroMeansSaved) {
    const TVelConnectionOutcome Outcome =
        VelRunConnectionCase(F2DB, GetParam(), FDir.File("Host.mdb"));
    for (const std::string& Failure : Outcome.Failures)
        ADD_FAILURE() << Failure << " (" << GetParam().Why << ")";
}

INSTANTIATE_TEST_SUITE_P(Connection, VarnelConnectionTest, ::testing::ValuesIn(VelConnectionCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(VarnelTest, WriteLockNotHadFailsTheCallBeforeAnyQueryOfTheSong) {
    // Another writer holds the lock past the host's busy timeout (none: the handle's default).
    sqlite3* Other = VelConnection::Open(FFile);
    ASSERT_NE(Other, nullptr);
    ASSERT_EQ(sqlite3_exec(Other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    TVelSongInfo Info = Song(u"x.mpg");
    Info.LanguageName = FPool.Make(u"English");
    FStatements = 0;
    EXPECT_EQ(Call(Info), -1);
    EXPECT_EQ(FStatements, 0) << "no lookup, numbering or existence query without the lock";
    EXPECT_EQ(sqlite3_get_autocommit(FDb), 1);
    sqlite3_close(Other);
}

TEST_F(VarnelTest, SongRefusedInsideTheHostsTransactionLeavesItAndItsWritesAsTheyWere) {
    // Refused by the date (before the statement runs) and by the table (the statement fails):
    // the language looked up stays, as in autocommit, and the host's own write before the call
    // is still its to commit.
    RunSql(FFile, "create trigger NoPath before insert on Songs when new.FilePath = 'refused' "
                  "begin select raise(abort, 'refused'); end");
    ASSERT_EQ(sqlite3_exec(FDb, "BEGIN IMMEDIATE; insert into SongTypes (TypeName) values ('Host')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    TVelSongInfo BadDate = Song(u"x.mpg");
    BadDate.LanguageName = FPool.Make(u"Date");
    BadDate.PublishDate = std::nan("");
    TVelSongInfo Refused = Song(u"refused");
    Refused.LanguageName = FPool.Make(u"Table");
    for (const TVelSongInfo& Info : {BadDate, Refused}) {
        EXPECT_EQ(Call(Info), -1);
        EXPECT_EQ(sqlite3_get_autocommit(FDb), 0);
        EXPECT_NE(sqlite3_exec(FDb, "RELEASE \"Varnel_2DB\"", nullptr, nullptr, nullptr), SQLITE_OK)
            << "the call left its savepoint";
    }
    ASSERT_EQ(sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(Text("select group_concat(TypeName) from SongTypes"), "Host");
    EXPECT_EQ(Text("select group_concat(LanguageName) from Languages"), "Date,Table");
    EXPECT_EQ(Count("Songs"), "0");
}

// ---------------------------------------------------------------------------------------------
// The caller's floating-point environment

TEST_F(VarnelTest, FloatingPointTrapsOfTheCallerAreMaskedDuringTheCallAndRestored) {
    // A caller that unmasks invalid-operation traps (as Delphi programs do) and has the
    // inexact flag raised: comparing a NaN date must not trap, and the caller gets its own
    // settings and flags back.
    std::feclearexcept(FE_ALL_EXCEPT);
    std::feraiseexcept(FE_INEXACT);
    feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    TVelSongInfo Info = Song(u"x.mpg");
    Info.PublishDate = std::nan("");
    const std::int32_t Result = Call(Info);
    const int Traps = fegetexcept();
    const int Flags = std::fetestexcept(FE_ALL_EXCEPT);
    fedisableexcept(FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    EXPECT_EQ(Result, -1);
    EXPECT_EQ(Traps, FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    EXPECT_EQ(Flags, FE_INEXACT);
}

} // namespace
