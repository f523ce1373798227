#include "Paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <ostream>

namespace {

const char* StyleName(const TPathStyle& AStyle) {
    return AStyle.Separator == '\\' ? "windows" : "posix";
}

struct TPathCase {
    TPathStyle Style;
    const char* Path;
    int Levels; // Parent: GetParentPath, otherwise GetUpperPath with this many levels
    const char* Expected;
};

constexpr int Parent = std::numeric_limits<int>::min();

std::ostream& operator<<(std::ostream& AStream, const TPathCase& ACase) {
    AStream << StyleName(ACase.Style) << " " << ACase.Path;
    if (ACase.Levels == Parent)
        return AStream << " parent";
    return AStream << " levels " << ACase.Levels;
}

class PathRules : public ::testing::TestWithParam<TPathCase> {};

TEST_P(PathRules, GiveTheExpectedFolder) {
    const TPathCase& Case = GetParam();
    const std::string Result = Case.Levels == Parent
                                   ? GetParentPath(Case.Path, Case.Style)
                                   : GetUpperPath(Case.Path, Case.Levels, Case.Style);
    EXPECT_EQ(Result, Case.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, PathRules,
    ::testing::Values(TPathCase{WindowsPathStyle, "C:\\KTV\\Tools\\", Parent, "C:\\KTV\\"},
                      TPathCase{WindowsPathStyle, "C:\\KTV\\Tools\\x.exe", Parent, "C:\\KTV\\"},
                      TPathCase{WindowsPathStyle, "C:\\", Parent, "C:"},
                      TPathCase{WindowsPathStyle, "C:\\KTV\\", Parent, "C:\\"},
                      TPathCase{WindowsPathStyle, "x.exe", Parent, ""},
                      TPathCase{WindowsPathStyle, "C:\\KTV\\Tools\\x.exe", 0, "C:\\KTV\\Tools\\"},
                      TPathCase{WindowsPathStyle, "C:\\KTV\\Tools\\x.exe", 1, "C:\\KTV\\"},
                      TPathCase{WindowsPathStyle, "C:\\KTV\\Tools\\x.exe", 2, "C:\\"},
                      TPathCase{WindowsPathStyle, "C:\\KTV\\Tools\\x.exe", 7, "C:\\"},
                      TPathCase{WindowsPathStyle, "C:\\x.exe", 2, "C:\\"},
                      TPathCase{WindowsPathStyle, "C:\\x.exe", -3, "C:\\"},
                      TPathCase{WindowsPathStyle, "D:\\a/b\\x.exe", 1, "D:\\"}));

INSTANTIATE_TEST_SUITE_P(
    Posix, PathRules,
    ::testing::Values(TPathCase{PosixPathStyle, "/opt/ktv/tools/", Parent, "/opt/ktv/"},
                      TPathCase{PosixPathStyle, "/opt/ktv/tools/Corvena", Parent, "/opt/ktv/"},
                      TPathCase{PosixPathStyle, "/opt/", Parent, "/"},
                      TPathCase{PosixPathStyle, "/", Parent, ""},
                      TPathCase{PosixPathStyle, "/opt/ktv/tools/Corvena", 0, "/opt/ktv/tools/"},
                      TPathCase{PosixPathStyle, "/opt/ktv/tools/Corvena", 1, "/opt/ktv/"},
                      TPathCase{PosixPathStyle, "/opt/ktv/tools/Corvena", 2, "/opt/"},
                      TPathCase{PosixPathStyle, "/opt/Corvena", 2, "/"},
                      TPathCase{PosixPathStyle, "/Corvena", 2, "/"},
                      // A drive letter means nothing here; a backslash is part of a name.
                      TPathCase{PosixPathStyle, "/a/C:\\b\\x", 1, "/"}));

TEST(PathParts, FolderPartAndDirectoryKeepOnlyARootSeparator) {
    struct {
        TPathStyle Style;
        const char* Path;
        const char* FolderPart;
        const char* Directory;
    } Cases[] = {
        {WindowsPathStyle, "C:\\KTV\\x.exe", "C:\\KTV\\", "C:\\KTV"},
        {WindowsPathStyle, "C:\\x.exe", "C:\\", "C:\\"},
        {WindowsPathStyle, "C:x.exe", "C:", "C:"},
        {WindowsPathStyle, "\\x.exe", "\\", "\\"},
        {WindowsPathStyle, "x.exe", "", ""},
        {PosixPathStyle, "/opt/x", "/opt/", "/opt"},
        {PosixPathStyle, "/x", "/", "/"},
        {PosixPathStyle, "C:x", "", ""},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(ExtractFilePath(Case.Path, Case.Style), Case.FolderPart) << Case.Path;
        EXPECT_EQ(ExtractFileDir(Case.Path, Case.Style), Case.Directory) << Case.Path;
    }
}

// The song folder as the search stores it: the same folder typed another way gives the same
// paths, and nothing that the file system alone can resolve (links below "..") is rewritten.
TEST(PathParts, LexicalFolderPathDropsDoubledSeparatorsAndDotNames) {
    struct {
        const char* Path;
        const char* Expected;
    } Cases[] = {
        {"Songs", "Songs"},
        {"Songs/", "Songs"},
        {"Songs//", "Songs"},
        {"./Songs/.", "Songs"},
        {"././Songs/./A/.//", "Songs/A"},
        {"/data//ktv/./Songs/", "/data/ktv/Songs"},
        {"//data/Songs", "/data/Songs"},
        {"/", "/"},
        {"//", "/"},
        {"/.", "/"},
        {".", "."},
        {"./", "."},
        {"./.", "."},
        {"..", ".."},
        {"../Songs/..//x/", "../Songs/../x"},
        {"Songs/.hidden/..x", "Songs/.hidden/..x"},
        {"a\\b/", "a\\b"}, // backslashes are name characters here
        {"", ""},
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(LexicalFolderPath(Case.Path), Case.Expected) << Case.Path;
}

} // namespace
