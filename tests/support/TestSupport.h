// Helpers shared by the tests: a temporary folder removed at the end, and databases made
// from the reference schema.
#pragma once

#include "Schema.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    // PATH/AName as a string.
    std::string File(const std::string& AName) const;

private:
    std::filesystem::path FPath;
};

// Creates an empty database of the given schema in the folder and returns its file name.
std::string MakeDatabase(const TTempDir& ADir, const std::string& AName, TSchemaKind AKind);

// Runs SQL on a database file directly (fixtures and checks), throwing on failure.
void RunSql(const std::string& AFileName, const std::string& ASql);
// The first column of the first row of a query as text ("" for null or no row).
std::string QueryText(const std::string& AFileName, const std::string& ASql);

// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=FILE;Persist Security Info=false;"
std::string JetConnectionString(const std::string& AFileName);

// The file's bytes ("" when it cannot be read).
std::string ReadFile(const std::string& AFileName);
// A file of one NUL byte at APath, its folders made: a song file as the search sees one.
void TouchFile(const std::filesystem::path& APath);

// File names that break a list of one path a line unless it escapes them: control characters,
// DEL, backslashes that read as an escape, a backslash at the end.
inline const std::vector<std::string> HostileNames = {
    "new\nline.mpg", "carriage\rreturn.mpg", "tab\there.mpg", "del\x7F.mpg", "esc\x1B[0m.mpg",
    R"(looks\x41like.mpg)", R"(\x5C.mpg)", R"(half\x4.mpg)", R"(back\slash.mpg)", "\xE6\xAD\x8C\\xZZ.mpg",
    "ends in a backslash\\"};

// A line of such a list read back as a script would: every \xNN (two hex digits, either case)
// becomes its byte, everything else stays.
std::string DecodeEscapes(std::string_view ALine);
