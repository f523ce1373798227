// Helpers shared by the tests: a temporary folder removed at the end, and databases made
// from the reference schema.
#pragma once

#include "Schema.h"

#include <filesystem>
#include <string>

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
