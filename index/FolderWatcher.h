// TFolderWatcher: the song folder and every folder below it watched through Linux inotify, for
// corvena-index --watch.
//
// A file is ready once its last writer has closed it, or when it is moved in; a folder created
// or moved in is watched at once. The files already inside such a folder may have been written
// before the watch was there, or may still be open: each is ready once it has settled (size and
// time unchanged for a while and, where the kernel can tell, nobody has it open for writing),
// unless its close or move comes first. A hard link or a link made in the tree (no writer
// closes it) settles the same way; a link to a folder is followed as the search follows it, a
// folder reached twice watched once, by a path that crosses no link where there is one; a
// broken link, a pipe or a device is ready at once (the caller decides what to make of it).
// Removed and renamed-away entries are told apart, as is the folder itself going (an unmounted
// share). Only the thread that made the watcher uses it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

struct TWatchEvents {
    std::vector<std::string> Ready;   // full paths of files to index
    std::vector<std::string> Removed; // full paths of files deleted or moved away
    bool RootGone = false;            // the watched folder itself went; nothing is watched now
    bool Overflow = false;            // the kernel dropped events: a rescan is due
};

class TFolderWatcher {
public:
    // inotify_add_watch, or a stand-in (the tests run out of watches with it).
    using TAddWatch = std::function<int(int AFd, const char* APath, std::uint32_t AMask)>;
    static constexpr std::chrono::milliseconds DefaultSettle{600};

    explicit TFolderWatcher(std::string ARoot, std::chrono::milliseconds ASettle = DefaultSettle,
                            TAddWatch AAddWatch = {});
    ~TFolderWatcher();
    TFolderWatcher(const TFolderWatcher&) = delete;
    TFolderWatcher& operator=(const TFolderWatcher&) = delete;

    // Watches the folder and every folder below it; false when the folder cannot be watched
    // (gone, or inotify unavailable: Error() says why). The kernel's limit reached is no
    // failure: LimitReached() tells, and the folders watched so far stay watched.
    bool Start();
    // Drops every watch (the folder went, or before a new Start).
    void Stop();

    // Waits up to ATimeout for something to happen; returns what did (empty on a timeout).
    // While listed files are settling it returns after a short while to look at them again.
    TWatchEvents Wait(std::chrono::milliseconds ATimeout);
    // Found files not reported yet: the caller should call Wait again soon.
    bool HasPending() const { return !FPending.empty() || !FReadyNow.empty(); }

    // The descriptor to poll for readability beside others; -1 before Start.
    int Fd() const { return FFd; }
    std::size_t Folders() const { return FFolders.size(); }
    bool LimitReached() const { return FLimitReached; }
    const std::string& Error() const { return FError; }

private:
    using TClock = std::chrono::steady_clock;
    // A listed file: what it looked like when last seen changing.
    struct TPending {
        off_t Size = -1;
        std::int64_t ModifiedNs = -1;
        TClock::time_point Since;
    };

    enum class TWatchResult { Added, AlreadyWatched, Failed };

    // Watches APath and the folders below it; the files found there wait to settle when AList.
    // Links to folders met on the way wait in FLinks for FollowLinks.
    void WatchTree(const std::string& APath, bool AList);
    // Watches the folders the links in FLinks lead to, least path first, once the real folders
    // are watched: a folder reached both ways keeps the path without the link.
    void FollowLinks(bool AList);
    TWatchResult WatchOne(const std::string& APath);
    // An entry that is not a folder, met by a listing (AList) or made while watching.
    void Found(const std::string& APath, bool AList);
    void Settle(const std::string& APath, const struct stat& AInfo);
    // Drops the watches of APath and of the folders below it (moved away, or a link removed).
    void Unwatch(const std::string& APath);
    void Read(TWatchEvents& AEvents);
    // One event of the kernel's into AEvents.
    void Take(const struct inotify_event& AEvent, TWatchEvents& AEvents);
    void CheckPending(TWatchEvents& AEvents);

    std::string FRoot;
    std::chrono::milliseconds FSettle;
    TAddWatch FAddWatch;
    std::map<std::string, TPending> FPending; // listed files by full path
    std::vector<std::string> FReadyNow;       // found ready without settling, for the next Wait
    std::set<std::string> FLinks;             // links met by WatchTree, not yet followed
    std::set<std::string> FLinkFolders;       // links whose folder is watched by their path
    int FFd = -1;
    int FRootWatch = -1;
    std::map<int, std::string> FFolders; // watch descriptor -> folder path (no trailing '/')
    bool FLimitReached = false;
    std::string FError;
};
