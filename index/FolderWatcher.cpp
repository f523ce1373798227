#include "FolderWatcher.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t FolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                     IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_ONLYDIR;

std::int64_t ModifiedNs(const struct stat& AInfo) {
    return static_cast<std::int64_t>(AInfo.st_mtim.tv_sec) * 1000000000 + AInfo.st_mtim.tv_nsec;
}

// Whether some process has APath open for writing: a read lease is refused then. False when the
// kernel cannot tell (not the file's owner, a network share): the settling time decides alone.
bool OpenForWriting(const std::string& APath) {
    const int Fd = open(APath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (Fd < 0)
        return false;
    bool Busy = false;
    // A writer opening it in the moment the lease is held breaks it with a signal: one that is
    // ignored by default, not SIGIO, which would end the program.
    fcntl(Fd, F_SETSIG, SIGURG);
    if (fcntl(Fd, F_SETLEASE, F_RDLCK) == 0)
        fcntl(Fd, F_SETLEASE, F_UNLCK);
    else
        Busy = errno == EAGAIN;
    close(Fd);
    return Busy;
}

std::string Join(const std::string& AFolder, const char* AName) {
    std::string Path = AFolder;
    if (Path.empty() || Path.back() != '/')
        Path += '/';
    return Path + AName;
}

} // namespace

TFolderWatcher::TFolderWatcher(std::string ARoot, std::chrono::milliseconds ASettle, TAddWatch AAddWatch)
    : FRoot(std::move(ARoot)), FSettle(ASettle), FAddWatch(std::move(AAddWatch)) {
    if (!FAddWatch)
        FAddWatch = [](int AFd, const char* APath, std::uint32_t AMask) { return inotify_add_watch(AFd, APath, AMask); };
    while (FRoot.size() > 1 && FRoot.back() == '/')
        FRoot.pop_back();
}

TFolderWatcher::~TFolderWatcher() { Stop(); }

void TFolderWatcher::Stop() {
    if (FFd >= 0)
        close(FFd);
    FFd = -1;
    FRootWatch = -1;
    FFolders.clear();
    FPending.clear();
    FReadyNow.clear();
    FLinks.clear();
    FLinkFolders.clear();
    FLimitReached = false;
}

bool TFolderWatcher::Start() {
    Stop();
    FError.clear();
    FFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FFd < 0) {
        FError = std::strerror(errno);
        return false;
    }
    if (WatchOne(FRoot) == TWatchResult::Failed) {
        Stop();
        return false;
    }
    FRootWatch = FFolders.begin()->first;
    // The root's own watch is there: the folders below it are watched without listing files.
    const std::string Root = FRoot;
    FFolders.clear();
    WatchTree(Root, false);
    FollowLinks(false);
    return true;
}

TFolderWatcher::TWatchResult TFolderWatcher::WatchOne(const std::string& APath) {
    const int Watch = FAddWatch(FFd, APath.c_str(), FolderMask);
    if (Watch < 0) {
        if (errno == ENOSPC)
            FLimitReached = true;
        FError = APath + ": " + std::strerror(errno);
        return TWatchResult::Failed;
    }
    // The kernel has one watch a folder: reached again (through a link, or a link back up the
    // tree) it gives the same one, which keeps the path it was first watched by.
    if (!FFolders.try_emplace(Watch, APath).second)
        return TWatchResult::AlreadyWatched;
    return TWatchResult::Added;
}

void TFolderWatcher::WatchTree(const std::string& APath, bool AList) {
    // The watch comes before the listing: a file made in between is seen by one or the other.
    if (WatchOne(APath) != TWatchResult::Added)
        return;
    DIR* Dir = opendir(APath.c_str());
    if (Dir == nullptr)
        return;
    while (const dirent* Entry = readdir(Dir)) {
        const char* Name = Entry->d_name;
        if (Name[0] == '.' && (Name[1] == '\0' || (Name[1] == '.' && Name[2] == '\0')))
            continue;
        const std::string Path = Join(APath, Name);
        bool IsFolder = Entry->d_type == DT_DIR;
        if (Entry->d_type == DT_UNKNOWN) {
            struct stat Info {};
            IsFolder = lstat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
        }
        if (IsFolder)
            WatchTree(Path, AList);
        else
            Found(Path, AList);
    }
    closedir(Dir);
}

void TFolderWatcher::FollowLinks(bool AList) {
    while (!FLinks.empty()) {
        const std::string Link = *FLinks.begin();
        FLinks.erase(FLinks.begin());
        struct stat Info {};
        if (stat(Link.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode))
            continue;
        const std::size_t Before = FFolders.size();
        WatchTree(Link, AList);
        if (FFolders.size() > Before)
            FLinkFolders.insert(Link);
    }
}

void TFolderWatcher::Found(const std::string& APath, bool AList) {
    struct stat Link {};
    if (lstat(APath.c_str(), &Link) != 0)
        return; // gone again
    if (S_ISLNK(Link.st_mode)) {
        struct stat Target {};
        if (stat(APath.c_str(), &Target) != 0) {
            // A broken link names a file, as the search takes it.
            if (AList)
                FReadyNow.push_back(APath);
        } else if (S_ISDIR(Target.st_mode)) {
            FLinks.insert(APath);
        } else if (AList) {
            if (S_ISREG(Target.st_mode))
                Settle(APath, Target);
            else
                FReadyNow.push_back(APath);
        }
        return;
    }
    if (!AList)
        return;
    if (S_ISREG(Link.st_mode))
        Settle(APath, Link);
    else if (!S_ISDIR(Link.st_mode))
        FReadyNow.push_back(APath); // a pipe, socket or device: no writer will close it
}

void TFolderWatcher::Settle(const std::string& APath, const struct stat& AInfo) {
    // Its writer may still be at work: it is ready once it has settled or closed.
    FPending[APath] = {AInfo.st_size, ModifiedNs(AInfo), TClock::now()};
}

void TFolderWatcher::Unwatch(const std::string& APath) {
    const std::string Below = APath + '/';
    for (auto It = FFolders.begin(); It != FFolders.end();) {
        if (It->second == APath || It->second.rfind(Below, 0) == 0) {
            inotify_rm_watch(FFd, It->first);
            It = FFolders.erase(It);
        } else {
            ++It;
        }
    }
    const auto First = FPending.lower_bound(Below);
    auto Last = First;
    while (Last != FPending.end() && Last->first.rfind(Below, 0) == 0)
        ++Last;
    FPending.erase(First, Last);
    FLinkFolders.erase(APath);
    for (auto It = FLinkFolders.lower_bound(Below); It != FLinkFolders.end() && It->rfind(Below, 0) == 0;)
        It = FLinkFolders.erase(It);
}

TWatchEvents TFolderWatcher::Wait(std::chrono::milliseconds ATimeout) {
    TWatchEvents Events;
    if (FFd < 0)
        return Events;
    constexpr auto Look = std::chrono::milliseconds(100); // how often settling files are looked at
    const auto Timeout = !FReadyNow.empty() ? std::chrono::milliseconds(0)
                         : FPending.empty() ? ATimeout
                                            : std::min(ATimeout, Look);
    pollfd Poll{FFd, POLLIN, 0};
    if (poll(&Poll, 1, static_cast<int>(Timeout.count())) > 0)
        Read(Events);
    CheckPending(Events);
    return Events;
}

void TFolderWatcher::CheckPending(TWatchEvents& AEvents) {
    AEvents.Ready.insert(AEvents.Ready.end(), FReadyNow.begin(), FReadyNow.end());
    FReadyNow.clear();
    const auto Now = TClock::now();
    for (auto It = FPending.begin(); It != FPending.end();) {
        struct stat Info {};
        if (stat(It->first.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode)) {
            It = FPending.erase(It); // gone: its removal is told by its own event
            continue;
        }
        TPending& File = It->second;
        if (Info.st_size != File.Size || ModifiedNs(Info) != File.ModifiedNs) {
            File = {Info.st_size, ModifiedNs(Info), Now};
        } else if (Now - File.Since >= FSettle) {
            if (OpenForWriting(It->first)) {
                File.Since = Now; // a writer that pauses: its close will tell
            } else {
                AEvents.Ready.push_back(It->first);
                It = FPending.erase(It);
                continue;
            }
        }
        ++It;
    }
}

void TFolderWatcher::Read(TWatchEvents& AEvents) {
    alignas(inotify_event) char Buffer[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t Got = read(FFd, Buffer, sizeof Buffer);
        if (Got <= 0)
            return;
        for (ssize_t At = 0; At < Got;) {
            const auto* Event = reinterpret_cast<const inotify_event*>(Buffer + At);
            At += static_cast<ssize_t>(sizeof(inotify_event) + Event->len);
            Take(*Event, AEvents);
        }
    }
}

void TFolderWatcher::Take(const inotify_event& AEvent, TWatchEvents& AEvents) {
    if (AEvent.mask & IN_Q_OVERFLOW) {
        AEvents.Overflow = true;
        return;
    }
    const auto Folder = FFolders.find(AEvent.wd);
    if (AEvent.mask & IN_IGNORED) {
        if (AEvent.wd == FRootWatch)
            AEvents.RootGone = true;
        if (Folder != FFolders.end())
            FFolders.erase(Folder);
        return;
    }
    if (Folder == FFolders.end())
        return;
    if (AEvent.wd == FRootWatch && (AEvent.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        AEvents.RootGone = true;
        return;
    }
    if (AEvent.len == 0)
        return;
    const std::string Path = Join(Folder->second, AEvent.name);
    if (AEvent.mask & IN_ISDIR) {
        if (AEvent.mask & (IN_CREATE | IN_MOVED_TO)) {
            WatchTree(Path, true);
            FollowLinks(true);
        }
        // A folder moved away keeps its watch under its old name until it is gone; its events
        // then name paths outside the song folder: drop them.
        if (AEvent.mask & IN_MOVED_FROM)
            Unwatch(Path);
        return;
    }
    // A hard link or a link made here: no writer closes it.
    if (AEvent.mask & IN_CREATE) {
        struct stat Info {};
        if (lstat(Path.c_str(), &Info) == 0 && !(S_ISREG(Info.st_mode) && Info.st_nlink == 1)) {
            Found(Path, true);
            FollowLinks(true);
        }
        return;
    }
    // A link to a folder removed or moved away: its folder's events would name it still.
    if ((AEvent.mask & (IN_DELETE | IN_MOVED_FROM)) && FLinkFolders.count(Path) > 0)
        Unwatch(Path);
    // The event itself settles a listed file: it is not reported twice.
    if (AEvent.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM))
        FPending.erase(Path);
    if (AEvent.mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
        AEvents.Ready.push_back(Path);
    else if (AEvent.mask & (IN_DELETE | IN_MOVED_FROM))
        AEvents.Removed.push_back(Path);
}
