#include "Indexer.h"

#include "AccessImport.h"
#include "Config.h"
#include "ConfigPlaces.h"
#include "FolderWatcher.h"
#include "ThrdFileSearch.h"
#include "ThrdSongIdx.h"
#include "WinMessages.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

constexpr const char* ProgramName = "corvena-index";
// Lines of the text summary that list paths with their reason or error.
constexpr std::size_t SummaryListed = 5;

// ---------------------------------------------------------------------------------------------
// Signals: the handler only sets the flag and wakes the main thread through a pipe; the main
// thread asks the running worker to stop.

std::atomic<bool> Signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);
int SignalPipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
    const int Saved = errno;
    Signalled.store(true);
    const char Byte = 1;
    if (write(SignalPipe[1], &Byte, 1) < 0) {
        // The pipe is full: a wake-up is pending already.
    }
    errno = Saved;
}

bool InstallSignalHandlers() {
    if (SignalPipe[0] < 0 && pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction Action {};
    Action.sa_handler = OnSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (const int Signal : {SIGINT, SIGTERM}) {
        // A signal ignored from the start (a background job of a script, nohup) stays ignored.
        struct sigaction Old {};
        if (sigaction(Signal, nullptr, &Old) != 0)
            return false;
        if (Old.sa_handler != SIG_IGN && sigaction(Signal, &Action, nullptr) != 0)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Text helpers

std::string OneLine(std::string AText) {
    std::replace_if(AText.begin(), AText.end(), [](char C) { return C == '\n' || C == '\r'; }, ' ');
    return AText;
}

std::string Quoted(const QString& AText) {
    std::string Result(1, '"');
    Result += AText.toStdString();
    Result += '"';
    return Result;
}

std::string Seconds(double AValue) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.2f s", AValue);
    return Text;
}

std::string Clock(double ASeconds) {
    const long Total = static_cast<long>(ASeconds + 0.5);
    char Text[32];
    if (Total >= 3600)
        std::snprintf(Text, sizeof Text, "%ld:%02ld:%02ld", Total / 3600, Total / 60 % 60, Total % 60);
    else
        std::snprintf(Text, sizeof Text, "%ld:%02ld", Total / 60, Total % 60);
    return Text;
}

// Invalid UTF-8 would make the document unreadable: such bytes become U+FFFD.
QString JsonText(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

// A field of a list file: control characters (tab, newline, carriage return, ...) as \xNN, so a
// line holds one entry and a tab separates its fields; escaped as the unmatched list is.
std::string ListField(const std::string& AText) { return EscapePath(AText); }

// "" when AFile can be written (created or replaced) without creating it now.
std::string WritableProblem(const QString& AFile) {
    const QFileInfo Info(AFile);
    if (Info.exists()) {
        if (Info.isDir())
            return "it is a folder";
        if (access(QFile::encodeName(AFile).constData(), W_OK) != 0)
            return "it cannot be written";
        return {};
    }
    const QFileInfo Folder(Info.absolutePath());
    if (!Folder.isDir())
        return "its folder does not exist";
    if (access(QFile::encodeName(Folder.absoluteFilePath()).constData(), W_OK | X_OK) != 0)
        return "its folder cannot be written";
    return {};
}

bool WriteWhole(const QString& AFile, const std::string& AText, std::string& AError) {
    QFile File(AFile);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        File.write(AText.data(), static_cast<qint64>(AText.size())) != static_cast<qint64>(AText.size()) ||
        !File.flush()) {
        AError = File.errorString().toStdString();
        return false;
    }
    File.close();
    return true;
}

// A new open connection, or the error that kept it closed.
TConnectionRef OpenConnection(const std::string& AConnectionString, TConnectMode AMode,
                              std::string& AError) {
    try {
        return OpenConnection(AConnectionString, AMode);
    } catch (const std::exception& Error) {
        AError = Error.what();
        return nullptr;
    }
}

// The JSON's "errors": the files that failed (a run stopped before any file failed has none,
// and names the database that stopped it instead), then what the search did not collect, at
// most MaxErrors in all.
constexpr std::size_t MaxErrors = 100;

std::vector<TSongIdxFailure> SummaryErrors(const TSongIdxReport& AReport,
                                           const std::vector<TNotCollected>& ANotCollected,
                                           const std::string& AStopFile) {
    std::vector<TSongIdxFailure> Errors;
    if (AReport.Failures.empty() && !AReport.RunError.empty())
        Errors.push_back(TSongIdxFailure{AStopFile, AReport.RunError});
    else
        Errors.assign(AReport.Failures.begin(),
                      AReport.Failures.begin() + static_cast<std::ptrdiff_t>(std::min(AReport.Failures.size(), MaxErrors)));
    for (const TNotCollected& Skipped : ANotCollected) {
        if (Errors.size() >= MaxErrors)
            break;
        Errors.push_back(TSongIdxFailure{Skipped.Path.toStdString(), Skipped.Reason.toStdString()});
    }
    return Errors;
}

// ---------------------------------------------------------------------------------------------
// Progress on standard error

class TProgress {
public:
    explicit TProgress(bool AQuiet)
        : FQuiet(AQuiet), FTerminal(isatty(STDERR_FILENO) == 1),
          FEscapes(qgetenv("TERM") != "dumb"), FLastLine(TClock::now()) {}

    void StartPhase(bool AIndex) {
        FIndex = AIndex;
        FPhaseStart = TClock::now();
        FCurrent = 0;
        FTotal = 0;
        FShown = false;
    }

    void Search(int ASeen) {
        FCurrent = ASeen;
        Show(false);
    }

    void Index(int ACurrent, int ATotal) {
        FCurrent = ACurrent;
        FTotal = ATotal;
        Show(false);
    }

    // The terminal's line shows the last state and is left standing.
    void EndPhase() {
        if (FQuiet || !FTerminal)
            return;
        Show(true);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    void Show(bool AForce) {
        if (FQuiet)
            return;
        const auto Now = TClock::now();
        // A terminal is redrawn at a rate the eye can follow; a log gets a line now and then.
        const auto Every = FTerminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(5000);
        if (!AForce && FShown && Now - FLastLine < Every)
            return;
        if (!AForce && !FTerminal && Now - FLastLine < Every)
            return;
        FLastLine = Now;
        FShown = true;
        std::string Line = FTerminal ? TerminalLine(Now) : LogLine(Now);
        if (FTerminal && FEscapes) {
            std::fprintf(stderr, "\r%s\033[K", Line.c_str());
        } else if (FTerminal) {
            // A dumb terminal knows no erase: blanks cover what a longer line left.
            const std::size_t Length = Line.size();
            if (Line.size() < FLastLength)
                Line.append(FLastLength - Line.size(), ' ');
            FLastLength = Length;
            std::fprintf(stderr, "\r%s", Line.c_str());
        } else
            std::fprintf(stderr, "%s: %s\n", ProgramName, Line.c_str());
        std::fflush(stderr);
    }

    double Elapsed(TClock::time_point ANow) const {
        return std::chrono::duration<double>(ANow - FPhaseStart).count();
    }

    // Files per second so far and the time left; false until there is a rate to go by.
    bool Rate(TClock::time_point ANow, double& APerSecond, double& ALeft) const {
        const double Done = std::max(FCurrent - 1, 0);
        const double Time = Elapsed(ANow);
        if (Time < 0.5 || Done <= 0)
            return false;
        APerSecond = Done / Time;
        ALeft = (FTotal - Done) / APerSecond;
        return true;
    }

    std::string TerminalLine(TClock::time_point ANow) const {
        char Text[256];
        if (!FIndex) {
            std::snprintf(Text, sizeof Text, "Searching: %d files seen", FCurrent);
            return Fit(Text);
        }
        constexpr int BarWidth = 24;
        const int Filled = FTotal > 0 ? static_cast<int>(static_cast<long long>(FCurrent) * BarWidth / FTotal) : 0;
        const std::string Bar = std::string(static_cast<std::size_t>(Filled), '#') +
                                std::string(static_cast<std::size_t>(BarWidth - Filled), '-');
        double PerSecond = 0;
        double Left = 0;
        std::string Speed = "-- files/s, --:-- left";
        if (Rate(ANow, PerSecond, Left))
            Speed = std::to_string(static_cast<long>(PerSecond + 0.5)) + " files/s, " + Clock(Left) + " left";
        std::snprintf(Text, sizeof Text, "Indexing [%s] %d/%d %s", Bar.c_str(), FCurrent, FTotal,
                      Speed.c_str());
        return Fit(Text);
    }

    std::string LogLine(TClock::time_point ANow) const {
        char Text[256];
        if (!FIndex) {
            std::snprintf(Text, sizeof Text, "searching, %d files seen", FCurrent);
            return Text;
        }
        double PerSecond = 0;
        double Left = 0;
        std::string Speed;
        if (Rate(ANow, PerSecond, Left))
            Speed = ", " + std::to_string(static_cast<long>(PerSecond + 0.5)) + " files/s, " +
                    Clock(Left) + " left";
        const int Percent = FTotal > 0 ? static_cast<int>(static_cast<long long>(FCurrent) * 100 / FTotal) : 0;
        std::snprintf(Text, sizeof Text, "indexing file %d of %d (%d%%)%s", FCurrent, FTotal, Percent,
                      Speed.c_str());
        return Text;
    }

    // A line wider than the terminal would wrap, and "\r" would then redraw only its end.
    static std::string Fit(std::string ALine) {
        winsize Size{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 1 &&
            ALine.size() >= Size.ws_col)
            ALine.resize(static_cast<std::size_t>(Size.ws_col) - 1);
        return ALine;
    }

    bool FQuiet;
    bool FTerminal;
public:
    bool Quiet() const { return FQuiet; }
    void SetQuiet(bool AQuiet) { FQuiet = AQuiet; }
private:
    bool FEscapes;
    std::size_t FLastLength = 0;
    bool FIndex = false;
    bool FShown = false;
    TClock::time_point FLastLine;
    TClock::time_point FPhaseStart;
    int FCurrent = 0;
    int FTotal = 0;
};

// ---------------------------------------------------------------------------------------------
// The run

using TSearchResult = TFileSearchReport;

// A file as the watch handled it: another inode, size or time is a new version of it.
struct TFileMark {
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    std::int64_t ModifiedNs = 0;
    bool operator==(const TFileMark&) const = default;
};

// What APath names now (a link's target, or a broken link itself); nothing when it is gone.
std::optional<TFileMark> MarkOf(const std::string& APath) {
    struct stat Info {};
    if (stat(APath.c_str(), &Info) != 0 && lstat(APath.c_str(), &Info) != 0)
        return std::nullopt;
    return TFileMark{Info.st_dev, Info.st_ino, Info.st_size,
                     static_cast<std::int64_t>(Info.st_mtim.tv_sec) * 1000000000 + Info.st_mtim.tv_nsec};
}

// The bytes of a path as EscapePath wrote it.
std::string UnescapePath(const std::string& AText) {
    std::string Bytes;
    Bytes.reserve(AText.size());
    for (std::size_t I = 0; I < AText.size(); ++I) {
        if (AText[I] == '\\' && I + 3 < AText.size() && AText[I + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(AText[I + 2])) &&
            std::isxdigit(static_cast<unsigned char>(AText[I + 3]))) {
            Bytes += static_cast<char>(std::stoi(AText.substr(I + 2, 2), nullptr, 16));
            I += 3;
        } else {
            Bytes += AText[I];
        }
    }
    return Bytes;
}

// Whether a path the search listed as not collected is a file (counted as seen), not a folder.
bool IsFileEntry(const QString& AShown) {
    const std::string Path = UnescapePath(AShown.toStdString());
    struct stat Info {};
    if (lstat(Path.c_str(), &Info) != 0)
        return false;
    if (S_ISLNK(Info.st_mode) && stat(Path.c_str(), &Info) != 0)
        return true; // a broken link names a file
    return !S_ISDIR(Info.st_mode);
}

// The search's reasons for what it does not collect, as it words them.
const QString FileNameNotUtf8 = QStringLiteral("file name is not valid UTF-8");
const QString FolderNameNotUtf8 = QStringLiteral("folder name is not valid UTF-8; not searched");
const QString NotARegularFile = QStringLiteral("not a regular file");

// Whether the local database has a song row for exactly APath (true when it cannot tell).
bool HasRow(const TConnectionRef& ALocal, const std::string& APath) {
    try {
        TQuery Query(*ALocal);
        // The first comparison uses the column's index (letter case folded), the second is exact.
        Query.SetSQL("select 1 from Songs where FilePath = :Path and FilePath = :Path collate binary");
        Query.SetText("Path", APath);
        Query.Open();
        return !Query.Eof();
    } catch (const TDatabaseError&) {
        return true;
    }
}

// A file's identity, to tell the file a name names now from the one opened by it.
struct TFileId {
    dev_t Device = 0;
    ino_t Inode = 0;
};

class TIndexRun {
public:
    // ASongsDir as given (trimmed), for the texts; ARoot the folder searched and watched (the
    // same made absolute); ALocal the local database's absolute name and ALocalId the file it
    // named when opened (none when the run does not open it).
    TIndexRun(const TIndexOptions& AOptions, const QString& ASongsDir, const QString& ARoot, const QString& ALocal,
              std::optional<TFileId> ALocalId, const TIndexHooks& AHooks)
        : FOptions(AOptions), FSongsDir(ASongsDir), FRoot(ARoot), FLocal(ALocal), FLocalId(ALocalId),
          FProgress(AOptions.Quiet), FFileDelay(std::max(0, AHooks.FileDelayMs)),
          FEntryDelay(std::max(0, AHooks.EntryDelayMs)), FWatchLimit(std::max(0, AHooks.WatchLimit)),
          FRescan(std::max(1, AHooks.RescanMs)), FPassLimit(std::max(0, AHooks.WatchPasses)) {}

    // The master is open, and the local database unless AStartError says why the run cannot
    // start (then nothing touches the local file); runs both workers and reports. Returns the
    // exit status.
    int Run(TConnectionRef ACnnLocal, TConnectionRef ACnnTotal, const std::string& AStartError) {
        // No window: every message is a call on the sender's thread (the index worker's per-file
        // progress would otherwise wake this thread and wait for it, file after file).
        FHandle = RegisterWindow(
            &FWindow, [this](unsigned AMsg, TWParam AWParam, TLParam ALParam) { return Handle(AMsg, AWParam, ALParam); },
            0, TDelivery::SenderThread);
        QSocketNotifier Wake(SignalPipe[0], QSocketNotifier::Read);
        QObject::connect(&Wake, &QSocketNotifier::activated, &FWindow, [this] {
            char Buffer[64];
            while (read(SignalPipe[0], Buffer, sizeof Buffer) > 0) {
            }
            StopWorker();
        });

        // The watch starts before the search: a file written while the first run goes is
        // told by its event, not lost between the search and the watch.
        std::optional<TFolderWatcher> Watcher;
        bool Watching = false;
        if (FOptions.Watch && AStartError.empty()) {
            Watcher.emplace(FRoot.toStdString(), TFolderWatcher::DefaultSettle, WatchStandIn());
            Watching = Watcher->Start();
        }

        auto Files = std::make_shared<QStringList>();
        const auto SearchStart = TClock::now();
        TSearchResult Search = RunSearch(Files);
        FSearchSeconds = std::chrono::duration<double>(TClock::now() - SearchStart).count();
        FSearchInterrupted = Signalled.load();
        int Collected = static_cast<int>(Files->size());

        TSongIdxReport Report;
        if (!FSearchInterrupted && !AStartError.empty()) {
            Report.RunError = AStartError;
        } else if (!FSearchInterrupted) {
            const auto IndexStart = TClock::now();
            const TStringListRef Unknown = WithoutKnown(ACnnLocal, Files, FOptions.SkipKnown, Report, true);
            // A failing read of the known songs is a database that stopped working.
            if (!Report.RunError.empty()) {
                FStopFile = FLocal;
            } else {
                std::vector<std::optional<TFileMark>> Marks;
                if (Watcher)
                    Marks = MarksOf(*Unknown);
                Report = *RunIndex(ACnnLocal, ACnnTotal, Unknown);
                if (Watcher)
                    Account(ACnnLocal, *Unknown, Marks, Report);
            }
            FIndexSeconds = std::chrono::duration<double>(TClock::now() - IndexStart).count();
        }
        bool Watched = false;
        if (Watcher && !FSearchInterrupted && !Report.Interrupted && Report.RunError.empty()) {
            // The first pass is told as in a run without --watch; the end tells the totals.
            PrintSummary(Search, Collected, Report, false);
            Watched = true;
            for (const TNotCollected& Skipped : Search.NotCollected)
                FTold.insert(Skipped.Path.toStdString());
            FUnmatchedListed.insert(Report.Unmatched.begin(), Report.Unmatched.end());
            Watch(*Watcher, Watching, ACnnLocal, ACnnTotal, Search, Collected, Report);
        }
        Watcher.reset();
        UnregisterWindow(FHandle);
        WaitForWorkers();

        // A watch ends by a signal: that is its normal end.
        const bool Interrupted = FSearchInterrupted || Report.Interrupted || (Watched && Signalled.load());
        int Status = Interrupted && !Watched                          ? IndexExitInterrupted
                     : (!Report.RunError.empty() || Report.Failed > 0) ? IndexExitFailed
                                                                        : IndexExitDone;
        if (!WriteOutputs(Search, Collected, Report, Interrupted) && Status == IndexExitDone)
            Status = IndexExitFailed;
        PrintSummary(Search, Collected, Report, Interrupted);
        return Status;
    }

private:
    // Runs on the sender's thread: this one for the search's walk, the index worker's own
    // thread for its progress. Only FProgress is touched, and by one phase at a time.
    TLParam Handle(unsigned AMsg, TWParam AWParam, TLParam ALParam) {
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
        // Seen here too, so the worker stops before the file this message announces. The
        // index worker is the sender: it asks itself, the pointer to it belongs to this thread.
        if (Signalled.load()) {
            if (QThread::currentThread() == FMainThread)
                StopWorker();
            else
                QThread::currentThread()->requestInterruption();
        }
        return 0;
    }

    void StopWorker() {
        if (FWorker)
            FWorker->requestInterruption();
    }

    // Starts AWorker and runs the event loop until it has finished. The worker may be deleted
    // (its release is queued to this thread) as soon as it has finished: nothing here touches
    // it from then on.
    void RunWorker(QThread* AWorker) {
        QEventLoop Loop;
        QObject::connect(AWorker, &QThread::finished, &Loop, &QEventLoop::quit, Qt::QueuedConnection);
        FWorker = AWorker;
        // Workers gone already need no waiting at the end (a watch starts thousands).
        std::erase_if(FStarted, [](const QPointer<QThread>& AStarted) { return AStarted.isNull(); });
        FStarted.emplace_back(AWorker);
        AWorker->start(QThread::LowPriority);
        // A signal that came before the worker ran stops it before its first entry (a request
        // to a thread not yet running would be dropped).
        if (Signalled.load())
            AWorker->requestInterruption();
        Loop.exec();
        FWorker = nullptr;
    }

    TSearchResult RunSearch(const TStringListRef& AFiles) {
        FProgress.StartPhase(false);
        // The search collects every file, and its walk runs on this thread inside the worker's
        // blocking call, letting the events through (a signal's wake-up among them).
        auto* Worker = new TFileSearchThrd(true, FHandle, FRoot, QStringLiteral(".*"), AFiles);
        const TFileSearchReportRef Report = Worker->Report();
        RunWorker(Worker);
        FProgress.EndPhase();
        return *Report;
    }

    // AFiles without those that already have a Songs row (counted in FKnown when ACount), or
    // AFiles itself when ASkip is off. A failing read lands in AReport.RunError.
    TStringListRef WithoutKnown(const TConnectionRef& ACnnLocal, const TStringListRef& AFiles, bool ASkip,
                                TSongIdxReport& AReport, bool ACount) {
        if (!ASkip || AFiles->isEmpty())
            return AFiles;
        std::unordered_set<std::string> Known;
        try {
            // Stepped row by row: only the paths are kept.
            TQuery Query(*ACnnLocal);
            Query.SetSQL("select FilePath from Songs");
            for (Query.Open(); !Query.Eof(); Query.Next())
                if (!std::holds_alternative<std::monostate>(Query.FieldValue(0)))
                    Known.insert(Query.FieldAsString(0));
        } catch (const TDatabaseError& Error) {
            AReport.RunError = std::string("cannot read the known songs: ") + Error.what();
            return AFiles;
        }
        auto Unknown = std::make_shared<QStringList>();
        Unknown->reserve(AFiles->size());
        for (const QString& File : *AFiles)
            if (Known.count(File.toStdString()) == 0)
                Unknown->append(File);
        if (ACount)
            FKnown += static_cast<std::size_t>(AFiles->size() - Unknown->size());
        return Unknown;
    }

    // The totals of a watch: a path listed as unmatched once is not listed again (a new version
    // of it is told on its own line, not in the list twice).
    void Add(TSongIdxReport& ATotals, const TSongIdxReport& APart) {
        ATotals.Files += APart.Files;
        ATotals.Matched += APart.Matched;
        ATotals.Inserted += APart.Inserted;
        ATotals.Updated += APart.Updated;
        ATotals.Kept += APart.Kept;
        ATotals.WithoutName += APart.WithoutName;
        std::unordered_set<std::string> Listed;
        for (const std::string& Path : APart.Unmatched)
            if (FUnmatchedListed.insert(Path).second) {
                ATotals.Unmatched.push_back(Path);
                Listed.insert(Path);
            }
        for (const TNearMatch& Match : APart.NearMatches)
            if (Listed.count(Match.Path) > 0)
                ATotals.NearMatches.push_back(Match);
        ATotals.Failed += APart.Failed;
        for (const TSongIdxFailure& Failure : APart.Failures)
            if (ATotals.Failures.size() < TSongIdxReport::MaxFailures)
                ATotals.Failures.push_back(Failure);
        ATotals.Interrupted = ATotals.Interrupted || APart.Interrupted;
        if (ATotals.RunError.empty())
            ATotals.RunError = APart.RunError;
    }

    std::vector<std::optional<TFileMark>> MarksOf(const QStringList& AFiles) const {
        std::vector<std::optional<TFileMark>> Marks;
        Marks.reserve(static_cast<std::size_t>(AFiles.size()));
        for (const QString& File : AFiles)
            Marks.push_back(MarkOf(File.toStdString()));
        return Marks;
    }

    // Remembers the files of AFiles that APart handled without giving them a song row
    // (unmatched, without a song name, failed), each with its mark taken before indexing: a
    // pass, or an event of that same version, leaves them alone. Files that have a row need
    // no memory: a pass skips them as known.
    void Account(const TConnectionRef& ALocal, const QStringList& AFiles,
                 const std::vector<std::optional<TFileMark>>& AMarks, const TSongIdxReport& APart) {
        std::unordered_set<std::string> Rowless(APart.Unmatched.begin(), APart.Unmatched.end());
        Rowless.insert(APart.WithoutNameFiles.begin(), APart.WithoutNameFiles.end());
        for (const TSongIdxFailure& Failure : APart.Failures)
            Rowless.insert(Failure.Path);
        // More failures than the report lists: the database tells which of the rest have a row.
        const bool AllListed = static_cast<std::size_t>(std::max(APart.Failed, 0)) <= APart.Failures.size();
        const qsizetype Handled = std::min<qsizetype>(APart.Files, AFiles.size());
        for (qsizetype I = 0; I < Handled; ++I) {
            std::string Path = AFiles[I].toStdString();
            const std::optional<TFileMark>& Mark = AMarks[static_cast<std::size_t>(I)];
            if (Mark && (Rowless.count(Path) > 0 || (!AllListed && !HasRow(ALocal, Path))))
                FAccounted[std::move(Path)] = *Mark;
            else
                FAccounted.erase(Path);
        }
    }

    // The local database is still the file its name names. One deleted or replaced while
    // watching (a copy restored over it) would take the rows into a file no program reads.
    bool LocalStillNamed(TSongIdxReport& ATotals) {
        if (!FLocalId)
            return true;
        struct stat Info {};
        std::string Problem;
        if (stat(QFile::encodeName(FLocal).constData(), &Info) != 0)
            Problem = std::string("is gone (") + std::strerror(errno) + ")";
        else if (Info.st_dev != FLocalId->Device || Info.st_ino != FLocalId->Inode)
            Problem = "was replaced by another file";
        if (Problem.empty())
            return true;
        ATotals.RunError = "the local song database " + Quoted(FLocal) + " " + Problem +
                           " since it was opened; nothing more is written into the file it named then";
        FStopFile = FLocal;
        return false;
    }

    // Indexes AFiles (the known ones left out when ASkipKnown) into the totals; false when a
    // database stopped working.
    bool IndexMore(const TConnectionRef& ALocal, const TConnectionRef& ATotal, const TStringListRef& AFiles,
                   bool ASkipKnown, TSongIdxReport& ATotals) {
        if (AFiles->isEmpty())
            return true;
        if (!LocalStillNamed(ATotals))
            return false;
        const bool Quiet = FProgress.Quiet();
        FProgress.SetQuiet(true); // a watch tells files one by one, not with a progress line
        const auto Start = TClock::now();
        TSongIdxReport Part;
        const TStringListRef Unknown = WithoutKnown(ALocal, AFiles, ASkipKnown, Part, true);
        if (!Part.RunError.empty()) {
            FStopFile = FLocal;
        } else if (!Unknown->isEmpty()) {
            const std::vector<std::optional<TFileMark>> Marks = MarksOf(*Unknown);
            Part = *RunIndex(ALocal, ATotal, Unknown);
            Account(ALocal, *Unknown, Marks, Part);
        }
        FIndexSeconds += std::chrono::duration<double>(TClock::now() - Start).count();
        FProgress.SetQuiet(Quiet);
        Add(ATotals, Part);
        if (!FOptions.Quiet && Part.Files > 0)
            std::fprintf(stderr, "%s: indexed %d file%s (%d new, %d rewritten, %d kept, %zu unmatched, %d failed)\n",
                         ProgramName, Part.Files, Part.Files == 1 ? "" : "s", Part.Inserted, Part.Updated,
                         Part.Kept, Part.Unmatched.size(), Part.Failed);
        return Part.RunError.empty();
    }

    // APath listed as not collected (escaped as the search shows it), once while the watch runs.
    void TellNotCollected(const std::string& APath, const QString& AReason, bool AFile, TSearchResult& ASearch) {
        std::string Shown = EscapePath(APath);
        if (!FTold.insert(Shown).second)
            return;
        ASearch.NotCollected.push_back(
            TNotCollected{QString::fromUtf8(Shown.data(), static_cast<qsizetype>(Shown.size())), AReason});
        ASearch.Seen += AFile ? 1 : 0;
    }

    // A file the watch reported that the search would not collect: a name that is not UTF-8
    // (in a folder the search would not enter, the folder is listed), or no regular file.
    bool NotCollectedHere(const std::string& APath, TSearchResult& ASearch) {
        if (!IsValidUtf8(APath)) {
            const std::string Root = FRoot.toStdString();
            std::size_t At = APath.rfind(Root + '/', 0) == 0 ? Root.size() + 1 : 0;
            for (;;) {
                const std::size_t End = APath.find('/', At);
                if (End == std::string::npos) {
                    TellNotCollected(APath, FileNameNotUtf8, true, ASearch);
                    break;
                }
                if (!IsValidUtf8(std::string_view(APath).substr(At, End - At))) {
                    TellNotCollected(APath.substr(0, End), FolderNameNotUtf8, false, ASearch);
                    break;
                }
                At = End + 1;
            }
            return true;
        }
        struct stat Info {};
        if (stat(APath.c_str(), &Info) == 0 && !S_ISREG(Info.st_mode) && !S_ISDIR(Info.st_mode)) {
            TellNotCollected(APath, NotARegularFile, true, ASearch);
            return true;
        }
        return false;
    }

    // A whole pass over the folder: after the folder came back, after the kernel dropped
    // events, or every minute when not every folder could be watched. What it finds that the
    // watch has not handled yet is indexed and counted; the rest (files with a song row, files
    // handled without one and unchanged since, paths listed as not collected before) is left
    // alone and not counted again.
    bool FullPass(const TConnectionRef& ALocal, const TConnectionRef& ATotal, TSearchResult& ASearch,
                  int& ACollected, TSongIdxReport& ATotals) {
        ++FPasses;
        auto Files = std::make_shared<QStringList>();
        const bool Quiet = FProgress.Quiet();
        FProgress.SetQuiet(true);
        const TSearchResult Pass = RunSearch(Files);
        FProgress.SetQuiet(Quiet);

        // What is no longer there is forgotten, so a path that comes back is told again.
        std::unordered_set<std::string> Told;
        for (const TNotCollected& Skipped : Pass.NotCollected) {
            std::string Shown = Skipped.Path.toStdString();
            if (FTold.count(Shown) == 0) {
                ASearch.NotCollected.push_back(Skipped);
                ASearch.Seen += IsFileEntry(Skipped.Path) ? 1 : 0;
            }
            Told.insert(std::move(Shown));
        }
        FTold = std::move(Told);

        auto New = std::make_shared<QStringList>();
        std::unordered_map<std::string, TFileMark> Still;
        for (const QString& File : *Files) {
            const std::string Path = File.toStdString();
            if (const auto Handled = FAccounted.find(Path); Handled != FAccounted.end()) {
                if (const std::optional<TFileMark> Mark = MarkOf(Path); Mark && *Mark == Handled->second) {
                    Still.insert(*Handled);
                    continue;
                }
            }
            New->append(File);
        }
        FAccounted = std::move(Still);

        TSongIdxReport Part;
        const TStringListRef Unknown = WithoutKnown(ALocal, New, true, Part, false);
        if (!Part.RunError.empty()) {
            FStopFile = FLocal;
            Add(ATotals, Part);
            return false;
        }
        ASearch.Seen += static_cast<int>(Unknown->size());
        ACollected += static_cast<int>(Unknown->size());
        return IndexMore(ALocal, ATotal, Unknown, false, ATotals);
    }

    void Say(const std::string& AText) const {
        std::fprintf(stderr, "%s: %s\n", ProgramName, AText.c_str());
        std::fflush(stderr);
    }

    // inotify_add_watch, or the tests' stand-in that runs out after FWatchLimit watches.
    TFolderWatcher::TAddWatch WatchStandIn() const {
        if (FWatchLimit == 0)
            return {};
        return [Left = FWatchLimit](int AFd, const char* APath, std::uint32_t AMask) mutable {
            if (Left == 0) {
                errno = ENOSPC;
                return -1;
            }
            --Left;
            return inotify_add_watch(AFd, APath, AMask);
        };
    }

    // Keeps the database in step with the folder until a signal comes or a database fails.
    // Watcher was started before the first run (AStarted: with success).
    void Watch(TFolderWatcher& Watcher, bool AStarted, const TConnectionRef& ALocal, const TConnectionRef& ATotal,
               TSearchResult& ASearch, int& ACollected, TSongIdxReport& ATotals) {
        const std::string Root = FSongsDir.toStdString();
        bool Gone = !AStarted;
        if (Gone)
            Say("cannot watch " + Quoted(FSongsDir) + ": " + Watcher.Error() + "; waiting for it");
        else
            Say("watching " + Root + " (" + std::to_string(Watcher.Folders()) + " folders)");
        // Said once, whenever it first happens (at the start or for a folder made later).
        bool LimitTold = false;
        const auto TellLimit = [&] {
            if (LimitTold || !Watcher.LimitReached())
                return;
            LimitTold = true;
            Say("the kernel's limit of watched folders is reached (fs.inotify.max_user_watches): " +
                std::to_string(Watcher.Folders()) + " folders watched; the folder is searched again every minute");
        };
        if (!Gone)
            TellLimit();
        // A batch goes once no file has come for a moment, or once its first file has waited
        // a little longer however many follow: a steady stream (an album copied file after
        // file) must not hold back what was closed at its start.
        constexpr auto Settle = std::chrono::milliseconds(100);
        constexpr auto Longest = std::chrono::milliseconds(500);
        std::set<std::string> Batch;
        auto FirstEvent = TClock::now();
        auto LastEvent = TClock::now();
        auto LastPass = TClock::now();
        const auto PassesDone = [&] { return FPassLimit > 0 && FPasses >= FPassLimit; };
        while (!Signalled.load() && !PassesDone()) {
            pollfd Polls[2] = {{SignalPipe[0], POLLIN, 0}, {Watcher.Fd(), POLLIN, 0}};
            const nfds_t Count = Watcher.Fd() >= 0 ? 2 : 1;
            const bool Soon = !Batch.empty() || Watcher.HasPending();
            // Woken for the next pass in time when not every folder is watched.
            const auto Idle = Gone                     ? std::chrono::milliseconds(1000)
                              : Watcher.LimitReached() ? std::min(FRescan, std::chrono::milliseconds(500))
                                                       : std::chrono::milliseconds(500);
            poll(Polls, Count, static_cast<int>((Soon ? std::min(Settle, Idle) : Idle).count()));
            if (Signalled.load())
                break;
            const auto Now = TClock::now();
            if (Gone) {
                // An unmounted share: back when the folder is there again.
                const QFileInfo Info(FRoot);
                if (!Info.isDir() || !Watcher.Start())
                    continue;
                Gone = false;
                Say("watching " + Root + " again (" + std::to_string(Watcher.Folders()) + " folders)");
                TellLimit();
                LastPass = TClock::now();
                if (!FullPass(ALocal, ATotal, ASearch, ACollected, ATotals))
                    return;
                continue;
            }
            TWatchEvents Events = Watcher.Wait(std::chrono::milliseconds(0));
            TellLimit();
            for (const std::string& Path : Events.Removed) {
                Batch.erase(Path);
                FAccounted.erase(Path);
                // A file that never had a row (a temporary file, one unmatched) goes unsaid.
                if (HasRow(ALocal, Path))
                    Say("removed " + Path + " (its song row is kept)");
            }
            if (Batch.empty() && !Events.Ready.empty())
                FirstEvent = Now;
            for (std::string& Path : Events.Ready)
                Batch.insert(std::move(Path));
            if (!Events.Ready.empty())
                LastEvent = Now;
            if (Events.RootGone) {
                Watcher.Stop();
                Gone = true;
                Batch.clear();
                Say("the song folder " + Quoted(FSongsDir) + " is gone; waiting for it to return");
                continue;
            }
            if (Events.Overflow || (Watcher.LimitReached() && Now - LastPass >= FRescan)) {
                LastPass = Now;
                Batch.clear();
                if (!FullPass(ALocal, ATotal, ASearch, ACollected, ATotals))
                    return;
                continue;
            }
            if (Batch.empty() || (Now - LastEvent < Settle && Now - FirstEvent < Longest))
                continue;
            // Files gone again before their turn are left out, and so are those handled in
            // this same version already (closed again unchanged, or told twice).
            auto Files = std::make_shared<QStringList>();
            for (const std::string& Path : Batch) {
                if (NotCollectedHere(Path, ASearch))
                    continue;
                struct stat Info {};
                if (lstat(Path.c_str(), &Info) != 0 || S_ISDIR(Info.st_mode))
                    continue;
                if (stat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode))
                    continue; // a link to a folder: the watcher lists it
                if (const auto Handled = FAccounted.find(Path); Handled != FAccounted.end())
                    if (const std::optional<TFileMark> Mark = MarkOf(Path); Mark && *Mark == Handled->second)
                        continue;
                Files->append(QString::fromStdString(Path));
            }
            Batch.clear();
            ASearch.Seen += static_cast<int>(Files->size());
            ACollected += static_cast<int>(Files->size());
            if (!IndexMore(ALocal, ATotal, Files, FOptions.SkipKnown, ATotals))
                return;
        }
    }

    TSongIdxReportRef RunIndex(TConnectionRef ACnnLocal, TConnectionRef ACnnTotal,
                               const TStringListRef& AFiles) {
        FProgress.StartPhase(true);
        auto* Worker = new TSongIdxThrd(FHandle, std::move(ACnnLocal), std::move(ACnnTotal), AFiles,
                                        !FOptions.OnlyAdd);
        TSongIdxReportRef Report = Worker->Report();
        RunWorker(Worker);
        FProgress.EndPhase();
        return Report;
    }

    void WaitForWorkers() {
        for (const QPointer<QThread>& Worker : FStarted)
            if (Worker)
                Worker->wait();
        FStarted.clear();
        // Their own release was queued to this thread.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    bool WriteOutputs(const TSearchResult& ASearch, int ACollected, const TSongIdxReport& AReport,
                      bool AInterrupted) {
        bool Good = true;
        std::string Error;
        if (!FOptions.UnmatchedFile.isEmpty()) {
            // One line a file, whatever its name holds.
            std::string Text;
            for (const std::string& Path : AReport.Unmatched)
                Text += EscapePath(Path) + "\n";
            if (!WriteWhole(FOptions.UnmatchedFile, Text, Error)) {
                std::fprintf(stderr, "%s: cannot write the unmatched list %s: %s\n", ProgramName,
                             Quoted(FOptions.UnmatchedFile).c_str(), OneLine(Error).c_str());
                Good = false;
            }
        }
        if (!FOptions.NearMatchesFile.isEmpty()) {
            std::string Text;
            for (const TNearMatch& Match : AReport.NearMatches)
                Text += ListField(Match.Path) + "\t" + ListField(Match.MasterName) + "\t" +
                        NearMatchReasonName(Match.Reason) + "\n";
            if (!WriteWhole(FOptions.NearMatchesFile, Text, Error)) {
                std::fprintf(stderr, "%s: cannot write the near matches %s: %s\n", ProgramName,
                             Quoted(FOptions.NearMatchesFile).c_str(), OneLine(Error).c_str());
                Good = false;
            }
        }
        if (!FOptions.SummaryJsonFile.isEmpty()) {
            const std::string Json = SummaryJson(ASearch, ACollected, AReport, AInterrupted);
            if (!WriteWhole(FOptions.SummaryJsonFile, Json, Error)) {
                std::fprintf(stderr, "%s: cannot write the summary %s: %s\n", ProgramName,
                             Quoted(FOptions.SummaryJsonFile).c_str(), OneLine(Error).c_str());
                Good = false;
            }
        }
        return Good;
    }

    std::string SummaryJson(const TSearchResult& ASearch, int ACollected, const TSongIdxReport& AReport,
                            bool AInterrupted) const {
        const auto Count = [](std::size_t AValue) { return QJsonValue(static_cast<qint64>(AValue)); };
        const auto Size = [](int AValue) { return static_cast<std::size_t>(std::max(AValue, 0)); };
        // Milliseconds are enough, and keep the numbers short.
        const auto Time = [](double ASeconds) { return QJsonValue(std::round(ASeconds * 1000) / 1000); };
        QJsonObject Json;
        Json["files_seen"] = Count(Size(ASearch.Seen));
        Json["files_collected"] = Count(Size(ACollected));
        Json["not_collected"] = Count(ASearch.NotCollected.size());
        Json["matched"] = Count(Size(AReport.Matched));
        Json["inserted"] = Count(Size(AReport.Inserted));
        Json["updated"] = Count(Size(AReport.Updated));
        Json["kept"] = Count(Size(AReport.Kept));
        Json["unmatched"] = Count(AReport.Unmatched.size());
        Json["near_matches"] = Count(AReport.NearMatches.size());
        Json["without_name"] = Count(Size(AReport.WithoutName));
        Json["failed"] = Count(Size(AReport.Failed));
        Json["interrupted"] = AInterrupted;
        Json["search_seconds"] = Time(FSearchSeconds);
        Json["index_seconds"] = Time(FIndexSeconds);
        QJsonArray Errors;
        for (const TSongIdxFailure& Failure : SummaryErrors(AReport, ASearch.NotCollected, FStopFile.toStdString()))
            Errors.append(QJsonObject{{"path", JsonText(Failure.Path)}, {"error", JsonText(Failure.Error)}});
        Json["errors"] = Errors;
        Json["known"] = Count(FKnown);
        // What ended the run before its end (it could not start, or a database stopped working).
        Json["stopped_by"] = AReport.RunError.empty() ? QJsonValue() : QJsonValue(JsonText(AReport.RunError));
        return QJsonDocument(Json).toJson(QJsonDocument::Indented).toStdString();
    }

    void PrintSummary(const TSearchResult& ASearch, int ACollected, const TSongIdxReport& AReport,
                      bool AInterrupted) const {
        const auto Line = [](const char* ALabel, const std::string& AValue) {
            std::printf("  %-22s%s\n", ALabel, AValue.c_str());
        };
        const auto Number = [&](const char* ALabel, std::size_t AValue) { Line(ALabel, std::to_string(AValue)); };
        const auto Size = [](int AValue) { return static_cast<std::size_t>(std::max(AValue, 0)); };

        std::printf("Summary of indexing %s:\n", Quoted(FSongsDir).c_str());
        Number("files seen:", Size(ASearch.Seen));
        Number("files collected:", Size(ACollected));
        Number("not collected:", ASearch.NotCollected.size());
        for (std::size_t I = 0; I < ASearch.NotCollected.size() && I < SummaryListed; ++I)
            std::printf("      %s: %s\n", ASearch.NotCollected[I].Path.toStdString().c_str(),
                        ASearch.NotCollected[I].Reason.toStdString().c_str());
        if (ASearch.NotCollected.size() > SummaryListed)
            std::printf("      and %zu more\n", ASearch.NotCollected.size() - SummaryListed);
        Line("files indexed:", std::to_string(AReport.Files) + " of " + std::to_string(ACollected));
        Number("matched:", Size(AReport.Matched));
        Number("new songs:", Size(AReport.Inserted));
        Number("rewritten:", Size(AReport.Updated));
        Number("kept:", Size(AReport.Kept));
        if (FOptions.SkipKnown)
            Number("known:", FKnown);
        Number("unmatched:", AReport.Unmatched.size());
        Number("near matches:", AReport.NearMatches.size());
        Number("without a song name:", Size(AReport.WithoutName));
        Number("failed:", Size(AReport.Failed));
        for (std::size_t I = 0; I < AReport.Failures.size() && I < SummaryListed; ++I)
            std::printf("      %s: %s\n", AReport.Failures[I].Path.c_str(),
                        OneLine(AReport.Failures[I].Error).c_str());
        if (static_cast<std::size_t>(std::max(AReport.Failed, 0)) > SummaryListed)
            std::printf("      and %zu more\n", static_cast<std::size_t>(AReport.Failed) - SummaryListed);
        if (!AReport.RunError.empty())
            Line(AReport.Files == 0 && AReport.Failures.empty() ? "could not start:" : "stopped by:",
                 OneLine(AReport.RunError));
        Line("interrupted:", AInterrupted ? "yes" : "no");
        Line("search time:", Seconds(FSearchSeconds));
        Line("index time:", Seconds(FIndexSeconds));
        std::fflush(stdout);
    }

    const TIndexOptions& FOptions;
    QString FSongsDir;
    QString FRoot;
    QString FLocal;
    std::optional<TFileId> FLocalId;
    TProgress FProgress;
    std::chrono::milliseconds FFileDelay;
    std::chrono::milliseconds FEntryDelay;
    int FWatchLimit;
    std::chrono::milliseconds FRescan;
    int FPassLimit;
    int FPasses = 0;
    // The database a run-ending error is about: the master unless the local one stopped it.
    QString FStopFile = FOptions.Master;
    // The watch's memory, bounded by what the folder holds: files handled without a song row,
    // with their version; paths listed as not collected; paths in the unmatched list.
    std::unordered_map<std::string, TFileMark> FAccounted;
    std::unordered_set<std::string> FTold;
    std::unordered_set<std::string> FUnmatchedListed;
    QThread* const FMainThread = QThread::currentThread();
    QObject FWindow;
    TWindowHandle FHandle = 0;
    QPointer<QThread> FWorker;
    std::vector<QPointer<QThread>> FStarted;
    bool FSearchInterrupted = false;
    double FSearchSeconds = 0;
    double FIndexSeconds = 0;
    std::size_t FKnown = 0; // files skipped by --skip-known
};

int Refuse(const std::string& AText) {
    std::fprintf(stderr, "%s: %s\n", ProgramName, OneLine(AText).c_str());
    return IndexExitRefused;
}

} // namespace

namespace {

// Edits (insert, delete, replace, swap two neighbours) turning A into B.
int EditDistance(const QString& A, const QString& B) {
    const qsizetype N = A.size();
    const qsizetype M = B.size();
    std::vector<std::vector<int>> D(static_cast<std::size_t>(N + 1), std::vector<int>(static_cast<std::size_t>(M + 1)));
    const auto At = [&D](qsizetype I, qsizetype J) -> int& {
        return D[static_cast<std::size_t>(I)][static_cast<std::size_t>(J)];
    };
    for (qsizetype I = 0; I <= N; ++I)
        At(I, 0) = static_cast<int>(I);
    for (qsizetype J = 0; J <= M; ++J)
        At(0, J) = static_cast<int>(J);
    for (qsizetype I = 1; I <= N; ++I)
        for (qsizetype J = 1; J <= M; ++J) {
            At(I, J) = std::min({At(I - 1, J) + 1, At(I, J - 1) + 1, At(I - 1, J - 1) + (A[I - 1] == B[J - 1] ? 0 : 1)});
            if (I > 1 && J > 1 && A[I - 1] == B[J - 2] && A[I - 2] == B[J - 1])
                At(I, J) = std::min(At(I, J), At(I - 2, J - 2) + 1);
        }
    return At(N, M);
}

// The long option AName most likely meant ("" when none is close): a start of exactly one
// option, or the nearest within two edits (one for short names).
QString NearestOption(const QString& AName, const QStringList& ALongNames) {
    QStringList Starting;
    for (const QString& Name : ALongNames)
        if (AName.size() >= 2 && Name.startsWith(AName))
            Starting.append(Name);
    if (Starting.size() == 1)
        return Starting.front();
    QString Best;
    int BestDistance = AName.size() <= 4 ? 2 : 3;
    for (const QString& Name : ALongNames)
        if (const int Distance = EditDistance(AName, Name); Distance < BestDistance) {
            BestDistance = Distance;
            Best = Name;
        }
    return Best;
}

} // namespace

std::string ParseIndexArguments(const QStringList& AArguments, TIndexOptions& AOptions) {
    AOptions = TIndexOptions{};
    struct TValueOption {
        const char* Name;
        QString TIndexOptions::*Field;
    };
    const TValueOption Values[] = {{"songs", &TIndexOptions::SongsDir},
                                   {"master", &TIndexOptions::Master},
                                   {"local", &TIndexOptions::Local},
                                   {"unmatched", &TIndexOptions::UnmatchedFile},
                                   {"near-matches", &TIndexOptions::NearMatchesFile},
                                   {"summary-json", &TIndexOptions::SummaryJsonFile}};
    QCommandLineParser Parser;
    // "-songs" is a mistyped long option, not five short ones.
    Parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QStringList LongNames;
    for (const TValueOption& Value : Values) {
        Parser.addOption(QCommandLineOption(QString::fromLatin1(Value.Name), QString(), QStringLiteral("VALUE")));
        LongNames.append(QString::fromLatin1(Value.Name));
    }
    const QCommandLineOption OnlyAdd(QStringLiteral("only-add"));
    const QCommandLineOption SkipKnown(QStringLiteral("skip-known"));
    const QCommandLineOption WatchFolder(QStringLiteral("watch"));
    const QCommandLineOption Quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
    const QCommandLineOption Help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption Version(QStringList{QStringLiteral("V"), QStringLiteral("version")});
    for (const QCommandLineOption& Flag : {OnlyAdd, SkipKnown, WatchFolder, Quiet, Help, Version}) {
        Parser.addOption(Flag);
        LongNames.append(Flag.names().back());
    }

    // The parser wants the program's name first.
    if (!Parser.parse(QStringList{QString::fromLatin1(ProgramName)} + AArguments)) {
        const QStringList Unknown = Parser.unknownOptionNames();
        if (!Unknown.isEmpty()) {
            // Named as it was written ("-songs" or "--mastr").
            QString Written = QStringLiteral("--") + Unknown.front();
            for (const QString& Argument : AArguments)
                if (Argument.startsWith(u'-') &&
                    Argument.section(u'=', 0, 0).mid(Argument.startsWith(QLatin1String("--")) ? 2 : 1) == Unknown.front()) {
                    Written = Argument.section(u'=', 0, 0);
                    break;
                }
            std::string Error = "unknown option " + Written.toStdString();
            if (const QString Near = NearestOption(Unknown.front(), LongNames); !Near.isEmpty())
                Error += " (did you mean --" + Near.toStdString() + "?)";
            return Error;
        }
        for (const QCommandLineOption& Flag : {OnlyAdd, SkipKnown, WatchFolder, Quiet, Help, Version})
            for (const QString& Argument : AArguments)
                if (Argument.startsWith(QLatin1String("--") + Flag.names().back() + u'='))
                    return "--" + Flag.names().back().toStdString() + " takes no value";
        // A value option last, with nothing after it.
        if (!AArguments.isEmpty())
            for (const TValueOption& Value : Values)
                if (AArguments.back() == QLatin1String("--") + QLatin1String(Value.Name))
                    return "--" + std::string(Value.Name) + " needs a value";
        return Parser.errorText().toStdString();
    }
    if (const QStringList Positional = Parser.positionalArguments(); !Positional.isEmpty())
        return "unexpected argument " + Quoted(Positional.front());
    AOptions.Help = Parser.isSet(Help);
    AOptions.Version = Parser.isSet(Version);
    AOptions.OnlyAdd = Parser.isSet(OnlyAdd);
    AOptions.SkipKnown = Parser.isSet(SkipKnown);
    AOptions.Watch = Parser.isSet(WatchFolder);
    AOptions.Quiet = Parser.isSet(Quiet);
    for (const TValueOption& Value : Values) {
        const QStringList Given = Parser.values(QString::fromLatin1(Value.Name));
        if (Given.size() > 1)
            return "--" + std::string(Value.Name) + " is given twice";
        if (Given.size() == 1 && Given.front().isEmpty())
            return "--" + std::string(Value.Name) + " needs a value";
        if (Given.size() == 1)
            AOptions.*(Value.Field) = Given.front();
    }
    if (AOptions.Help || AOptions.Version)
        return {};
    if (AOptions.SongsDir.isEmpty())
        return "--songs is required";
    if (AOptions.Master.isEmpty())
        return "--master is required";
    return {};
}

QString IndexVersion() { return QStringLiteral("corvena-index " CORVENA_VERSION); }

QString IndexUsage() {
    return QStringLiteral(
        "Usage: corvena-index --songs DIR --master FILE [--local FILE] [--only-add] [--skip-known]\n"
        "                     [--watch] [--unmatched FILE] [--near-matches FILE]\n"
        "                     [--summary-json FILE] [--quiet]\n"
        "       corvena-index --help | --version\n"
        "\n"
        "Indexes a song folder as the Corvena wizard does, without a display: collects every file\n"
        "below DIR, looks each file name up in the master catalogue and writes the songs it finds\n"
        "into the local song database.\n"
        "\n"
        "  --songs DIR          the song folder (blanks and control characters at either end are\n"
        "                       dropped, as in the wizard); a relative one is taken from the current\n"
        "                       folder, so the paths stored are whole\n"
        "  --master FILE        the master catalogue (SQLite, or an Access .mdb/.accdb file, read only)\n"
        "  --local FILE         the local song database, written; by default the one the wizard\n"
        "                       would open: Local in [DataBase] of Configure.ini one folder above\n"
        "                       this program, else of ~/.config/corvena/Configure.ini, else of\n"
        "                       /etc/corvena/Configure.ini, else the user's own\n"
        "                       ~/.local/share/corvena/Ktv.mdb, made empty when first needed\n"
        "  --only-add           leave songs already in the local database alone (default: rewrite)\n"
        "  --skip-known         a file whose full path already has a song row is neither looked up\n"
        "                       nor written (counted as known); faster than --only-add because the\n"
        "                       master is not read, so new languages and types of known songs are\n"
        "                       not added\n"
        "  --watch              after the run, keep watching DIR: files copied or moved in are\n"
        "                       indexed once closed, removed files keep their rows (one line on\n"
        "                       standard error); SIGINT or SIGTERM ends the watch with the totals\n"
        "                       and exit status 0; the local database deleted or replaced meanwhile\n"
        "                       ends it with exit status 1\n"
        "  --unmatched FILE     write the collected files whose name is not in the master, one path\n"
        "                       a line (UTF-8, \"\\n\"), in the order indexed; a control character\n"
        "                       in a path (newline, carriage return, tab, ...) is written \\xNN, and\n"
        "                       so is a backslash that would read as such an escape (\\x5C)\n"
        "  --near-matches FILE  write, for the unmatched files, the master names that are nearly\n"
        "                       theirs: PATH, the master's file name and the reason, separated by\n"
        "                       tabs, one a line; reason extension (the same name with another\n"
        "                       extension) or width (the same name once full-width letters, digits\n"
        "                       and signs are read as ASCII); control characters in a path or name\n"
        "                       are written as in the unmatched list\n"
        "  --summary-json FILE  write the summary as one JSON object with the keys files_seen,\n"
        "                       files_collected, not_collected, matched, inserted, updated, kept,\n"
        "                       unmatched, near_matches, without_name, failed (integers),\n"
        "                       interrupted (true or false), search_seconds, index_seconds\n"
        "                       (numbers), errors (a list of at most 100 {\"path\", \"error\"}\n"
        "                       objects: the files that failed, then the paths not collected with\n"
        "                       the reason), known (files skipped by --skip-known) and stopped_by\n"
        "                       (the error that ended the run early: it could not start, or a\n"
        "                       database stopped working; null when the run went through)\n"
        "  -q, --quiet          print no progress\n"
        "  -h, --help           show this text\n"
        "  -V, --version        show the version\n"
        "\n"
        "Progress goes to standard error: on a terminal one line redrawn in place (the phase, the\n"
        "count and, while indexing, a bar with files per second and the time left); otherwise a\n"
        "plain line at most every 5 seconds. The summary goes to standard output: files seen,\n"
        "collected and not collected (with the reasons), matched, new songs, rewritten, kept,\n"
        "unmatched, near matches, without a song name, failed (with the first errors), whether the\n"
        "run was interrupted, and the search and index times.\n"
        "\n"
        "SIGINT (Ctrl+C) or SIGTERM stops the run before the next file: every song already saved\n"
        "stays, and the summary and the JSON are still written, with interrupted true.\n"
        "\n"
        "Exit status:\n"
        "  0    the run completed (files without a song in the master are no failure)\n"
        "  1    the run completed but files failed, or it could not start or a database stopped\n"
        "       working (for example the master has no Songs table)\n"
        "  2    bad arguments, or a folder or database that cannot be opened; nothing is written\n"
        "  130  interrupted by SIGINT or SIGTERM\n");
}

int RunCorvenaIndex(const QStringList& AArguments, const QString& AProgramFile, const TIndexHooks& AHooks) {
    TIndexOptions Options;
    if (const std::string Error = ParseIndexArguments(AArguments.mid(1), Options); !Error.empty()) {
        Refuse(Error);
        std::fprintf(stderr, "Try '%s --help'.\n", ProgramName);
        return IndexExitRefused;
    }
    if (Options.Help) {
        std::fputs(IndexUsage().toStdString().c_str(), stdout);
        return IndexExitDone;
    }
    if (Options.Version) {
        std::printf("%s\n", IndexVersion().toStdString().c_str());
        return IndexExitDone;
    }

    const QString SongsDir = QString::fromStdString(std::string(TrimControls(Options.SongsDir.toStdString())));
    // A relative folder is taken from the current one and cleaned, as the wizard takes it (links
    // are not resolved): the paths stored must name the files for a host started elsewhere.
    const QString Root = QDir::isAbsolutePath(SongsDir) ? SongsDir : QDir::cleanPath(QDir::current().absoluteFilePath(SongsDir));
    const QFileInfo SongsInfo(Root);
    if (!SongsInfo.exists())
        return Refuse("the song folder " + Quoted(SongsDir) + " does not exist");
    if (!SongsInfo.isDir())
        return Refuse("the song folder " + Quoted(SongsDir) + " is not a folder");
    // A folder that cannot be listed would give an empty run that looks like a success.
    if (const int Fd = open(QFile::encodeName(Root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Fd < 0)
        return Refuse("the song folder " + Quoted(SongsDir) + " cannot be read: " + std::strerror(errno));
    else
        close(Fd);

    QString Local = Options.Local;
    bool MakeOwnLocal = false;
    if (Local.isEmpty()) {
        // The wizard's rules: the song-request system's Configure.ini (names relative to the
        // program's folder), else the user's and the system's, else the user's own database.
        const TConfigPlaces Places = StandardConfigPlaces(AProgramFile.toStdString());
        const TConfigValue Named = ReadLocalFileName(Places);
        Local = QDir(QString::fromStdString(GetProgramDir(Places.ProgramFile)))
                    .absoluteFilePath(QString::fromStdString(Named.Value));
        // The user's own is made once everything else has been checked.
        MakeOwnLocal = Named.Origin == TConfigOrigin::UserDefault;
        if (!MakeOwnLocal && !QFileInfo::exists(Local)) {
            // Named but missing: never made, as a mistyped name would leave songs where no one looks.
            return Refuse("local song database " + Quoted(Local.toStdString()) + " (" +
                          DescribeOrigin(Named, KeyLocal) + ") does not exist; name the local song database with " +
                          "--local FILE, or with " + WhereToNameLocal(Places));
        }
    }

    for (const QString* Output : {&Options.UnmatchedFile, &Options.NearMatchesFile,
                                  &Options.SummaryJsonFile})
        if (!Output->isEmpty())
            if (const std::string Problem = WritableProblem(*Output); !Problem.empty())
                return Refuse("cannot write " + Quoted(*Output) + ": " + Problem);

    // A connection string ends its data source at the first ";": such a name would open
    // another file, or fail naming a file that does not exist.
    for (const auto& [What, File] : {std::pair{"master catalogue", Options.Master},
                                     std::pair{"local song database", Local}})
        if (File.contains(u';'))
            return Refuse(std::string(What) + " " + Quoted(File) +
                          ": cannot be opened: a database file name must not contain \";\"");

    // The master first: it is only read, so a master that fails leaves the local file untouched.
    InstallAccessReader();
    std::string Error;
    TConnectionRef CnnTotal =
        OpenConnection(TotalConnectionString(Options.Master.toStdString()), TConnectMode::ShareDenyNone, Error);
    if (!CnnTotal)
        return Refuse("master catalogue " + Quoted(Options.Master) + ": " + Error);
    // A master whose songs cannot be read cannot start a run: that is found before the local
    // database is opened (which switches it to WAL), so the local file stays as it was.
    std::string StartError;
    try {
        TQuery Probe(*CnnTotal);
        Probe.SetSQL(SqlMasterSong);
        Probe.Prepare();
    } catch (const std::exception& Failure) {
        StartError = Failure.what();
    }
    // The name as the connection takes it, to tell later whether it still names that file.
    std::error_code PathError;
    const std::filesystem::path LocalPath = std::filesystem::absolute(Local.toStdString(), PathError).lexically_normal();
    const QString LocalName = PathError ? Local : QString::fromStdString(LocalPath.string());
    TConnectionRef CnnLocal;
    std::optional<TFileId> LocalId;
    if (StartError.empty()) {
        // Said once, on standard error: a local database on a network file system runs with a
        // rollback journal.
        SetDatabaseNotice([](const std::string& AText) {
            std::fprintf(stderr, "%s: %s\n", ProgramName, OneLine(AText).c_str());
        });
        if (MakeOwnLocal) {
            try {
                if (MakeUserLocalDatabase(Local.toStdString()))
                    std::fprintf(stderr, "%s: made an empty local song database %s (name another with --local FILE)\n",
                                 ProgramName, Quoted(Local.toStdString()).c_str());
            } catch (const std::exception& AError) {
                return Refuse(AError.what());
            }
        }
        CnnLocal = OpenConnection(LocalConnectionString(Local.toStdString()), TConnectMode::Default, Error);
        if (!CnnLocal)
            return Refuse("local song database " + Quoted(Local) + ": " + Error);
        if (struct stat Info {}; stat(QFile::encodeName(LocalName).constData(), &Info) == 0)
            LocalId = TFileId{Info.st_dev, Info.st_ino};
    }

    if (!InstallSignalHandlers())
        return Refuse("cannot install the signal handlers");
    TIndexRun Run(Options, SongsDir, Root, LocalName, LocalId, AHooks);
    return Run.Run(std::move(CnnLocal), std::move(CnnTotal), StartError);
}
