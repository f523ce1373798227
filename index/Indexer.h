// corvena-index: the wizard's file search and song index run from the command line, for
// scripts, SSH sessions and machines without a display. The same two workers run on the same
// kind of connections as in the wizard; progress goes to standard error, a summary to standard
// output, and the exit status tells a script how the run went.
//
// Runs on the main thread of a QCoreApplication: no window system is touched.
#pragma once

#include <QString>
#include <QStringList>

inline constexpr int IndexExitDone = 0;          // completed (unmatched files are no failure)
inline constexpr int IndexExitFailed = 1;        // files failed, or the run could not start
inline constexpr int IndexExitRefused = 2;       // bad arguments, a database or folder not opened
inline constexpr int IndexExitInterrupted = 130; // SIGINT or SIGTERM

// Slow-downs for the tests (a run long enough to be interrupted). Only the test build of the
// program fills them in; the shipped program passes none.
struct TIndexHooks {
    int FileDelayMs = 0;  // per indexed file, on the worker's progress message
    int EntryDelayMs = 0; // per entry of the folder walk
    int WatchLimit = 0;   // --watch: folders that can be watched before the kernel's limit (0: its own)
    int RescanMs = 60000; // --watch: the pass made while not every folder is watched
    int WatchPasses = 0;  // --watch: ends the watch after this many full passes (0: never)
};

// The whole program: AArguments as QCoreApplication::arguments() gives them, AProgramFile the
// program's own file (where Configure.ini is looked for). Returns the exit status.
int RunCorvenaIndex(const QStringList& AArguments, const QString& AProgramFile,
                    const TIndexHooks& AHooks = {});
