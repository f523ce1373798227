#include "IniFile.h"
#include "TextRules.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

// File helpers shared with the configuration tests: bytes in, bytes out.
void SaveText(const std::string& AFileName, const std::string& AText) {
    std::ofstream Stream(AFileName, std::ios::binary | std::ios::trunc);
    Stream << AText;
    if (!Stream.flush())
        throw std::runtime_error("cannot write " + AFileName);
}

std::string LoadText(const std::string& AFileName) {
    std::ifstream Stream(AFileName, std::ios::binary);
    std::ostringstream Text;
    Text << Stream.rdbuf();
    return Text.str();
}

namespace {

const std::string Bom = "\xEF\xBB\xBF";

std::string Repeat(const std::string& AText, int ACount) {
    std::string Result;
    for (int I = 0; I < ACount; ++I)
        Result += AText;
    return Result;
}

// Every name in the folder, to see that nothing was left beside the file.
std::vector<std::string> Names(const fs::path& AFolder) {
    std::vector<std::string> Result;
    for (const auto& Entry : fs::directory_iterator(AFolder))
        Result.push_back(Entry.path().filename().string());
    std::sort(Result.begin(), Result.end());
    return Result;
}

TEST(IniRead, StringsFollowTheProfileRules) {
    struct {
        const char* Name;
        std::optional<std::string> File; // nullopt: no file at all
        const char* Section;
        const char* Key;
        std::string Expected;
    } Cases[] = {
        {"missing file", std::nullopt, "History", "Path", "dflt"},
        {"missing section", "[Other]\nPath=x\n", "History", "Path", "dflt"},
        {"missing key", "[History]\nOther=x\n", "History", "Path", "dflt"},
        {"empty file", "", "History", "Path", "dflt"},
        {"other letter case", "[hISTORY]\npATH=D:\\Songs\n", "History", "Path", "D:\\Songs"},
        {"first key wins", "[History]\nPath=one\npath=two\n", "History", "Path", "one"},
        {"first section wins", "[History]\nA=1\n[history]\nPath=two\n", "History", "Path", "dflt"},
        {"key of the next section", "[History]\n[Next]\nPath=x\n", "History", "Path", "dflt"},
        {"key before any section", "Path=x\n[History]\n", "History", "Path", "dflt"},
        {"comment is no key", "[History]\n;Path=x\n", "History", "Path", "dflt"},
        {"blanks trimmed", "  [ History ]  \n \t Path \t=  D:\\My Songs \t \n", "History", "Path",
         "D:\\My Songs"},
        {"empty value", "[History]\nPath=\n", "History", "Path", ""},
        {"blank value", "[History]\nPath=   \n", "History", "Path", ""},
        {"equals in value", "[History]\nPath=a=b\n", "History", "Path", "a=b"},
        {"double quotes", "[History]\nPath=\"  D:\\x  \"\n", "History", "Path", "  D:\\x  "},
        {"single quotes", "[History]\nPath='D:\\x'\n", "History", "Path", "D:\\x"},
        {"unmatched quotes", "[History]\nPath=\"D:\\x'\n", "History", "Path", "\"D:\\x'"},
        {"lone quote", "[History]\nPath=\"\n", "History", "Path", "\""},
        {"inner quotes", "[History]\nPath=a \"b\" c\n", "History", "Path", "a \"b\" c"},
        {"CRLF", "[A]\r\nX=1\r\n[History]\r\nPath=D:\\Songs\r\nY=2\r\n", "History", "Path",
         "D:\\Songs"},
        {"BOM", Bom + "[History]\nPath=歌曲\n", "History", "Path", "歌曲"},
        {"BOM and CRLF", Bom + "[History]\r\nPath=x\r\n", "History", "Path", "x"},
        {"no final line end", "[History]\nPath=x", "History", "Path", "x"},
        {"long value cut", "[History]\nPath=" + std::string(3000, 'a') + "\n", "History", "Path",
         std::string(2047, 'a')},
        {"long value cut by characters", "[History]\nPath=" + Repeat("歌", 3000) + "\n", "History",
         "Path", Repeat("歌", 2047)},
        {"long quoted value cut after the quotes",
         "[History]\nPath=\"" + std::string(2047, 'b') + "\"\n", "History", "Path",
         std::string(2047, 'b')},
    };
    TTempDir Dir;
    const std::string File = Dir.File("Tools.ini");
    for (const auto& Case : Cases) {
        fs::remove(File);
        if (Case.File)
            SaveText(File, *Case.File);
        EXPECT_EQ(TIniFile(File).ReadString(Case.Section, Case.Key, "dflt"), Case.Expected)
            << Case.Name;
    }
}

TEST(IniRead, BooleansAreNonZeroIntegersElseTheDefault) {
    struct {
        std::optional<std::string> Value; // nullopt: no such key
        bool IfDefaultTrue;
        bool IfDefaultFalse;
    } Cases[] = {
        {std::nullopt, true, false}, {"1", true, true},
        {"0", false, false},         {"0x10", true, true},
        {"0X0", false, false},       {"0x", true, false},
        {"", true, false},           {"abc", true, false},
        {"-1", true, true},          {" 2 ", true, true},
        {"1.5", true, false},        {"\"0\"", false, false},
        {"true", true, false},       {"99999999999", true, false},
    };
    TTempDir Dir;
    const std::string File = Dir.File("Tools.ini");
    for (const auto& Case : Cases) {
        SaveText(File, "[Corvena]\n" + (Case.Value ? "OverWrite=" + *Case.Value + "\n" : ""));
        const TIniFile Ini(File);
        const std::string Name = Case.Value.value_or("(missing)");
        EXPECT_EQ(Ini.ReadBool("Corvena", "OverWrite", true), Case.IfDefaultTrue) << Name;
        EXPECT_EQ(Ini.ReadBool("Corvena", "OverWrite", false), Case.IfDefaultFalse) << Name;
    }
}

TEST(IniRead, IntegersAreDecimalOrHexadecimalWithin32Bits) {
    struct {
        const char* Text;
        std::int32_t Expected;
    } Cases[] = {
        {"0x10", 16},
        {"0x7fffffff", 2147483647},
        {"0xFFFFFFFF", -1},
        {"0x100000000", -99},
        {"2147483647", 2147483647},
        {"2147483648", -99},
        {"-2147483648", -2147483647 - 1},
        {"+7", 7},
        {"-0x10", -99},
        {"0x-1", -99},
        {"12abc", -99},
        {"- 1", -99},
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(ProfileStringToInt(Case.Text, -99), Case.Expected) << Case.Text;
}

TEST(IniRead, UnreadableFileGivesDefaults) {
    TTempDir Dir;
    const std::string File = Dir.File("Tools.ini");
    fs::create_directory(File);
    EXPECT_EQ(TIniFile(File).ReadString("History", "Path", "dflt"), "dflt");
    EXPECT_TRUE(TIniFile(File).ReadBool("Corvena", "OverWrite", true));
}

TEST(IniWrite, ChangesOnlyTheOneKey) {
    struct {
        const char* Name;
        std::optional<std::string> Before; // nullopt: no file yet
        const char* Section;
        const char* Key;
        std::string After;
    } Cases[] = {
        {"missing file is created", std::nullopt, "History", "Path", "[History]\nPath=new\n"},
        {"empty file", "", "History", "Path", "[History]\nPath=new\n"},
        {"replaced in place, other lines kept",
         "; settings\r\n[Other]\r\nPath=keep\r\n\r\n[History]\r\n  Path = old \r\nX=y\r\n",
         "History", "Path",
         "; settings\r\n[Other]\r\nPath=keep\r\n\r\n[History]\r\n  Path =new\r\nX=y\r\n"},
        {"replaced in other letter case", "[history]\nPATH=old\n", "History", "Path",
         "[history]\nPATH=new\n"},
        {"only the first of two keys", "[History]\nPath=1\nPath=2\n", "History", "Path",
         "[History]\nPath=new\nPath=2\n"},
        {"only in the first of two sections", "[History]\nA=1\n[History]\nPath=2\n", "History",
         "Path", "[History]\nA=1\nPath=new\n[History]\nPath=2\n"},
        {"added after the last key of its section",
         "[History]\nA=1\n\n; next section\n[Corvena]\nB=2\n", "History", "Path",
         "[History]\nA=1\nPath=new\n\n; next section\n[Corvena]\nB=2\n"},
        {"added to an empty section", "[Corvena]\nB=2\n[History]\n", "History", "Path",
         "[Corvena]\nB=2\n[History]\nPath=new\n"},
        {"added to the last line without line end", "[History]\nA=1", "History", "Path",
         "[History]\nA=1\nPath=new\n"},
        {"section added at the end with the file's line ends", "[A]\r\nK=1\r\n", "History", "Path",
         "[A]\r\nK=1\r\n\r\n[History]\r\nPath=new\r\n"},
        {"section added after a last line without line end", "[A]\nK=1", "History", "Path",
         "[A]\nK=1\n\n[History]\nPath=new\n"},
        {"section added after a blank last line", "[A]\nK=1\n\n", "History", "Path",
         "[A]\nK=1\n\n[History]\nPath=new\n"},
        {"byte-order mark kept", Bom + "[History]\r\nPath=old\r\n", "History", "Path",
         Bom + "[History]\r\nPath=new\r\n"},
        {"comment that looks like the key", "[History]\n;Path=old\n", "History", "Path",
         "[History]\nPath=new\n;Path=old\n"},
        {"replaced in the last line without line end", "[History]\nPath=old", "History", "Path",
         "[History]\nPath=new\n"},
        {"other last line without line end gets the file's", "[History]\r\nPath=old\r\n[B]\r\nK=1",
         "History", "Path", "[History]\r\nPath=new\r\n[B]\r\nK=1\r\n"},
    };
    TTempDir Dir;
    const std::string File = Dir.File("Tools.ini");
    for (const auto& Case : Cases) {
        fs::remove(File);
        if (Case.Before)
            SaveText(File, *Case.Before);
        TIniFile Ini(File);
        Ini.WriteString(Case.Section, Case.Key, "new");
        EXPECT_EQ(LoadText(File), Case.After) << Case.Name;
        EXPECT_EQ(Ini.ReadString(Case.Section, Case.Key, ""), "new") << Case.Name;
        EXPECT_EQ(Names(Dir.Path()), std::vector<std::string>{"Tools.ini"}) << Case.Name;
    }
}

// Names given with blanks around them find what writing them stored, as the profile functions do.
TEST(IniWrite, NamesWithBlanksReadBackWhatWasWritten) {
    const struct {
        const char* Section;
        const char* Key;
    } Names[] = {{"History", "\t:"}, {" History\t", "Path"}, {"History", " Path \v"}};
    TTempDir Dir;
    const std::string File = Dir.File("Tools.ini");
    for (const auto& Name : Names) {
        fs::remove(File);
        TIniFile Ini(File);
        Ini.WriteString(Name.Section, Name.Key, "v");
        EXPECT_EQ(Ini.ReadString(Name.Section, Name.Key, "dflt"), "v") << Name.Section << Name.Key;
        const std::string Trimmed(TrimProfileBlanks(Name.Key));
        EXPECT_EQ(Ini.ReadString("History", Trimmed, "dflt"), "v") << Name.Key;
    }
}

TEST(IniWrite, BooleansAndIntegersAsDigits) {
    TTempDir Dir;
    TIniFile Ini(Dir.File("Tools.ini"));
    Ini.WriteBool("Corvena", "OverWrite", false);
    Ini.WriteBool("Corvena", "Other", true);
    Ini.WriteInteger("Corvena", "Count", -12);
    EXPECT_EQ(LoadText(Ini.FileName()), "[Corvena]\nOverWrite=0\nOther=1\nCount=-12\n");
    EXPECT_FALSE(Ini.ReadBool("Corvena", "OverWrite", true));
    EXPECT_TRUE(Ini.ReadBool("Corvena", "Other", false));
}

TEST(IniWrite, KeepsPermissionsAndWritesThroughALink) {
    TTempDir Dir;
    const std::string Target = Dir.File("real.ini");
    const std::string Link = Dir.File("Tools.ini");
    SaveText(Target, "[A]\nK=1\n");
    fs::permissions(Target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.ini", Link);

    TIniFile(Link).WriteString("A", "K", "2");

    EXPECT_TRUE(fs::is_symlink(Link));
    EXPECT_EQ(LoadText(Target), "[A]\nK=2\n");
    EXPECT_EQ(fs::status(Target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// The error names the file, and whatever was there before is still there.
void ExpectWriteError(TIniFile& AIni, const std::string& AValue, const std::string& AName) {
    try {
        AIni.WriteString("History", "Path", AValue);
        ADD_FAILURE() << AName << ": no error";
    } catch (const TIniError& Error) {
        EXPECT_NE(std::string(Error.what()).find(AIni.FileName()), std::string::npos)
            << AName << ": " << Error.what();
    }
}

TEST(IniWrite, FailuresAreErrorsNamingTheFile) {
    TTempDir Dir;
    {
        TIniFile Ini(Dir.File("no such folder/Tools.ini"));
        ExpectWriteError(Ini, "x", "missing folder");
    }
    {
        // A file that cannot be read is not replaced by one holding just this key.
        const std::string File = Dir.File("Tools.ini");
        fs::create_directory(File);
        SaveText(File + "/inside", "kept");
        TIniFile Ini(File);
        ExpectWriteError(Ini, "x", "unreadable file");
        EXPECT_EQ(LoadText(File + "/inside"), "kept");
        fs::remove_all(File);
    }
    const std::string File = Dir.File("Tools.ini");
    const std::string Before = "[History]\nPath=old\n";
    SaveText(File, Before);
    TIniFile Ini(File);
    for (const char* Value : {"a\nb", "a\r\n[Corvena]\r\nOverWrite=0"}) {
        ExpectWriteError(Ini, Value, "line break in value");
        EXPECT_EQ(LoadText(File), Before);
    }
    for (const auto& [Section, Key] :
         {std::pair{"", "Path"}, std::pair{"History", " "}, std::pair{"History", "a=b"},
          std::pair{"Hi]st", "Path"}, std::pair{"History", ";Path"}}) {
        EXPECT_THROW(Ini.WriteString(Section, Key, "x"), TIniError) << Section << "/" << Key;
        EXPECT_EQ(LoadText(File), Before);
    }
    EXPECT_EQ(Names(Dir.Path()), std::vector<std::string>{"Tools.ini"});
}

TEST(IniWrite, ReadOnlyFileIsNotReplaced) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "the superuser may write any file";
    TTempDir Dir;
    const std::string File = Dir.File("Tools.ini");
    SaveText(File, "[History]\nPath=old\n");
    fs::permissions(File, fs::perms::owner_read);
    TIniFile Ini(File);
    ExpectWriteError(Ini, "x", "read-only file");
    EXPECT_EQ(LoadText(File), "[History]\nPath=old\n");
}

// Lowers the largest file this process may write, as a full disk would.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t ABytes) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit Limit = FOld;
        Limit.rlim_cur = ABytes;
        setrlimit(RLIMIT_FSIZE, &Limit);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        std::signal(SIGXFSZ, FOldHandler);
    }

private:
    rlimit FOld{};
    void (*FOldHandler)(int) = nullptr;
};

TEST(IniWrite, FailedWriteLeavesTheOldFileWhole) {
    TTempDir Dir;
    const std::string File = Dir.File("Tools.ini");
    const std::string Before =
        "; remembered choices\n[History]\nPath=D:\\Songs\n[Corvena]\nOverWrite=1\n";
    SaveText(File, Before);
    TIniFile Ini(File);
    {
        const TFileSizeLimit Limit(Before.size() + 10);
        ExpectWriteError(Ini, std::string(500, 'x'), "disk full");
    }
    EXPECT_EQ(LoadText(File), Before);
    EXPECT_EQ(Names(Dir.Path()), std::vector<std::string>{"Tools.ini"});
}

} // namespace
