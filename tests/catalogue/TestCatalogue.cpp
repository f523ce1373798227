#include "Catalogue.h"
#include "SQLiteEngine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <vector>

namespace {

class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override {
        FFile = MakeDatabase(FDir, "Ktv.mdb", TSchemaKind::Local);
        FCnn.SetConnectionString(JetConnectionString(FFile));
        FCnn.SetConnected(true);
    }
    std::string Count(const std::string& ATable) {
        return QueryText(FFile, "select count(*) from " + ATable);
    }
    // The four lookups that add names: the wizard's and the plug-in's, with their tables.
    struct TLookup {
        const char* Table;
        std::function<TOptionalID(const std::string&)> Lookup;
    };
    std::vector<TLookup> AddingLookups() {
        return {
            {"SongTypes", [this](const std::string& N) { return GetTypeID(FCnn, N); }},
            {"Languages", [this](const std::string& N) { return GetLanguageID(FCnn, N); }},
            {"SongTypes", [this](const std::string& N) { return TOptionalID(PlugInTypeID(FCnn, N)); }},
            {"Languages", [this](const std::string& N) { return TOptionalID(PlugInLanguageID(FCnn, N)); }},
        };
    }

    TTempDir FDir;
    std::string FFile;
    TConnection FCnn;
};

TEST(CatalogueLookups, EmptyNameRunsNoQuery) {
    // A database without any table: a query would fail.
    TTempDir Dir;
    const std::string File = Dir.File("empty.db");
    RunSql(File, "pragma user_version = 1");
    TConnection Cnn;
    Cnn.SetConnectionString(JetConnectionString(File));
    Cnn.SetConnected(true);
    EXPECT_EQ(GetTypeID(Cnn, ""), std::nullopt);
    EXPECT_EQ(GetLanguageID(Cnn, ""), std::nullopt);
    EXPECT_EQ(GetDiscoTypeID(Cnn, ""), std::nullopt);
    EXPECT_EQ(PlugInTypeID(Cnn, ""), 0);
    EXPECT_EQ(PlugInLanguageID(Cnn, ""), 0);
    EXPECT_THROW(GetTypeID(Cnn, "x"), TDatabaseError);
}

TEST_F(CatalogueTest, MissingNameIsAddedOnceAndFoundInAnyLetterCase) {
    for (const auto& Case : AddingLookups()) {
        RunSql(FFile, std::string("delete from ") + Case.Table +
                          "; delete from sqlite_sequence");
        const TOptionalID First = Case.Lookup("Pop 流行");
        ASSERT_TRUE(First.has_value()) << Case.Table;
        EXPECT_EQ(*First, 1) << Case.Table;
        EXPECT_EQ(Case.Lookup("Pop 流行"), First) << Case.Table;
        EXPECT_EQ(Case.Lookup("POP 流行"), First) << Case.Table;
        EXPECT_EQ(Case.Lookup("pop 流行 "), TOptionalID(2)) << "names are not trimmed";
        EXPECT_EQ(Count(Case.Table), "2") << Case.Table;
    }
}

// The database's own comparison folds ASCII letters only; the lookups see letter case in
// every script, and nothing else.
struct TNamePair {
    const char* First;
    const char* Second;
    bool Same;
};

class CatalogueNamePairs : public CatalogueTest, public ::testing::WithParamInterface<TNamePair> {};

TEST_P(CatalogueNamePairs, LetterCaseOfEveryScriptIsOneRow) {
    const TNamePair& Pair = GetParam();
    for (const auto& Case : AddingLookups()) {
        RunSql(FFile, std::string("delete from ") + Case.Table + "; delete from sqlite_sequence;"
                      " insert into " + Case.Table + " values (1, 'Pop'), (2, 'POPS')");
        const TOptionalID First = Case.Lookup(Pair.First);
        EXPECT_EQ(First, TOptionalID(3)) << Case.Table;
        EXPECT_EQ(Case.Lookup(Pair.Second), Pair.Same ? First : TOptionalID(4)) << Case.Table;
        EXPECT_EQ(Case.Lookup(Pair.First), First) << Case.Table;
        EXPECT_EQ(Count(Case.Table), Pair.Same ? "3" : "4") << Case.Table;
    }
    RunSql(FFile, std::string("insert into DiscoTypes (TypeID, TypeName) values (9, '") + Pair.First + "')");
    EXPECT_EQ(GetDiscoTypeID(FCnn, Pair.Second), TOptionalID(Pair.Same ? 9 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, CatalogueNamePairs,
    ::testing::Values(TNamePair{"ÉLLÊ", "éllê", true}, TNamePair{"éllê", "ÉLLÊ", true},
                      TNamePair{"Ärzte POP", "äRZTE pop", true},
                      TNamePair{"ΣΟΦΊΑ ΛΌΓΟΣ", "σοφία λόγος", true}, // final sigma
                      TNamePair{"Катюша", "КАТЮША", true},
                      TNamePair{"ǅemal", "ǆemal", true},                 // title case
                      TNamePair{"Ｐｏｐ", "ＰＯＰ", true},                     // full-width
                      TNamePair{"\U00010400", "\U00010428", true},        // four bytes
                      TNamePair{"été", "ete", false},                     // accents count
                      TNamePair{"STRASSE", "straße", false},              // one letter for one
                      TNamePair{"Rock", "Ｒｏｃｋ", false},                  // and widths
                      TNamePair{"流行", "流行 ", false}),                  // and blanks
    [](const auto& AInfo) { return "Pair" + std::to_string(AInfo.index); });

// The folded lookup walks the NOCASE index from spelling to spelling: beside thousands of rows
// that share the folder (in three spellings) and near names, it runs a few steps.
struct TFoldedCase {
    const char* Name;
    const char* Given;
    const char* Found; // "" for none
};

class FoldedTextCases : public CatalogueTest, public ::testing::WithParamInterface<TFoldedCase> {};

TEST_P(FoldedTextCases, FoundInAFewSteps) {
    static const std::string Rows = [] {
        std::string Values;
        for (int I = 0; I < 3000; ++I) {
            const char* Folder = I % 3 == 0 ? "Русские" : I % 3 == 1 ? "РУССКИЕ" : "русские";
            Values += std::string(Values.empty() ? "" : ",") + "('x', '/s/" + Folder + "/" +
                      std::to_string(I) + "к.mpg')";
        }
        return "insert into Songs (SongName, FilePath) values " + Values +
               ", ('x', '/s/РУССКИЕ/катюша.MPG'), ('x', '/s/РУССКИЕ/катюш.mpg'),"
               " ('x', '/s/Русские/Катюша2.mpg'), ('x', '/s/руссКИЕ/Я.mpg'), ('x', '/t/Été.mpg')";
    }();
    RunSql(FFile, Rows);
    int Steps = 0;
    sqlite3_trace_v2(
        SQLiteHandle(FCnn), SQLITE_TRACE_STMT,
        [](unsigned, void* ASteps, void*, void*) {
            ++*static_cast<int*>(ASteps);
            return 0;
        },
        &Steps);
    TQueryCache Cache;
    for (TQueryCache* Use : {static_cast<TQueryCache*>(nullptr), &Cache}) {
        Steps = 0;
        const auto Found = FindFoldedText(FCnn, SqlFoldedSongPath, GetParam().Given, Use);
        EXPECT_EQ(Found.value_or(""), GetParam().Found);
        EXPECT_LE(Steps, 12);
    }
    Cache.Clear();
    sqlite3_trace_v2(SQLiteHandle(FCnn), 0, nullptr, nullptr);

    std::string Path = GetParam().Given;
    EXPECT_EQ(FindFoldedSongPath(FCnn, Path), *GetParam().Found != '\0');
    EXPECT_EQ(Path, *GetParam().Found ? GetParam().Found : GetParam().Given);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, FoldedTextCases,
    ::testing::Values(TFoldedCase{"Lower", "/s/русские/катюша.mpg", "/s/РУССКИЕ/катюша.MPG"},
                      TFoldedCase{"Upper", "/S/РУССКИЕ/КАТЮША.MPG", "/s/РУССКИЕ/катюша.MPG"},
                      TFoldedCase{"Mixed", "/s/рУсСкИе/кАтЮшА.mPg", "/s/РУССКИЕ/катюша.MPG"},
                      TFoldedCase{"Longer", "/s/РУССКИЕ/КАТЮША2.MPG", "/s/Русские/Катюша2.mpg"},
                      TFoldedCase{"LastOfTheFolder", "/s/Русские/я.MPG", "/s/руссКИЕ/Я.mpg"},
                      TFoldedCase{"AmongTheNumbers", "/s/РУССКИЕ/1500К.mpg", "/s/Русские/1500к.mpg"},
                      TFoldedCase{"NotThere", "/s/русские/катюша3.mpg", ""},
                      TFoldedCase{"ShorterNotThere", "/s/русские/катю.mpg", ""},
                      TFoldedCase{"OtherFolder", "/t/русские/катюша.mpg", ""},
                      TFoldedCase{"AccentsCount", "/t/ETE.mpg", ""},
                      TFoldedCase{"LatinAccent", "/T/ÉTÉ.MPG", "/t/Été.mpg"},
                      // Nothing beyond ASCII to fold: the database's own answer stands.
                      TFoldedCase{"AsciiOnly", "/s/x.mpg", ""}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// Each step of the folded lookup is a seek in the NOCASE index of the reference schema.
TEST_F(CatalogueTest, FoldedLookupStepsUseTheIndex) {
    for (const char* Sql : {SqlFoldedSongPath, SqlFoldedSongType, SqlFoldedLanguage}) {
        sqlite3_stmt* Stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(SQLiteHandle(FCnn), (std::string("explain query plan ") + Sql).c_str(), -1,
                                     &Stmt, nullptr),
                  SQLITE_OK);
        std::string Plan;
        while (sqlite3_step(Stmt) == SQLITE_ROW)
            Plan += reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 3)) + std::string("\n");
        sqlite3_finalize(Stmt);
        EXPECT_NE(Plan.find("USING COVERING INDEX"), std::string::npos) << Sql << "\n" << Plan;
        EXPECT_EQ(Plan.find("TEMP B-TREE"), std::string::npos) << Sql << "\n" << Plan;
    }
}

TEST_F(CatalogueTest, AutoInsertOffGivesZeroAndAddsNothing) {
    EXPECT_EQ(GetTypeID(FCnn, "Rock", false), TOptionalID(0));
    EXPECT_EQ(GetLanguageID(FCnn, "English", false), TOptionalID(0));
    EXPECT_EQ(Count("SongTypes"), "0");
    EXPECT_EQ(Count("Languages"), "0");
}

TEST_F(CatalogueTest, DiscoTypeIsFoundButNeverAdded) {
    RunSql(FFile, "insert into DiscoTypes (TypeID, TypeName) values (7, 'DJ'), (9, 'Disco')");
    EXPECT_EQ(GetDiscoTypeID(FCnn, "dj"), TOptionalID(7));
    EXPECT_EQ(GetDiscoTypeID(FCnn, "Disco"), TOptionalID(9));
    EXPECT_EQ(GetDiscoTypeID(FCnn, "Ballad"), TOptionalID(0));
    EXPECT_EQ(Count("DiscoTypes"), "2");
}

TEST_F(CatalogueTest, NameInSeveralRowsGivesTheFirstRow) {
    RunSql(FFile, "insert into SongTypes (TypeID, TypeName) values (5, 'Rock'), (3, 'ROCK')");
    EXPECT_EQ(GetTypeID(FCnn, "rock"), TOptionalID(3)); // rowid order
}

TEST(CatalogueRecord, ClearedRecordIsEmpty) {
    TKtvSongInfo Info;
    Info.SongName = "x";
    Info.LanguageID = 4;
    Info.PublishDate = 1.5;
    Info.IsNew = true;
    Info.Clear();
    EXPECT_EQ(Info, TKtvSongInfo());
    EXPECT_EQ(Info.SongName, "");
    EXPECT_FALSE(Info.LanguageID.has_value());
    EXPECT_FALSE(Info.TypeID.has_value());
    EXPECT_EQ(Info.PublishDate, 0.0);
    EXPECT_FALSE(Info.IsNew);
}

} // namespace
