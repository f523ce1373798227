// TIndexRun: one corvena-index run on open databases: the file search, the indexing, the watch
// that may follow (Watch.h), and the summary and files that tell it at the end.
//
// Runs on the main thread of a QCoreApplication. Without a window every worker message is a
// call on the sender's thread: the index worker's per-file progress would otherwise wake this
// thread and wait for it, file after file.
#pragma once

#include "FileList.h"
#include "IndexOptions.h"
#include "Indexer.h"
#include "Progress.h"
#include "RunReport.h"
#include "SongsThrd.h"
#include "Summary.h"
#include "WinMessages.h"
#include "Workers.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

// A file's identity, to tell the file a name names now from the one opened by it.
struct TFileId {
    dev_t Device = 0;
    ino_t Inode = 0;
};

// The local song database: its absolute name (for a database on a server, the server and the
// database as postgresql://HOST:PORT/DATABASE), and the file it named when opened (none when
// the run does not open it, and for a server).
struct TLocalFile {
    QString Name;
    std::optional<TFileId> Id;
};

class TIndexRun;

// What a run goes on to under --watch (TWatch, Watch.h). Made before the first search, so that a
// file written while the first run goes is told by its event; it indexes the first pass's files
// itself (remembering them), then keeps the database in step with the folder.
class TRunWatch {
public:
    virtual ~TRunWatch() = default;
    virtual TSongIdxReport IndexFirst(const TConnectionRef& ALocal, const TConnectionRef& ATotal,
                                      const TStringListRef& AFiles) = 0;
    virtual void Run(const TConnectionRef& ALocal, const TConnectionRef& ATotal) = 0;
};

using TMakeRunWatch = std::function<std::unique_ptr<TRunWatch>(TIndexRun&)>;

class TIndexRun {
public:
    // ASongsDir as given (trimmed), for the texts; ARoot the folder searched and watched (the
    // same made absolute).
    TIndexRun(const TIndexOptions& AOptions, const QString& ASongsDir, const QString& ARoot, TLocalFile ALocal,
              const TIndexHooks& AHooks);

    // The master is open, and the local database unless AStartError says why the run cannot
    // start (then nothing touches the local file); runs both workers, the watch AMakeWatch makes
    // when asked, and reports. Returns the exit status.
    int Run(const TConnectionRef& ACnnLocal, const TConnectionRef& ACnnTotal, const std::string& AStartError,
            const TMakeRunWatch& AMakeWatch);

    // What the watch runs on.
    const TIndexOptions& Options() const { return FOptions; }
    const QString& SongsDir() const { return FSongsDir; }
    const QString& Root() const { return FRoot; }
    const TLocalFile& Local() const { return FLocal; }
    const TIndexHooks& Hooks() const { return FHooks; }
    TRunReport& Totals() { return FTotals; }
    // Searches the folder into AFiles; AQuiet: without a progress line.
    TFileSearchReport Search(const TStringListRef& AFiles, bool AQuiet);
    // Indexes AFiles; AQuiet: without a progress line.
    TSongIdxReport Index(const TConnectionRef& ALocal, const TConnectionRef& ATotal, const TStringListRef& AFiles,
                         bool AQuiet);
    // AFiles without those that already have a Songs row (counted as known when ACount), or
    // AFiles itself when ASkip is off. A failing read lands in AReport.RunError, and the local
    // database is then what stopped the run.
    TStringListRef WithoutKnown(const TConnectionRef& ALocal, const TStringListRef& AFiles, bool ASkip,
                                TSongIdxReport& AReport, bool ACount);
    // The error that ends the run is about the local database, not the master.
    void StopAtLocal() { FEnd.StopFile = FLocal.Name; }

private:
    // Runs on the sender's thread: this one for the search's walk, the index worker's own
    // thread for its progress. Only FProgress is touched, and by one phase at a time.
    TLParam Handle(unsigned AMsg, TWParam AWParam, TLParam ALParam);
    void StopWorker();
    // Starts AWorker and runs the event loop until it has finished. The worker may be deleted
    // (its release is queued to this thread) as soon as it has finished: nothing here touches
    // it from then on.
    void RunWorker(QThread* AWorker, TWorkerEndRef AEnd);
    // The first search and indexing; AWatch, when watching, remembers what the indexing did.
    void FirstPass(const TConnectionRef& ACnnLocal, const TConnectionRef& ACnnTotal, const std::string& AStartError,
                   TRunWatch* AWatch);
    // The exit status, the files asked for and the summary. AWatched: the run went on to watch.
    int Finish(bool AWatched);

    const TIndexOptions& FOptions;
    QString FSongsDir;
    QString FRoot;
    TLocalFile FLocal;
    TIndexHooks FHooks;
    TProgress FProgress;
    std::chrono::milliseconds FFileDelay;
    std::chrono::milliseconds FEntryDelay;
    TRunReport FTotals;
    TRunEnd FEnd;
    bool FSearchInterrupted = false;
    QThread* const FMainThread = QThread::currentThread();
    QObject FWindow;
    TWindowHandle FHandle = 0;
    QPointer<QThread> FWorker;
    TWorkers FWorkers;
};
