// corvena-index run as a program on a small library made here, writing into a database of the
// test's own on the PostgreSQL server of the test run (PgTestSupport.h).
#pragma once

#include "PgTestSupport.h"
#include "TestSupport.h"

#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct TIndexResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// The environment of the tests' runs: no display, the server's PG variables kept.
QProcessEnvironment CleanEnvironment(int AFileDelayMs = 0);
void SetArgument(std::vector<std::string>& AArguments, const std::string& AOption, const std::string& AValue);
int EnvInt(const char* AName, int ADefault);
std::map<std::string, int> FiguresOf(const QJsonObject& AJson);
std::string Describe(const std::map<std::string, int>& AFaults);

class TPgIndexTest : public ::testing::Test {
protected:
    void SetUp() override;

    // The master knows ACount songs NNN.mpg (song 3 has no name); the folder holds them in two
    // folders, a copy of 001 in another letter case, two files the master does not know and one
    // whose name is not UTF-8 (the file database's tests have the same library).
    void MakeLibrary(int ACount);
    // ACount songs of disco and other types under 37 language and 23 type names, so that runs
    // at once meet on the same names.
    void MakeMixedLibrary(int ACount);
    void AddMasterSong(const std::string& AName, const std::string& AFile);

    // --songs, --master, --local (the test's database), --summary-json (of run ARun when given).
    std::vector<std::string> Arguments(std::vector<std::string> AMore = {}, int ARun = -1) const;
    std::string JsonFile(int ARun = -1) const;
    TIndexResult RunIndex(const std::vector<std::string>& AArguments,
                          const QProcessEnvironment& AEnvironment = CleanEnvironment());
    std::unique_ptr<QProcess> StartIndex(const std::vector<std::string>& AArguments,
                                         const char* AProgram = CORVENA_INDEX_PROGRAM,
                                         const QProcessEnvironment& AEnvironment = CleanEnvironment());
    QJsonObject JsonOf(int ARun = -1) const;
    std::map<std::string, int> Figures(int ARun = -1) const { return FiguresOf(JsonOf(ARun)); }
    // What must never be: a disco-type song without its mirror, a mirror without its song, a
    // row twice.
    std::map<std::string, int> Faults() const;

    TTempDir FDir;
    std::unique_ptr<TPgDatabase> FDb;
    std::string FMaster, FSongs;
};
