#include "Config.h"
#include "IniFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <thread>

#include <unistd.h>

namespace fs = std::filesystem;

// In TestIniFile.cpp.
void SaveText(const std::string& AFileName, const std::string& AText);
std::string LoadText(const std::string& AFileName);

namespace {

// A program installed as ROOT/KTV/Tools/Corvena: its tool file sits beside it, the system
// file in ROOT/KTV, and the default databases in ROOT/DataBase. The user's folders are
// ROOT/home/config/corvena/ and ROOT/home/data/corvena/, the administrator's ROOT/etc/corvena/.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(FDir.Path() / "KTV" / "Tools");
        FProgram = FDir.File("KTV/Tools/Corvena");
        FRoot = FDir.Path().string() + "/";
        FPlaces = {FProgram, FRoot + "home/config/corvena/", FRoot + "etc/corvena/",
                   FRoot + "home/data/corvena/", FRoot + "usr/bin/"};
    }
    std::string ToolFile() const { return FDir.File("KTV/Tools/Tools.ini"); }
    std::string SystemFile() const { return FDir.File("KTV/Configure.ini"); }
    std::string UserFile() const { return FRoot + "home/config/corvena/Configure.ini"; }
    std::string EtcFile() const { return FRoot + "etc/corvena/Configure.ini"; }
    void Save(const std::string& AFile, const std::string& AText) const {
        fs::create_directories(fs::path(AFile).parent_path());
        SaveText(AFile, AText);
    }

    TTempDir FDir;
    std::string FProgram;
    std::string FRoot;
    TConfigPlaces FPlaces;
};

TEST_F(ConfigTest, FilesSitBesideAndAboveTheProgram) {
    EXPECT_EQ(GetProgramDir(FProgram), FRoot + "KTV/Tools/");
    EXPECT_EQ(GetToolFileName(FPlaces), ToolFile());
    EXPECT_EQ(GetSystemFileName(FProgram), SystemFile());
    EXPECT_EQ(DefaultTotalFileName(FProgram), FRoot + "DataBase/Total.mdb");
    EXPECT_EQ(DefaultLocalFileName(FProgram), FRoot + "DataBase/Ktv.mdb");
}

// No Configure.ini anywhere and no song-request databases: no master is suggested (a name of
// a file that is not there would only be in the way) and the local database is the user's own.
TEST_F(ConfigTest, FirstRunWithoutIniFiles) {
    const TWizardChoices Choices = ReadWizardChoices(FPlaces);
    EXPECT_EQ(Choices.SongPath, "");
    EXPECT_FALSE(Choices.OnlyAdd);
    EXPECT_EQ(Choices.TotalPath, "");
    const TConfigValue Local = ReadLocalFileName(FPlaces);
    EXPECT_EQ(Local.Value, FRoot + "home/data/corvena/Ktv.mdb");
    EXPECT_EQ(Local.Origin, TConfigOrigin::UserDefault);
    // Reading never creates a file.
    EXPECT_FALSE(fs::exists(ToolFile()));
    EXPECT_FALSE(fs::exists(SystemFile()));
    EXPECT_FALSE(fs::exists(FRoot + "home"));
}

// Where the databases are named: the song-request system's Configure.ini alone when it is
// there (its own defaults for a missing key); else the user's file, then the administrator's,
// key by key, names relative to the file's folder; else the song-request defaults when those
// files exist; else no master and the user's own local database.
TEST_F(ConfigTest, DatabasesNamedByTheFirstConfigurationFound) {
    struct {
        const char* Name;
        std::optional<std::string> Layout, User, Etc;
        bool DefaultFilesExist;
        std::string Total, Local; // "@" stands for ROOT
        TConfigOrigin TotalOrigin, LocalOrigin;
        std::string LocalFile; // the file that named Local, "" for none
    } Cases[] = {
        {"song-request layout wins over the others", "[DataBase]\nTotal=T.mdb\nLocal=D:\\Ktv.mdb\n",
         "[DataBase]\nTotal=/u/T.mdb\nLocal=/u/K.mdb\n", "[DataBase]\nLocal=/e/K.mdb\n", false, "T.mdb",
         "D:\\Ktv.mdb", TConfigOrigin::Named, TConfigOrigin::Named, "@KTV/Configure.ini"},
        {"song-request layout without keys: its defaults", "[DataBase]\n", "[DataBase]\nLocal=/u/K.mdb\n",
         std::nullopt, false, "@DataBase/Total.mdb", "@DataBase/Ktv.mdb", TConfigOrigin::LayoutDefault,
         TConfigOrigin::LayoutDefault, "@KTV/Configure.ini"},
        {"the user's, key by key before the administrator's", std::nullopt, "[DataBase]\nLocal=/u/K.mdb\n",
         "[DataBase]\nTotal=/e/T.mdb\nLocal=/e/K.mdb\n", false, "/e/T.mdb", "/u/K.mdb", TConfigOrigin::Named,
         TConfigOrigin::Named, "@home/config/corvena/Configure.ini"},
        {"relative to the file's folder", std::nullopt, "[DataBase]\nLocal=db/K.mdb\n",
         "[DataBase]\nTotal=T.mdb\n", false, "@etc/corvena/T.mdb", "@home/config/corvena/db/K.mdb",
         TConfigOrigin::Named, TConfigOrigin::Named, "@home/config/corvena/Configure.ini"},
        {"the administrator's alone", std::nullopt, std::nullopt, "[DataBase]\nLocal=/e/K.mdb\n", false, "",
         "/e/K.mdb", TConfigOrigin::Nothing, TConfigOrigin::Named, "@etc/corvena/Configure.ini"},
        {"no file, song-request databases present", std::nullopt, std::nullopt, std::nullopt, true,
         "@DataBase/Total.mdb", "@DataBase/Ktv.mdb", TConfigOrigin::ExistingDefault,
         TConfigOrigin::ExistingDefault, ""},
        {"a file without the keys", std::nullopt, "[DataBase]\n", "[Other]\nLocal=/x\n", false, "",
         "@home/data/corvena/Ktv.mdb", TConfigOrigin::Nothing, TConfigOrigin::UserDefault, ""},
        // A server's connection string is taken as it stands, no folder put before it.
        {"a database on a server", std::nullopt, "[DataBase]\nLocal=postgresql://db/ktv\n",
         "[DataBase]\nLocal=host=db dbname=ktv\n", false, "", "postgresql://db/ktv", TConfigOrigin::Nothing,
         TConfigOrigin::Named, "@home/config/corvena/Configure.ini"},
        {"a database on a server, key/value", std::nullopt, std::nullopt,
         "[DataBase]\nLocal=host=db dbname=ktv\n", false, "", "host=db dbname=ktv", TConfigOrigin::Nothing,
         TConfigOrigin::Named, "@etc/corvena/Configure.ini"},
    };
    const auto Rooted = [this](std::string AText) {
        return AText.starts_with('@') ? FRoot + AText.substr(1) : AText;
    };
    for (const auto& Case : Cases) {
        for (const std::string& File : {SystemFile(), UserFile(), EtcFile()})
            fs::remove(File);
        fs::remove_all(FRoot + "DataBase");
        if (Case.Layout)
            Save(SystemFile(), *Case.Layout);
        if (Case.User)
            Save(UserFile(), *Case.User);
        if (Case.Etc)
            Save(EtcFile(), *Case.Etc);
        if (Case.DefaultFilesExist) {
            Save(FRoot + "DataBase/Total.mdb", "");
            Save(FRoot + "DataBase/Ktv.mdb", "");
        }
        const TConfigValue Total = ReadTotalFileName(FPlaces);
        const TConfigValue Local = ReadLocalFileName(FPlaces);
        EXPECT_EQ(Total.Value, Rooted(Case.Total)) << Case.Name;
        EXPECT_EQ(Total.Origin, Case.TotalOrigin) << Case.Name;
        EXPECT_EQ(Local.Value, Rooted(Case.Local)) << Case.Name;
        EXPECT_EQ(Local.Origin, Case.LocalOrigin) << Case.Name;
        EXPECT_EQ(Local.File, Case.LocalFile.empty() ? "" : Rooted(Case.LocalFile)) << Case.Name;
        EXPECT_EQ(ReadWizardChoices(FPlaces).TotalPath, Rooted(Case.Total)) << Case.Name;
    }
}

// Tools.ini stays beside a program in a folder of its own that it can write; a program where
// the packages put programs keeps it in the user's folder, even when run by root.
TEST_F(ConfigTest, ToolFileBesideTheProgramOrTheUsers) {
    EXPECT_EQ(GetToolFileName(FPlaces), ToolFile());
    TConfigPlaces Installed = FPlaces;
    fs::create_directories(FRoot + "usr/bin");
    Installed.ProgramFile = FRoot + "usr/bin/corvena";
    EXPECT_EQ(GetToolFileName(Installed), FRoot + "home/config/corvena/Tools.ini");
    // Through another spelling of the same folder.
    Installed.ProgramFile = FRoot + "usr/../usr/bin/corvena";
    EXPECT_EQ(GetToolFileName(Installed), FRoot + "home/config/corvena/Tools.ini");

    WriteWizardChoices(Installed, {"/songs", "/t.mdb", false});
    EXPECT_EQ(LoadText(FRoot + "home/config/corvena/Tools.ini"),
              "[History]\nCorvenSongPath=/songs\nCorvenTotalPath=/t.mdb\n\n[Corvena]\nOverWrite=1\n");
    EXPECT_FALSE(fs::exists(FRoot + "usr/bin/Tools.ini"));
    EXPECT_EQ(ReadWizardChoices(Installed), (TWizardChoices{"/songs", "/t.mdb", false}));
}

TEST_F(ConfigTest, ToolFileOfAProgramInAReadOnlyFolderIsTheUsers) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes in any folder: a read-only program folder cannot be made here";
    fs::permissions(FRoot + "KTV/Tools", fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(GetToolFileName(FPlaces), FRoot + "home/config/corvena/Tools.ini");
    fs::permissions(FRoot + "KTV/Tools", fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(ConfigTest, UsersOwnLocalDatabaseIsMadeOnceFromTheSchema) {
    const std::string File = ReadLocalFileName(FPlaces).Value;
    EXPECT_TRUE(MakeUserLocalDatabase(File));
    EXPECT_EQ(QueryText(File, "select group_concat(name, ' ') from (select name from sqlite_master "
                              "where type = 'table' and name not like 'sqlite%' order by name)"),
              "DiscoTypes Discos Languages SongTypes Songs");
    RunSql(File, "insert into Languages (LanguageName) values ('国语')");
    // There already: left as it is.
    EXPECT_FALSE(MakeUserLocalDatabase(File));
    EXPECT_EQ(QueryText(File, "select count(*) from Languages"), "1");
    // Nothing else left in its folder.
    std::vector<std::string> Names;
    for (const auto& Entry : fs::directory_iterator(fs::path(File).parent_path()))
        Names.push_back(Entry.path().filename().string());
    EXPECT_EQ(Names, std::vector<std::string>{"Ktv.mdb"});
}

TEST_F(ConfigTest, TwoProgramsMakingTheUsersDatabaseAtOnceMakeOne) {
    for (int Round = 0; Round < 8; ++Round) {
        const std::string File = FRoot + "round" + std::to_string(Round) + "/Ktv.mdb";
        bool Made[2] = {};
        std::thread Other([&] { Made[1] = MakeUserLocalDatabase(File); });
        Made[0] = MakeUserLocalDatabase(File);
        Other.join();
        EXPECT_EQ(Made[0] + Made[1], 1) << Round;
        EXPECT_EQ(QueryText(File, "select count(*) from sqlite_master where name = 'Songs'"), "1") << Round;
        EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(File).parent_path()), fs::directory_iterator()), 1)
            << Round;
    }
}

TEST_F(ConfigTest, UsersDatabaseThatCannotBeMadeNamesIt) {
    Save(FRoot + "home/data", "a file where the folder should be");
    const std::string File = ReadLocalFileName(FPlaces).Value;
    try {
        MakeUserLocalDatabase(File);
        FAIL() << "no error";
    } catch (const std::runtime_error& AError) {
        EXPECT_NE(std::string(AError.what()).find("\"" + File + "\""), std::string::npos) << AError.what();
    }
}

TEST_F(ConfigTest, CheckBoxIsTheInverseOfOverWrite) {
    struct {
        std::optional<std::string> OverWrite;
        bool OnlyAdd;
    } Cases[] = {
        {std::nullopt, false}, {"1", false}, {"0", true},
        {"0x0", true},         {"", false},  {"abc", false},
    };
    for (const auto& Case : Cases) {
        SaveText(ToolFile(),
                 "[Corvena]\n" + (Case.OverWrite ? "OverWrite=" + *Case.OverWrite : ""));
        EXPECT_EQ(ReadWizardChoices(FPlaces).OnlyAdd, Case.OnlyAdd)
            << Case.OverWrite.value_or("(missing)");
    }
}

TEST_F(ConfigTest, BlankMasterPathGivesWayToTotal) {
    struct {
        const char* Name;
        std::optional<std::string> History; // the CorvenTotalPath line
        std::optional<std::string> System;  // the whole system file
        std::string Expected;               // "" + ROOT is prefixed when it starts with '/'
    } Cases[] = {
        {"no key, no system file", std::nullopt, std::nullopt, ""},
        {"no key", std::nullopt, "[DataBase]\nTotal=E:\\Total.mdb\n", "E:\\Total.mdb"},
        {"empty", "CorvenTotalPath=", "[database]\ntotal=E:\\Total.mdb\n", "E:\\Total.mdb"},
        {"blanks", "CorvenTotalPath=   ", "[DataBase]\nTotal=E:\\Total.mdb\n", "E:\\Total.mdb"},
        {"quoted blanks and controls", "CorvenTotalPath=\" \t\x01\x1f \"",
         "[DataBase]\nTotal=E:\\Total.mdb\n", "E:\\Total.mdb"},
        {"control characters", "CorvenTotalPath=\x01\x02", "[DataBase]\nTotal=E:\\Total.mdb\n",
         "E:\\Total.mdb"},
        {"blank, system file without Total", "CorvenTotalPath=", "[DataBase]\nLocal=x\n",
         "/DataBase/Total.mdb"},
        {"kept as written", "CorvenTotalPath=D:\\KTV\\Total.mdb",
         "[DataBase]\nTotal=E:\\Total.mdb\n", "D:\\KTV\\Total.mdb"},
        {"kept untrimmed", "CorvenTotalPath=\" D:\\KTV\\Total.mdb \"",
         "[DataBase]\nTotal=E:\\Total.mdb\n", " D:\\KTV\\Total.mdb "},
        {"kept with a control character inside", "CorvenTotalPath=\x01x",
         "[DataBase]\nTotal=E:\\Total.mdb\n", "\x01x"},
    };
    for (const auto& Case : Cases) {
        fs::remove(SystemFile());
        SaveText(ToolFile(),
                 "[History]\nCorvenSongPath=\" D:\\Songs\"\n" + Case.History.value_or("") + "\n");
        if (Case.System)
            SaveText(SystemFile(), *Case.System);
        const std::string Expected =
            Case.Expected.starts_with('/') ? FDir.Path().string() + Case.Expected : Case.Expected;
        const TWizardChoices Choices = ReadWizardChoices(FPlaces);
        EXPECT_EQ(Choices.TotalPath, Expected) << Case.Name;
        EXPECT_EQ(Choices.SongPath, " D:\\Songs") << Case.Name;
    }
}

TEST_F(ConfigTest, LocalDatabaseComesFromTheSystemFile) {
    SaveText(SystemFile(), "[DataBase]\r\nTotal=E:\\Total.mdb\r\nLocal=E:\\Ktv.mdb\r\n");
    EXPECT_EQ(ReadLocalFileName(FPlaces).Value, "E:\\Ktv.mdb");
    SaveText(SystemFile(), "[DataBase]\nTotal=E:\\Total.mdb\n");
    EXPECT_EQ(ReadLocalFileName(FPlaces).Value, FRoot + "DataBase/Ktv.mdb");
}

TEST_F(ConfigTest, FinishedRunWritesThePathsThenOverWrite) {
    WriteWizardChoices(FPlaces, {" D:\\Songs ", "D:\\KTV\\Total.mdb", true});
    EXPECT_EQ(LoadText(ToolFile()), "[History]\n"
                                    "CorvenSongPath= D:\\Songs \n"
                                    "CorvenTotalPath=D:\\KTV\\Total.mdb\n"
                                    "\n"
                                    "[Corvena]\n"
                                    "OverWrite=0\n");
    EXPECT_FALSE(fs::exists(SystemFile()));

    // The next start shows what was chosen (blanks around a value are not kept by the format).
    EXPECT_EQ(ReadWizardChoices(FPlaces),
              (TWizardChoices{"D:\\Songs", "D:\\KTV\\Total.mdb", true}));
}

TEST_F(ConfigTest, WritingKeepsTheRestOfTheToolFile) {
    const std::string Before =
        "\xEF\xBB\xBF; tools\r\n[Corvena]\r\nOverWrite=1\r\nOther=7\r\n"
        "\r\n[History]\r\nCorvenSongPath=old\r\n\r\n[Player]\r\nVolume=80\r\n";
    SaveText(ToolFile(), Before);
    WriteWizardChoices(FPlaces, {"D:\\新歌", "D:\\KTV\\Total.mdb", false});
    EXPECT_EQ(LoadText(ToolFile()),
              "\xEF\xBB\xBF; tools\r\n[Corvena]\r\nOverWrite=1\r\nOther=7\r\n"
              "\r\n[History]\r\nCorvenSongPath=D:\\新歌\r\nCorvenTotalPath=D:\\KTV\\Total.mdb\r\n"
              "\r\n[Player]\r\nVolume=80\r\n");
    EXPECT_EQ(ReadWizardChoices(FPlaces),
              (TWizardChoices{"D:\\新歌", "D:\\KTV\\Total.mdb", false}));
}

TEST_F(ConfigTest, WriteFailureIsAnError) {
    TConfigPlaces Gone = FPlaces;
    Gone.ProgramFile = FDir.File("gone/Corvena");
    Gone.UserConfigDir.clear();
    EXPECT_THROW(WriteWizardChoices(Gone, {"a", "b", false}), TIniError);
}

TEST(ConnectionStrings, WordForWord) {
    EXPECT_EQ(LocalConnectionString("D:\\KTV\\DataBase\\Ktv.mdb"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\KTV\\DataBase\\Ktv.mdb;"
              "Persist Security Info=false;Jet OLEDB:Database Password=RivaPolte");
    EXPECT_EQ(TotalConnectionString("D:\\KTV\\DataBase\\Total.mdb"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\KTV\\DataBase\\Total.mdb;"
              "Persist Security Info=false;");
    // A server's connection string is its own connection string, in all three forms.
    for (const char* Server : {"postgresql://db/ktv", "host=db dbname=ktv",
                               "Provider=PostgreSQL;Host=db;Database=ktv;User ID=corvena"}) {
        EXPECT_EQ(LocalConnectionString(Server), Server);
        EXPECT_EQ(TotalConnectionString(Server), Server);
    }
}

TEST(TrimControls, RemovesCodes32AndBelowAtBothEnds) {
    EXPECT_EQ(TrimControls(" \t\x01x y\x1f\r\n "), "x y");
    EXPECT_EQ(TrimControls("\x7f"), "\x7f");
    EXPECT_EQ(TrimControls(" \x01 "), "");
    EXPECT_EQ(TrimControls("歌"), "歌");
}

} // namespace
