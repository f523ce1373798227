#include "Catalogue.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

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
    struct {
        const char* Table;
        std::function<TOptionalID(const std::string&)> Lookup;
    } Cases[] = {
        {"SongTypes", [this](const std::string& N) { return GetTypeID(FCnn, N); }},
        {"Languages", [this](const std::string& N) { return GetLanguageID(FCnn, N); }},
        {"SongTypes", [this](const std::string& N) { return TOptionalID(PlugInTypeID(FCnn, N)); }},
        {"Languages",
         [this](const std::string& N) { return TOptionalID(PlugInLanguageID(FCnn, N)); }},
    };
    for (const auto& Case : Cases) {
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
