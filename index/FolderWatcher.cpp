#include "FolderWatcher.h"

#include <cerrno>
#include <climits>
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

std::string Join(const std::string& AFolder, const char* AName) {
    std::string Path = AFolder;
    if (Path.empty() || Path.back() != '/')
        Path += '/';
    return Path + AName;
}

} // namespace

TFolderWatcher::TFolderWatcher(std::string ARoot) : FRoot(std::move(ARoot)) {
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
    if (!WatchOne(FRoot)) {
        Stop();
        return false;
    }
    FRootWatch = FFolders.begin()->first;
    // The root's own watch is there: the folders below it are watched without listing files.
    const std::string Root = FRoot;
    FFolders.clear();
    WatchTree(Root, nullptr);
    return true;
}

bool TFolderWatcher::WatchOne(const std::string& APath) {
    const int Watch = inotify_add_watch(FFd, APath.c_str(), FolderMask);
    if (Watch < 0) {
        if (errno == ENOSPC)
            FLimitReached = true;
        FError = APath + ": " + std::strerror(errno);
        return false;
    }
    FFolders[Watch] = APath;
    return true;
}

void TFolderWatcher::WatchTree(const std::string& APath, std::vector<std::string>* AFound) {
    // The watch comes before the listing: a file made in between is seen by one or the other.
    if (!WatchOne(APath))
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
            WatchTree(Path, AFound);
        else if (AFound != nullptr && Entry->d_type != DT_LNK)
            AFound->push_back(Path);
    }
    closedir(Dir);
}

TWatchEvents TFolderWatcher::Wait(std::chrono::milliseconds ATimeout) {
    TWatchEvents Events;
    if (FFd < 0)
        return Events;
    pollfd Poll{FFd, POLLIN, 0};
    if (poll(&Poll, 1, static_cast<int>(ATimeout.count())) > 0)
        Read(Events);
    return Events;
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
            if (Event->mask & IN_Q_OVERFLOW) {
                AEvents.Overflow = true;
                continue;
            }
            const auto Folder = FFolders.find(Event->wd);
            if (Event->mask & IN_IGNORED) {
                if (Event->wd == FRootWatch)
                    AEvents.RootGone = true;
                if (Folder != FFolders.end())
                    FFolders.erase(Folder);
                continue;
            }
            if (Folder == FFolders.end())
                continue;
            if (Event->wd == FRootWatch && (Event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
                AEvents.RootGone = true;
                continue;
            }
            if (Event->len == 0)
                continue;
            const std::string Path = Join(Folder->second, Event->name);
            if (Event->mask & IN_ISDIR) {
                if (Event->mask & (IN_CREATE | IN_MOVED_TO))
                    WatchTree(Path, &AEvents.Ready);
                // A folder moved away keeps its watch under its old name until it is gone;
                // its events then name paths outside the song folder: drop them.
                if (Event->mask & IN_MOVED_FROM) {
                    for (auto It = FFolders.begin(); It != FFolders.end();) {
                        if (It->second == Path || It->second.rfind(Path + '/', 0) == 0) {
                            inotify_rm_watch(FFd, It->first);
                            It = FFolders.erase(It);
                        } else {
                            ++It;
                        }
                    }
                }
                continue;
            }
            if (Event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
                AEvents.Ready.push_back(Path);
            else if (Event->mask & (IN_DELETE | IN_MOVED_FROM))
                AEvents.Removed.push_back(Path);
        }
    }
}
