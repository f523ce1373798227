#include "Watch.h"

#include "Console.h"
#include "IndexRun.h"
#include "KnownSongs.h"
#include "Signals.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace {

// A batch goes once no file has come for a moment, or once its first file has waited a little
// longer however many follow: a steady stream (an album copied file after file) must not hold
// back what was closed at its start.
constexpr auto Settle = std::chrono::milliseconds(100);
constexpr auto Longest = std::chrono::milliseconds(500);

// The search's reasons for what it does not collect, as it words them.
const QString FileNameNotUtf8 = QStringLiteral("file name is not valid UTF-8");
const QString FolderNameNotUtf8 = QStringLiteral("folder name is not valid UTF-8; not searched");
const QString NotARegularFile = QStringLiteral("not a regular file");

// What APath names now (a link's target, or a broken link itself); nothing when it is gone.
std::optional<TFileMark> MarkOf(const std::string& APath) {
    struct stat Info {};
    if (stat(APath.c_str(), &Info) != 0 && lstat(APath.c_str(), &Info) != 0)
        return std::nullopt;
    return TFileMark{Info.st_dev, Info.st_ino, Info.st_size,
                     static_cast<std::int64_t>(Info.st_mtim.tv_sec) * 1000000000 + Info.st_mtim.tv_nsec};
}

std::vector<std::optional<TFileMark>> MarksOf(const TFileList& AFiles) {
    std::vector<std::optional<TFileMark>> Marks;
    Marks.reserve(static_cast<std::size_t>(AFiles.size()));
    for (qsizetype I = 0; I < AFiles.size(); ++I)
        Marks.push_back(MarkOf(std::string(AFiles.Utf8(I))));
    return Marks;
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

// Handled in this very version already (closed again unchanged, or told twice).
bool Unchanged(const std::unordered_map<std::string, TFileMark>& AAccounted, const std::string& APath) {
    const auto Handled = AAccounted.find(APath);
    if (Handled == AAccounted.end())
        return false;
    const std::optional<TFileMark> Mark = MarkOf(APath);
    return Mark && *Mark == Handled->second;
}

// A report whose run a broken connection ended: the file being written then is not a failure
// of its own, as the watch does it again once connected.
void ForgetLostFile(TSongIdxReport& AReport) {
    if (!AReport.ConnectionLost || AReport.Failed <= 0 || AReport.Failures.empty() ||
        AReport.Failures.back().Error != AReport.RunError)
        return;
    AReport.Failures.pop_back();
    --AReport.Failed;
}

// inotify_add_watch, or the tests' stand-in that runs out after ALimit watches (0: the kernel's).
TFolderWatcher::TAddWatch WatchStandIn(int ALimit) {
    if (ALimit <= 0)
        return {};
    return [Left = ALimit](int AFd, const char* APath, std::uint32_t AMask) mutable {
        if (Left == 0) {
            errno = ENOSPC;
            return -1;
        }
        --Left;
        return inotify_add_watch(AFd, APath, AMask);
    };
}

} // namespace

TWatch::TWatch(TIndexRun& ARun)
    : FRun(ARun),
      FWatcher(ARun.Root().toStdString(), TFolderWatcher::DefaultSettle, WatchStandIn(ARun.Hooks().WatchLimit)),
      FRescan(std::max(1, ARun.Hooks().RescanMs)), FPassLimit(std::max(0, ARun.Hooks().WatchPasses)) {
    FGone = !FWatcher.Start();
}

TSongIdxReport TWatch::IndexFirst(const TConnectionRef& ALocal, const TConnectionRef& ATotal,
                                  const TStringListRef& AFiles) {
    const std::vector<std::optional<TFileMark>> Marks = MarksOf(*AFiles);
    TSongIdxReport Report = FRun.Index(ALocal, ATotal, AFiles, false);
    ForgetLostFile(Report);
    Remember(ALocal, *AFiles, Marks, Report);
    return Report;
}

void TWatch::Run(const TConnectionRef& ALocal, const TConnectionRef& ATotal) {
    for (const TNotCollected& Skipped : FRun.Totals().NotCollected)
        FTold.insert(Skipped.Path.toStdString());
    const std::string Shown = FRun.SongsDir().toStdString();
    if (FGone) {
        Say("cannot watch " + Quoted(FRun.SongsDir()) + ": " + FWatcher.Error() + "; waiting for it");
    } else {
        Say("watching " + Shown + " (" + std::to_string(FWatcher.Folders()) + " folders)");
        TellLimit();
    }
    FFirstEvent = FLastEvent = FLastPass = TClock::now();
    if (FRun.Totals().Index.ConnectionLost && !Reconnect(ALocal, FRun.Totals().Index.RunError))
        return;
    while (!Signalled() && !(FPassLimit > 0 && FPasses >= FPassLimit)) {
        Wait();
        if (Signalled() || !Turn(ALocal, ATotal))
            break;
    }
}

void TWatch::Wait() {
    pollfd Polls[2] = {{SignalFd(), POLLIN, 0}, {FWatcher.Fd(), POLLIN, 0}};
    const nfds_t Count = FWatcher.Fd() >= 0 ? 2 : 1;
    const bool Soon = !FBatch.empty() || FWatcher.HasPending();
    // Woken for the next pass in time when not every folder is watched.
    const auto Idle = FGone                     ? std::chrono::milliseconds(1000)
                      : FWatcher.LimitReached() ? std::min(FRescan, std::chrono::milliseconds(500))
                                                : std::chrono::milliseconds(500);
    poll(Polls, Count, static_cast<int>((Soon ? std::min(Settle, Idle) : Idle).count()));
}

bool TWatch::Turn(const TConnectionRef& ALocal, const TConnectionRef& ATotal) {
    const auto Now = TClock::now();
    if (FGone)
        return ComeBack(ALocal, ATotal);
    TWatchEvents Events = FWatcher.Wait(std::chrono::milliseconds(0));
    TellLimit();
    Take(Events, ALocal, Now);
    if (Events.RootGone) {
        FWatcher.Stop();
        FGone = true;
        FBatch.clear();
        Say("the song folder " + Quoted(FRun.SongsDir()) + " is gone; waiting for it to return");
        return true;
    }
    if (FPassDue || Events.Overflow || (FWatcher.LimitReached() && Now - FLastPass >= FRescan)) {
        FPassDue = false;
        FLastPass = Now;
        FBatch.clear();
        return FullPass(ALocal, ATotal);
    }
    if (FBatch.empty() || (Now - FLastEvent < Settle && Now - FFirstEvent < Longest))
        return true;
    return IndexBatch(ALocal, ATotal);
}

bool TWatch::ComeBack(const TConnectionRef& ALocal, const TConnectionRef& ATotal) {
    const QFileInfo Info(FRun.Root());
    if (!Info.isDir() || !FWatcher.Start())
        return true;
    FGone = false;
    Say("watching " + FRun.SongsDir().toStdString() + " again (" + std::to_string(FWatcher.Folders()) + " folders)");
    TellLimit();
    FLastPass = TClock::now();
    return FullPass(ALocal, ATotal);
}

void TWatch::Take(TWatchEvents& AEvents, const TConnectionRef& ALocal, TClock::time_point ANow) {
    for (const std::string& Path : AEvents.Removed) {
        FBatch.erase(Path);
        FAccounted.erase(Path);
        // A file that never had a row (a temporary file, one unmatched) goes unsaid.
        if (HasSongRow(ALocal, Path))
            Say("removed " + Path + " (its song row is kept)");
    }
    if (FBatch.empty() && !AEvents.Ready.empty())
        FFirstEvent = ANow;
    for (std::string& Path : AEvents.Ready)
        FBatch.insert(std::move(Path));
    if (!AEvents.Ready.empty())
        FLastEvent = ANow;
}

bool TWatch::IndexBatch(const TConnectionRef& ALocal, const TConnectionRef& ATotal) {
    // Files gone again before their turn are left out, and so are those handled in this same
    // version already (closed again unchanged, or told twice).
    auto Files = std::make_shared<TFileList>();
    for (const std::string& Path : FBatch) {
        if (NotCollectedHere(Path))
            continue;
        struct stat Info {};
        if (lstat(Path.c_str(), &Info) != 0 || S_ISDIR(Info.st_mode))
            continue;
        if (stat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode))
            continue; // a link to a folder: the watcher lists it
        if (Unchanged(FAccounted, Path))
            continue;
        Files->Append(Path);
    }
    FBatch.clear();
    FRun.Totals().Seen += static_cast<int>(Files->size());
    FRun.Totals().Collected += static_cast<int>(Files->size());
    return IndexMore(ALocal, ATotal, Files, FRun.Options().SkipKnown);
}

// A whole pass over the folder: after the folder came back, after the kernel dropped events,
// or every minute when not every folder could be watched. What it finds that the watch has not
// handled yet is indexed and counted; the rest (files with a song row, files handled without
// one and unchanged since, paths listed as not collected before) is left alone and not counted
// again.
bool TWatch::FullPass(const TConnectionRef& ALocal, const TConnectionRef& ATotal) {
    ++FPasses;
    TRunReport& Totals = FRun.Totals();
    auto Files = std::make_shared<TFileList>();
    const TFileSearchReport Pass = FRun.Search(Files, true);

    // What is no longer there is forgotten, so a path that comes back is told again.
    std::unordered_set<std::string> Told;
    for (const TNotCollected& Skipped : Pass.NotCollected) {
        std::string Shown = Skipped.Path.toStdString();
        if (FTold.count(Shown) == 0) {
            Totals.NotCollected.push_back(Skipped);
            Totals.Seen += IsFileEntry(Skipped.Path) ? 1 : 0;
        }
        Told.insert(std::move(Shown));
    }
    FTold = std::move(Told);

    auto New = std::make_shared<TFileList>();
    std::unordered_map<std::string, TFileMark> Still;
    for (qsizetype I = 0; I < Files->size(); ++I) {
        const std::string Path(Files->Utf8(I));
        if (Unchanged(FAccounted, Path)) {
            Still.insert(*FAccounted.find(Path));
            continue;
        }
        New->Append(Path);
    }
    FAccounted = std::move(Still);

    TSongIdxReport Part;
    const TStringListRef Unknown = FRun.WithoutKnown(ALocal, New, true, Part, false);
    if (!Part.RunError.empty()) {
        Totals.AddIndex(Part);
        return Part.ConnectionLost && Reconnect(ALocal, Part.RunError);
    }
    Totals.Seen += static_cast<int>(Unknown->size());
    Totals.Collected += static_cast<int>(Unknown->size());
    return IndexMore(ALocal, ATotal, Unknown, false);
}

bool TWatch::IndexMore(const TConnectionRef& ALocal, const TConnectionRef& ATotal, const TStringListRef& AFiles,
                       bool ASkipKnown) {
    if (AFiles->isEmpty())
        return true;
    if (!LocalStillNamed())
        return false;
    const auto Start = TClock::now();
    TSongIdxReport Part;
    const TStringListRef Unknown = FRun.WithoutKnown(ALocal, AFiles, ASkipKnown, Part, true);
    if (Part.RunError.empty() && !Unknown->isEmpty()) {
        const std::vector<std::optional<TFileMark>> Marks = MarksOf(*Unknown);
        // A watch tells files one by one, not with a progress line.
        Part = FRun.Index(ALocal, ATotal, Unknown, true);
        ForgetLostFile(Part);
        Remember(ALocal, *Unknown, Marks, Part);
    }
    FRun.Totals().IndexSeconds += std::chrono::duration<double>(TClock::now() - Start).count();
    FRun.Totals().AddIndex(Part);
    if (!FRun.Options().Quiet && Part.Files > 0)
        std::fprintf(stderr, "%s: indexed %d file%s (%d new, %d rewritten, %d kept, %zu unmatched, %d failed)\n",
                     ProgramName, Part.Files, Part.Files == 1 ? "" : "s", Part.Inserted, Part.Updated, Part.Kept,
                     Part.Unmatched.size(), Part.Failed);
    if (Part.ConnectionLost)
        return Reconnect(ALocal, Part.RunError);
    return Part.RunError.empty();
}

bool TWatch::Reconnect(const TConnectionRef& ALocal, const std::string& AError) {
    const std::string Name = Quoted(FRun.Local().Name);
    Say("lost the connection to the local song database " + Name + " (" + OneLine(AError) +
        "); waiting for it to come back");
    for (bool First = true;; First = false) {
        if (!First) {
            pollfd Poll{SignalFd(), POLLIN, 0};
            poll(&Poll, 1, 1000);
        }
        if (Signalled())
            return false;
        try {
            ALocal->SetConnected(false);
            ALocal->SetConnected(true);
            break;
        } catch (const std::exception&) {
            // Still away: tried again in a second, without saying so again.
        }
    }
    Say("connected again to the local song database " + Name + "; looking for what came meanwhile");
    // The run goes on: the broken connection did not end it.
    TSongIdxReport& Totals = FRun.Totals().Index;
    Totals.RunError.clear();
    Totals.ConnectionLost = false;
    FPassDue = true;
    return true;
}

// Remembers the files of AFiles that APart handled without giving them a song row (unmatched,
// without a song name, failed), each with its mark taken before indexing: a pass, or an event
// of that same version, leaves them alone. Files that have a row need no memory: a pass skips
// them as known.
void TWatch::Remember(const TConnectionRef& ALocal, const TFileList& AFiles,
                      const std::vector<std::optional<TFileMark>>& AMarks, const TSongIdxReport& APart) {
    std::unordered_set<std::string> Rowless(APart.Unmatched.begin(), APart.Unmatched.end());
    Rowless.insert(APart.WithoutNameFiles.begin(), APart.WithoutNameFiles.end());
    for (const TSongIdxFailure& Failure : APart.Failures)
        Rowless.insert(Failure.Path);
    // More failures than the report lists: the database tells which of the rest have a row.
    const bool AllListed = static_cast<std::size_t>(std::max(APart.Failed, 0)) <= APart.Failures.size();
    const qsizetype Handled = std::min<qsizetype>(APart.Files, AFiles.size());
    for (qsizetype I = 0; I < Handled; ++I) {
        std::string Path(AFiles.Utf8(I));
        const std::optional<TFileMark>& Mark = AMarks[static_cast<std::size_t>(I)];
        if (Mark && (Rowless.count(Path) > 0 || (!AllListed && !HasSongRow(ALocal, Path))))
            FAccounted[std::move(Path)] = *Mark;
        else
            FAccounted.erase(Path);
    }
}

// The local database is still the file its name names. One deleted or replaced while watching
// (a copy restored over it) would take the rows into a file no program reads.
bool TWatch::LocalStillNamed() {
    const TLocalFile& Local = FRun.Local();
    if (!Local.Id)
        return true;
    struct stat Info {};
    std::string Problem;
    if (stat(QFile::encodeName(Local.Name).constData(), &Info) != 0)
        Problem = std::string("is gone (") + std::strerror(errno) + ")";
    else if (Info.st_dev != Local.Id->Device || Info.st_ino != Local.Id->Inode)
        Problem = "was replaced by another file";
    if (Problem.empty())
        return true;
    TRunReport& Totals = FRun.Totals();
    Totals.Index.RunError = "the local song database " + Quoted(Local.Name) + " " + Problem +
                            " since it was opened; nothing more is written into the file it named then";
    FRun.StopAtLocal();
    return false;
}

// A file the watch reported that the search would not collect: a name that is not UTF-8 (in a
// folder the search would not enter, the folder is listed), or no regular file.
bool TWatch::NotCollectedHere(const std::string& APath) {
    if (!IsValidUtf8(APath)) {
        const std::string Root = FRun.Root().toStdString();
        std::size_t At = APath.rfind(Root + '/', 0) == 0 ? Root.size() + 1 : 0;
        for (;;) {
            const std::size_t End = APath.find('/', At);
            if (End == std::string::npos) {
                TellNotCollected(APath, FileNameNotUtf8, true);
                break;
            }
            if (!IsValidUtf8(std::string_view(APath).substr(At, End - At))) {
                TellNotCollected(APath.substr(0, End), FolderNameNotUtf8, false);
                break;
            }
            At = End + 1;
        }
        return true;
    }
    struct stat Info {};
    if (stat(APath.c_str(), &Info) == 0 && !S_ISREG(Info.st_mode) && !S_ISDIR(Info.st_mode)) {
        TellNotCollected(APath, NotARegularFile, true);
        return true;
    }
    return false;
}

// APath listed as not collected (escaped as the search shows it), once while the watch runs.
void TWatch::TellNotCollected(const std::string& APath, const QString& AReason, bool AFile) {
    std::string Shown = EscapePath(APath);
    if (!FTold.insert(Shown).second)
        return;
    TRunReport& Totals = FRun.Totals();
    Totals.NotCollected.push_back(
        TNotCollected{QString::fromUtf8(Shown.data(), static_cast<qsizetype>(Shown.size())), AReason});
    Totals.Seen += AFile ? 1 : 0;
}

// Said once, whenever it first happens (at the start or for a folder made later).
void TWatch::TellLimit() {
    if (FLimitTold || !FWatcher.LimitReached())
        return;
    FLimitTold = true;
    Say("the kernel's limit of watched folders is reached (fs.inotify.max_user_watches): " +
        std::to_string(FWatcher.Folders()) + " folders watched; the folder is searched again every minute");
}
