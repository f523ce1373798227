// TFolderWatcher: the song folder and every folder below it watched through Linux inotify, for
// corvena-index --watch.
//
// A file is ready once its last writer has closed it, or when it is moved in; a folder created
// or moved in is watched at once and the files already inside it are ready too (they may have
// been written before the watch was there). Removed and renamed-away files are told apart, as
// is the folder itself going (an unmounted share). Only the thread that made the watcher uses it.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

struct TWatchEvents {
    std::vector<std::string> Ready;   // full paths of files to index
    std::vector<std::string> Removed; // full paths of files deleted or moved away
    bool RootGone = false;            // the watched folder itself went; nothing is watched now
    bool Overflow = false;            // the kernel dropped events: a rescan is due
};

class TFolderWatcher {
public:
    explicit TFolderWatcher(std::string ARoot);
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
    // Files in folders that appear are listed at once.
    TWatchEvents Wait(std::chrono::milliseconds ATimeout);

    // The descriptor to poll for readability beside others; -1 before Start.
    int Fd() const { return FFd; }
    std::size_t Folders() const { return FFolders.size(); }
    bool LimitReached() const { return FLimitReached; }
    const std::string& Error() const { return FError; }
    const std::string& Root() const { return FRoot; }

private:
    // Watches APath and the folders below it; the files found there go to AFound when given.
    void WatchTree(const std::string& APath, std::vector<std::string>* AFound);
    bool WatchOne(const std::string& APath);
    void Read(TWatchEvents& AEvents);

    std::string FRoot;
    int FFd = -1;
    int FRootWatch = -1;
    std::map<int, std::string> FFolders; // watch descriptor -> folder path (no trailing '/')
    bool FLimitReached = false;
    std::string FError;
};
