#include "IndexRun.h"

#include "KnownSongs.h"
#include "Signals.h"
#include "ThrdFileSearch.h"
#include "ThrdSongIdx.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include <algorithm>
#include <thread>
#include <unordered_set>

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point AStart) {
    return std::chrono::duration<double>(TClock::now() - AStart).count();
}

// Progress without a line for as long as it lives, when asked.
class TQuietScope {
public:
    TQuietScope(TProgress& AProgress, bool AQuiet) : FProgress(AProgress), FWas(AProgress.Quiet()) {
        if (AQuiet)
            FProgress.SetQuiet(true);
    }
    ~TQuietScope() { FProgress.SetQuiet(FWas); }
    TQuietScope(const TQuietScope&) = delete;
    TQuietScope& operator=(const TQuietScope&) = delete;

private:
    TProgress& FProgress;
    bool FWas;
};

} // namespace

TIndexRun::TIndexRun(const TIndexOptions& AOptions, const QString& ASongsDir, const QString& ARoot,
                     TLocalFile ALocal, const TIndexHooks& AHooks)
    : FOptions(AOptions), FSongsDir(ASongsDir), FRoot(ARoot), FLocal(std::move(ALocal)), FHooks(AHooks),
      FProgress(AOptions.Quiet), FFileDelay(std::max(0, AHooks.FileDelayMs)),
      FEntryDelay(std::max(0, AHooks.EntryDelayMs)) {
    FEnd.StopFile = QString::fromStdString(DatabaseDisplayName(AOptions.Master.toStdString()));
}

int TIndexRun::Run(const TConnectionRef& ACnnLocal, const TConnectionRef& ACnnTotal, const std::string& AStartError,
                   const TMakeRunWatch& AMakeWatch) {
    FHandle = RegisterWindow(
        &FWindow, [this](unsigned AMsg, TWParam AWParam, TLParam ALParam) { return Handle(AMsg, AWParam, ALParam); },
        0, TDelivery::SenderThread);
    QSocketNotifier Wake(SignalFd(), QSocketNotifier::Read);
    QObject::connect(&Wake, &QSocketNotifier::activated, &FWindow, [this] {
        DrainSignalFd();
        StopWorker();
    });

    // The watch starts before the search: a file written while the first run goes is told by
    // its event, not lost between the search and the watch.
    std::unique_ptr<TRunWatch> Watch;
    if (FOptions.Watch && AStartError.empty())
        Watch = AMakeWatch(*this);
    FirstPass(ACnnLocal, ACnnTotal, AStartError, Watch.get());
    bool Watched = false;
    // A server that went away during the first pass is waited for by the watch.
    if (Watch && !FSearchInterrupted && !FTotals.Index.Interrupted &&
        (FTotals.Index.RunError.empty() || FTotals.Index.ConnectionLost)) {
        // The first pass is told as in a run without --watch; the end tells the totals.
        PrintSummary(FTotals, FOptions, FSongsDir, FEnd);
        Watched = true;
        Watch->Run(ACnnLocal, ACnnTotal);
    }
    Watch.reset();
    UnregisterWindow(FHandle);
    FWorkers.WaitForAll();
    return Finish(Watched);
}

void TIndexRun::FirstPass(const TConnectionRef& ACnnLocal, const TConnectionRef& ACnnTotal,
                          const std::string& AStartError, TRunWatch* AWatch) {
    auto Files = std::make_shared<TFileList>();
    const auto SearchStart = TClock::now();
    const TFileSearchReport Search = this->Search(Files, false);
    FTotals.SearchSeconds = SecondsSince(SearchStart);
    FSearchInterrupted = Signalled();
    FTotals.SetSearch(Search, static_cast<int>(Files->size()));
    if (FSearchInterrupted)
        return;
    if (!AStartError.empty()) {
        FTotals.Index.RunError = AStartError;
        return;
    }
    const auto IndexStart = TClock::now();
    TSongIdxReport Report;
    const TStringListRef Unknown = WithoutKnown(ACnnLocal, Files, FOptions.SkipKnown, Report, true);
    // A failing read of the known songs is a database that stopped working.
    if (Report.RunError.empty())
        Report = AWatch ? AWatch->IndexFirst(ACnnLocal, ACnnTotal, Unknown) : Index(ACnnLocal, ACnnTotal, Unknown, false);
    FTotals.Index = std::move(Report);
    FTotals.IndexSeconds = SecondsSince(IndexStart);
}

int TIndexRun::Finish(bool AWatched) {
    const TSongIdxReport& Report = FTotals.Index;
    // A watch ends by a signal: that is its normal end.
    FEnd.Interrupted = FSearchInterrupted || Report.Interrupted || (AWatched && Signalled());
    int Status = FEnd.Interrupted && !AWatched                   ? IndexExitInterrupted
                 : (!Report.RunError.empty() || Report.Failed > 0) ? IndexExitFailed
                                                                    : IndexExitDone;
    if (!WriteReportFiles(FTotals, FOptions, FEnd) && Status == IndexExitDone)
        Status = IndexExitFailed;
    PrintSummary(FTotals, FOptions, FSongsDir, FEnd);
    return Status;
}

TLParam TIndexRun::Handle(unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    if (AMsg != WM_WIZ_PROGRESS)
        return 0;
    if (ALParam == 0) {
        if (FEntryDelay.count() > 0)
            std::this_thread::sleep_for(FEntryDelay);
        FProgress.Search(static_cast<int>(AWParam));
    } else {
        if (FFileDelay.count() > 0)
            std::this_thread::sleep_for(FFileDelay);
        FProgress.Index(static_cast<int>(AWParam), static_cast<int>(ALParam));
    }
    // Seen here too, so the worker stops before the file this message announces. The index
    // worker is the sender: it asks itself, the pointer to it belongs to this thread.
    if (Signalled()) {
        if (QThread::currentThread() == FMainThread)
            StopWorker();
        else
            QThread::currentThread()->requestInterruption();
    }
    return 0;
}

void TIndexRun::StopWorker() {
    if (FWorker)
        FWorker->requestInterruption();
}

void TIndexRun::RunWorker(QThread* AWorker, TWorkerEndRef AEnd) {
    QEventLoop Loop;
    FWorker = AWorker;
    FWorkers.Start(AWorker, std::move(AEnd), &Loop, [&Loop] { Loop.quit(); });
    // A signal that came before the worker ran stops it before its first entry (a request to
    // a thread not yet running would be dropped).
    if (Signalled())
        AWorker->requestInterruption();
    Loop.exec();
    FWorker = nullptr;
}

TFileSearchReport TIndexRun::Search(const TStringListRef& AFiles, bool AQuiet) {
    const TQuietScope Quiet(FProgress, AQuiet);
    FProgress.StartPhase(false);
    // The search collects every file, and its walk runs on this thread inside the worker's
    // blocking call, letting the events through (a signal's wake-up among them).
    auto* Worker = new TFileSearchThrd(true, FHandle, FRoot, QStringLiteral(".*"), AFiles);
    const TFileSearchReportRef Report = Worker->Report();
    RunWorker(Worker, Worker->End());
    FProgress.EndPhase();
    return *Report;
}

TSongIdxReport TIndexRun::Index(const TConnectionRef& ALocal, const TConnectionRef& ATotal,
                                const TStringListRef& AFiles, bool AQuiet) {
    const TQuietScope Quiet(FProgress, AQuiet);
    FProgress.StartPhase(true);
    auto* Worker = new TSongIdxThrd(FHandle, ALocal, ATotal, AFiles, !FOptions.OnlyAdd);
    if (FOptions.CommitMs > 0)
        Worker->SetCommitBounds({CommitGroupFiles, std::chrono::milliseconds(FOptions.CommitMs)});
    const TSongIdxReportRef Report = Worker->Report();
    RunWorker(Worker, Worker->End());
    FProgress.EndPhase();
    // The worker has ended and touches it no more.
    return std::move(*Report);
}

TStringListRef TIndexRun::WithoutKnown(const TConnectionRef& ALocal, const TStringListRef& AFiles, bool ASkip,
                                       TSongIdxReport& AReport, bool ACount) {
    if (!ASkip || AFiles->isEmpty())
        return AFiles;
    std::unordered_set<std::string> Known;
    AReport.RunError = ReadKnownPaths(ALocal, Known, &AReport.ConnectionLost);
    if (!AReport.RunError.empty()) {
        StopAtLocal();
        return AFiles;
    }
    auto Unknown = std::make_shared<TFileList>();
    std::string Path;
    for (qsizetype I = 0; I < AFiles->size(); ++I) {
        Path = AFiles->Utf8(I);
        if (Known.count(Path) == 0)
            Unknown->Append(Path);
    }
    if (ACount)
        FTotals.Known += static_cast<std::size_t>(AFiles->size() - Unknown->size());
    return Unknown;
}
