// The command line of corvena-index.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

// Songs are committed in whole files, in groups that end after this many milliseconds or files,
// whichever comes first (--commit-ms sets the time; 0 commits every file on its own). A commit
// writes again every page its files touched, so one a file spends most of a run writing the
// same pages of the indexes; at these bounds a run goes at the speed of a loop committing every
// 1,000 files, and another writer (a second run, the host) waits for one group at most.
inline constexpr int DefaultCommitMs = 100;
inline constexpr int MaxCommitMs = 60000;
inline constexpr int CommitGroupFiles = 1000;

struct TIndexOptions {
    QString SongsDir;
    QString Master;
    QString Local; // empty: the local database the wizard would open
    QString UnmatchedFile;
    QString NearMatchesFile;
    QString SummaryJsonFile;
    int CommitMs = DefaultCommitMs;
    bool OnlyAdd = false;
    bool SkipKnown = false;
    bool Watch = false;
    bool Quiet = false;
    bool Help = false;
    bool Version = false;
};

// Reads the arguments after the program name; returns the error text ("" when they are good).
std::string ParseIndexArguments(const QStringList& AArguments, TIndexOptions& AOptions);

// The --help text.
QString IndexUsage();

// The --version line.
QString IndexVersion();
