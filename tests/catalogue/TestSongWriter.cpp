// One song writer for the index worker and the plug-in. The same table of cases runs through
// TSongsThrd::SaveSong (the worker's write, with overwriting off and on) and through _2DB as the
// host calls it; what differs (numbering, the disco mirror, the result code, refusing a record
// without a name) is what each row says. And the writer inside a caller's transaction, a
// savepoint a song: a group of songs committed together, a failed song rolled back alone.
#include "Savepoint.h"
#include "SongsThrd.h"
#include "TestSupport.h"
#include "Transaction.h"
#include "Utf8.h"
#include "VelTestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <dlfcn.h>

#include <ostream>
#include <stdexcept>
#include <string>

namespace {

// A worker whose writes the test makes on its own thread.
class TTestThrd : public TSongsThrd {
public:
    using TSongsThrd::TSongsThrd;

protected:
    void run() override {}
};

T2DBFunc Load2DB() {
    void* Library = dlopen(VARNEL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    void* Symbol = Library != nullptr ? dlsym(Library, "_2DB") : nullptr;
    if (Symbol == nullptr)
        throw std::runtime_error(dlerror());
    return reinterpret_cast<T2DBFunc>(Symbol);
}

const char* const SongsState = "select group_concat(SongNumber || '|' || SongName || '|' || FilePath, ';')"
                               " from (select * from Songs order by SongID)";
const char* const DiscosState = "select group_concat(DiscoName || '|' || FilePath || '|' || TypeID, ';')"
                                " from (select * from Discos order by DiscoID)";

// What one writer left: its result (SaveSong: 1 true, 0 false; _2DB: 0 or -1; -1 also for an
// error SaveSong raised) and the tables.
struct TOutcome {
    int Result;
    const char* Songs;
    const char* Discos;
};

struct TWriterCase {
    const char* Name;
    const char* Setup;
    // The record: SongName 新歌 (or none), this path, number and type name; LanguageID 2 and
    // TypeID 5 given, so that neither caller looks an identifier up.
    bool Named;
    const char* Path;
    const char* Number;
    const char* Type;
    TOutcome Kept;      // SaveSong, not overwriting
    TOutcome Rewritten; // SaveSong, overwriting
    TOutcome PlugIn;    // _2DB
};

void PrintTo(const TWriterCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

constexpr const char* SongAndMirror =
    "insert into Songs (SongNumber, SongName, FilePath) values ('K0', '旧歌', 'D:\\s\\a.mpg');"
    "insert into Discos (DiscoName, FilePath, TypeID) values ('旧歌', 'D:\\s\\a.mpg', 7)";
constexpr const char* SongInOtherAsciiCase =
    "insert into Songs (SongNumber, SongName, FilePath) values ('K0', '旧歌', 'd:\\S\\A.MPG');"
    "insert into Discos (DiscoName, FilePath, TypeID) values ('旧歌', 'd:\\S\\A.MPG', 7)";
constexpr const char* NoSongs =
    "create trigger NoSongs before insert on Songs begin select raise(abort, 'songs are locked'); end";
constexpr const char* NoDiscos = "create trigger NoDiscos before insert on Discos begin"
                                 " select raise(abort, 'disco list is locked'); end";

class WriterCases : public ::testing::TestWithParam<TWriterCase> {
protected:
    static void SetUpTestSuite() { F2DB = Load2DB(); }

    // A fresh database with the case's setup; DiscoTypes holds 7 'DJ'.
    std::string Database(const TTempDir& ADir) {
        const std::string File = MakeDatabase(ADir, "Ktv.mdb", TSchemaKind::Local);
        RunSql(File, "insert into DiscoTypes (TypeID, TypeName) values (7, 'DJ')");
        if (*GetParam().Setup)
            RunSql(File, GetParam().Setup);
        return File;
    }

    int SaveSong(const std::string& AFile, bool AOverWrite) {
        const TWriterCase& Case = GetParam();
        auto Cnn = std::make_shared<TConnection>();
        Cnn->SetConnectionString(JetConnectionString(AFile));
        Cnn->SetConnected(true);
        TTestThrd Thrd(0, Cnn, nullptr);
        TKtvSongInfo Info;
        Info.SongNumber = Case.Number;
        Info.SongName = Case.Named ? "新歌" : "";
        Info.FilePath = Case.Path;
        Info.LanguageID = 2;
        Info.TypeID = 5;
        Info.TypeName = Case.Type;
        try {
            return Thrd.SaveSong(Info, AOverWrite) ? 1 : 0;
        } catch (const TDatabaseError&) {
            return -1;
        }
    }

    int PlugIn(const std::string& AFile) {
        const TWriterCase& Case = GetParam();
        const auto U16 = [](const std::string& AText) {
            std::u16string Result;
            for (std::size_t I = 0; I < AText.size();) {
                char32_t Code = 0;
                const std::size_t Length = DecodeUtf8(AText, I, Code);
                Result.push_back(static_cast<char16_t>(Code)); // the cases' text is in the BMP
                I += Length;
            }
            return Result;
        };
        TVelStringPool Pool;
        TVelSongInfo Info{};
        Info.SongNumber = Pool.Make(U16(Case.Number));
        Info.SongName = Pool.Make(Case.Named ? u"新歌" : u"");
        Info.FilePath = Pool.Make(U16(Case.Path));
        Info.LanguageID = 2;
        Info.TypeID = 5;
        Info.TypeName = Pool.Make(U16(Case.Type));
        sqlite3* Db = nullptr;
        if (sqlite3_open_v2(AFile.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + AFile);
        const TVodSoft Soft{};
        const int Result = F2DB(Soft, Db, Info);
        sqlite3_close(Db);
        return Result;
    }

    static void Expect(const char* AWho, int AResult, const std::string& AFile, const TOutcome& AOutcome) {
        EXPECT_EQ(AResult, AOutcome.Result) << AWho;
        EXPECT_EQ(QueryText(AFile, SongsState), AOutcome.Songs) << AWho;
        EXPECT_EQ(QueryText(AFile, DiscosState), AOutcome.Discos) << AWho;
    }

    static inline T2DBFunc F2DB = nullptr;
};

TEST_P(WriterCases, IndexWorkerAndPlugInWriteThroughOneWriter) {
    {
        TTempDir Dir;
        const std::string File = Database(Dir);
        Expect("SaveSong, not overwriting", SaveSong(File, false), File, GetParam().Kept);
    }
    {
        TTempDir Dir;
        const std::string File = Database(Dir);
        Expect("SaveSong, overwriting", SaveSong(File, true), File, GetParam().Rewritten);
    }
    {
        TTempDir Dir;
        const std::string File = Database(Dir);
        Expect("_2DB", PlugIn(File), File, GetParam().PlugIn);
    }
}

INSTANTIATE_TEST_SUITE_P(
    SongWriter, WriterCases,
    ::testing::Values(
        TWriterCase{"NewSongOfADiscoType", "", true, "D:\\s\\a.mpg", "K1", "dj",
                    {1, "K1|新歌|D:\\s\\a.mpg", "新歌|D:\\s\\a.mpg|7"},
                    {1, "K1|新歌|D:\\s\\a.mpg", "新歌|D:\\s\\a.mpg|7"},
                    {0, "K1|新歌|D:\\s\\a.mpg", ""}},
        TWriterCase{"NewSongWithoutANumber", "", true, "D:\\s\\a.mpg", "", "情歌",
                    {1, "|新歌|D:\\s\\a.mpg", ""},
                    {1, "|新歌|D:\\s\\a.mpg", ""},
                    {0, "80000000|新歌|D:\\s\\a.mpg", ""}},
        TWriterCase{"NumberAfterTheGreatest",
                    "insert into Songs (SongNumber, SongName, FilePath) values ('80000005', '旧', 'D:\\s\\b.mpg')",
                    true, "D:\\s\\a.mpg", "", "",
                    {1, "80000005|旧|D:\\s\\b.mpg;|新歌|D:\\s\\a.mpg", ""},
                    {1, "80000005|旧|D:\\s\\b.mpg;|新歌|D:\\s\\a.mpg", ""},
                    {0, "80000005|旧|D:\\s\\b.mpg;80000006|新歌|D:\\s\\a.mpg", ""}},
        TWriterCase{"SongThereInAnotherAsciiCase", SongInOtherAsciiCase, true, "D:\\s\\a.mpg", "K1", "DJ",
                    {0, "K0|旧歌|d:\\S\\A.MPG", "旧歌|d:\\S\\A.MPG|7"},
                    {1, "K1|新歌|d:\\S\\A.MPG", "新歌|d:\\S\\A.MPG|7"},
                    {0, "K1|新歌|d:\\S\\A.MPG", "旧歌|d:\\S\\A.MPG|7"}},
        TWriterCase{"SongThereInAnotherScriptsCase",
                    "insert into Songs (SongNumber, SongName, FilePath) values ('K0', '旧歌', 'D:\\s\\été.mpg')",
                    true, "D:\\s\\ÉTÉ.mpg", "K1", "",
                    {0, "K0|旧歌|D:\\s\\été.mpg", ""},
                    {1, "K1|新歌|D:\\s\\été.mpg", ""},
                    {0, "K1|新歌|D:\\s\\été.mpg", ""}},
        TWriterCase{"SongOfAnotherTypeLosesItsMirror", SongAndMirror, true, "D:\\s\\a.mpg", "K1", "情歌",
                    {0, "K0|旧歌|D:\\s\\a.mpg", "旧歌|D:\\s\\a.mpg|7"},
                    {1, "K1|新歌|D:\\s\\a.mpg", ""},
                    {0, "K1|新歌|D:\\s\\a.mpg", "旧歌|D:\\s\\a.mpg|7"}},
        TWriterCase{"SongStatementFails", NoSongs, true, "D:\\s\\a.mpg", "K1", "DJ",
                    {-1, "", ""}, {-1, "", ""}, {-1, "", ""}},
        // The song row stays and the disco step is undone whole.
        TWriterCase{"DiscoStepFails", NoDiscos, true, "D:\\s\\a.mpg", "K1", "DJ",
                    {-1, "K1|新歌|D:\\s\\a.mpg", ""},
                    {-1, "K1|新歌|D:\\s\\a.mpg", ""},
                    {0, "K1|新歌|D:\\s\\a.mpg", ""}},
        // The worker never hands the writer a record without a name; the plug-in refuses one.
        TWriterCase{"RecordWithoutAName", "", false, "D:\\s\\a.mpg", "K1", "",
                    {1, "K1||D:\\s\\a.mpg", ""},
                    {1, "K1||D:\\s\\a.mpg", ""},
                    {-1, "", ""}}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// Whole songs committed in a group: one transaction, a savepoint a song. A song whose disco
// step fails is rolled back alone, song row included; nothing is seen before the commit.
TEST(SongWriterGroups, ASavepointASongInsideTheCallersTransaction) {
    TTempDir Dir;
    const std::string File = MakeDatabase(Dir, "Ktv.mdb", TSchemaKind::Local);
    RunSql(File, "insert into DiscoTypes (TypeID, TypeName) values (7, 'DJ');"
                 "create trigger NoB before insert on Discos when new.FilePath like '%b.mpg' begin"
                 " select raise(abort, 'no b'); end");
    TConnection Cnn;
    Cnn.SetConnectionString(JetConnectionString(File));
    Cnn.SetConnected(true);
    TQueryCache Queries;
    TSongWriter Writer(Cnn, IndexerWriteRules(false), &Queries);
    std::vector<std::string> Failed;
    {
        TTransaction Group(Cnn);
        for (const char* Name : {"a", "b", "c"}) {
            TKtvSongInfo Info;
            Info.SongName = Name;
            Info.FilePath = std::string("/s/") + Name + ".mpg";
            Info.TypeName = "DJ";
            TSavepoint Song(Cnn, "Song");
            TSongWriteResult Result;
            try {
                Writer.Write(Info, Result);
                Song.Release();
            } catch (const TDatabaseError&) {
                Failed.push_back(Name); // the savepoint goes unreleased: the song is undone
            }
        }
        EXPECT_EQ(QueryText(File, "select count(*) from Songs"), "0");
        Group.Commit();
    }
    EXPECT_EQ(Failed, std::vector<std::string>{"b"});
    EXPECT_EQ(QueryText(File, "select group_concat(FilePath, ';') from Songs"), "/s/a.mpg;/s/c.mpg");
    EXPECT_EQ(QueryText(File, "select group_concat(FilePath, ';') from Discos"), "/s/a.mpg;/s/c.mpg");
}

} // namespace
