#include "Config.h"
#include "IniFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace fs = std::filesystem;

// In TestIniFile.cpp.
void SaveText(const std::string& AFileName, const std::string& AText);
std::string LoadText(const std::string& AFileName);

namespace {

// A program installed as ROOT/KTV/Tools/Corvena: its tool file sits beside it, the system
// file in ROOT/KTV, and the default databases in ROOT/DataBase.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(FDir.Path() / "KTV" / "Tools");
        FProgram = FDir.File("KTV/Tools/Corvena");
        FRoot = FDir.Path().string() + "/";
    }
    std::string ToolFile() const { return FDir.File("KTV/Tools/Tools.ini"); }
    std::string SystemFile() const { return FDir.File("KTV/Configure.ini"); }

    TTempDir FDir;
    std::string FProgram;
    std::string FRoot;
};

TEST_F(ConfigTest, FilesSitBesideAndAboveTheProgram) {
    EXPECT_EQ(GetProgramDir(FProgram), FRoot + "KTV/Tools/");
    EXPECT_EQ(GetToolFileName(FProgram), ToolFile());
    EXPECT_EQ(GetSystemFileName(FProgram), SystemFile());
    EXPECT_EQ(DefaultTotalFileName(FProgram), FRoot + "DataBase/Total.mdb");
    EXPECT_EQ(DefaultLocalFileName(FProgram), FRoot + "DataBase/Ktv.mdb");
}

TEST_F(ConfigTest, FirstRunWithoutIniFiles) {
    const TWizardChoices Choices = ReadWizardChoices(FProgram);
    EXPECT_EQ(Choices.SongPath, "");
    EXPECT_FALSE(Choices.OnlyAdd);
    EXPECT_EQ(Choices.TotalPath, FRoot + "DataBase/Total.mdb");
    EXPECT_EQ(ReadLocalFileName(FProgram), FRoot + "DataBase/Ktv.mdb");
    // Reading never creates a file.
    EXPECT_FALSE(fs::exists(ToolFile()));
    EXPECT_FALSE(fs::exists(SystemFile()));
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
        EXPECT_EQ(ReadWizardChoices(FProgram).OnlyAdd, Case.OnlyAdd)
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
        {"no key, no system file", std::nullopt, std::nullopt, "/DataBase/Total.mdb"},
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
        const TWizardChoices Choices = ReadWizardChoices(FProgram);
        EXPECT_EQ(Choices.TotalPath, Expected) << Case.Name;
        EXPECT_EQ(Choices.SongPath, " D:\\Songs") << Case.Name;
    }
}

TEST_F(ConfigTest, LocalDatabaseComesFromTheSystemFile) {
    SaveText(SystemFile(), "[DataBase]\r\nTotal=E:\\Total.mdb\r\nLocal=E:\\Ktv.mdb\r\n");
    EXPECT_EQ(ReadLocalFileName(FProgram), "E:\\Ktv.mdb");
    SaveText(SystemFile(), "[DataBase]\nTotal=E:\\Total.mdb\n");
    EXPECT_EQ(ReadLocalFileName(FProgram), FRoot + "DataBase/Ktv.mdb");
}

TEST_F(ConfigTest, FinishedRunWritesThePathsThenOverWrite) {
    WriteWizardChoices(FProgram, {" D:\\Songs ", "D:\\KTV\\Total.mdb", true});
    EXPECT_EQ(LoadText(ToolFile()), "[History]\n"
                                    "CorvenSongPath= D:\\Songs \n"
                                    "CorvenTotalPath=D:\\KTV\\Total.mdb\n"
                                    "\n"
                                    "[Corvena]\n"
                                    "OverWrite=0\n");
    EXPECT_FALSE(fs::exists(SystemFile()));

    // The next start shows what was chosen (blanks around a value are not kept by the format).
    EXPECT_EQ(ReadWizardChoices(FProgram),
              (TWizardChoices{"D:\\Songs", "D:\\KTV\\Total.mdb", true}));
}

TEST_F(ConfigTest, WritingKeepsTheRestOfTheToolFile) {
    const std::string Before =
        "\xEF\xBB\xBF; tools\r\n[Corvena]\r\nOverWrite=1\r\nOther=7\r\n"
        "\r\n[History]\r\nCorvenSongPath=old\r\n\r\n[Player]\r\nVolume=80\r\n";
    SaveText(ToolFile(), Before);
    WriteWizardChoices(FProgram, {"D:\\新歌", "D:\\KTV\\Total.mdb", false});
    EXPECT_EQ(LoadText(ToolFile()),
              "\xEF\xBB\xBF; tools\r\n[Corvena]\r\nOverWrite=1\r\nOther=7\r\n"
              "\r\n[History]\r\nCorvenSongPath=D:\\新歌\r\nCorvenTotalPath=D:\\KTV\\Total.mdb\r\n"
              "\r\n[Player]\r\nVolume=80\r\n");
    EXPECT_EQ(ReadWizardChoices(FProgram),
              (TWizardChoices{"D:\\新歌", "D:\\KTV\\Total.mdb", false}));
}

TEST_F(ConfigTest, WriteFailureIsAnError) {
    const std::string Program = FDir.File("gone/Corvena");
    EXPECT_THROW(WriteWizardChoices(Program, {"a", "b", false}), TIniError);
}

TEST(ConnectionStrings, WordForWord) {
    EXPECT_EQ(LocalConnectionString("D:\\KTV\\DataBase\\Ktv.mdb"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\KTV\\DataBase\\Ktv.mdb;"
              "Persist Security Info=false;Jet OLEDB:Database Password=RivaPolte");
    EXPECT_EQ(TotalConnectionString("D:\\KTV\\DataBase\\Total.mdb"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\KTV\\DataBase\\Total.mdb;"
              "Persist Security Info=false;");
}

TEST(TrimControls, RemovesCodes32AndBelowAtBothEnds) {
    EXPECT_EQ(TrimControls(" \t\x01x y\x1f\r\n "), "x y");
    EXPECT_EQ(TrimControls("\x7f"), "\x7f");
    EXPECT_EQ(TrimControls(" \x01 "), "");
    EXPECT_EQ(TrimControls("歌"), "歌");
}

} // namespace
