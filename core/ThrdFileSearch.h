// TFileSearchThrd: collects the full paths of all files below the song folder into the list the
// wizard lends it, reporting status and the number of files seen to the owner window.
//
// The walk runs on the UI thread (the thread this object belongs to) inside one event the worker
// posts to it and waits on. After every directory entry it sends the count and, once per
// EventSlice, lets the UI process its pending events, so the window stays responsive, repaints
// at screen rate, and a close (requestInterruption on this thread) stops the walk before the
// next entry. Without a window
// (owner handle 0) the same object can run the search directly: construct it suspended, call
// SearchFiles on a thread with a QCoreApplication, read the list and the report, delete it.
#pragma once

#include "FileList.h"
#include "Paths.h"
#include "SuffixFilter.h"
#include "Utf8.h"
#include "WinMessages.h"
#include "WorkerStatus.h"
#include "Workers.h"

#include <QString>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// A file the search saw but did not collect, or a folder it did not walk, and why. The path is
// escaped as EscapePath does.
struct TNotCollected {
    QString Path;
    QString Reason;
};

// The collected form of a file found at ARelative (names joined by the style's separator)
// below the search folder ARoot: the root (in the native style as LexicalFolderPath gives it),
// one separator where it ends without one, the names as enumerated, then the style's
// backslash-pair pass.
std::string CollectedFilePath(const std::string& ARoot, const std::string& ARelative,
                              const TPathStyle& AStyle = NativePathStyle);

// A path as one line of text (UTF-8), for lists a script reads line by line: valid UTF-8 kept;
// a byte that is not, a control character (newline, carriage return, tab, ...) and DEL written
// \xNN (two upper-case hex digits). A backslash stays as it is, except one that would read as
// such an escape (followed by x and two hex digits): that one is written \x5C, so replacing
// every \xNN by its byte gives the path back.
std::string EscapePath(std::string_view ABytes);
// The bytes of a path as EscapePath wrote it: every \xNN becomes its byte.
std::string UnescapePath(std::string_view AText);

// What a search found. Filled by SearchFiles on the thread that walks (the creator's); the
// creator takes it before the start and reads it once the worker has finished, without touching
// the worker.
struct TFileSearchReport {
    int Seen = 0; // files seen (collected or not)
    std::vector<TNotCollected> NotCollected;
    bool Interrupted = false; // a termination request ended the walk early
};

using TFileSearchReportRef = std::shared_ptr<TFileSearchReport>;

class TFileSearchThrd : public QThread {
    Q_OBJECT
public:
    // How often the walk lets the UI process its events (and so repaint).
    static constexpr std::chrono::milliseconds EventSlice{10};

    // Stores the arguments; starts at once unless CreateSuspended. Deletes itself (on its
    // creator's event loop) once it has finished. A null AFiles gets a list of its own.
    TFileSearchThrd(bool CreateSuspended, TWindowHandle AOwnerHandle, const QString& ASearchPath,
                    const QString& ASuffixs, TStringListRef AFiles);
    ~TFileSearchThrd() override;

    // The whole search: statuses, the list emptied and filled, the closing status.
    void SearchFiles();
    // Walks one folder and everything below it, each physical folder once; the number of files
    // seen there. The path is taken as LexicalFolderPath gives it. A folder is walked by the
    // way that crosses no link where there is one, else by the least in byte order of the
    // ways with the fewest rounds of links: the folders reached through links wait until the
    // walk without them has ended, and are then walked in byte order of their paths.
    int SearchDir(const QString& Path);

    TFileSearchReportRef Report() const { return FReport; }
    // Passed before what the worker wrote is read (see TWorkers).
    TWorkerEndRef End() const { return FEnd; }

protected:
    void run() override;
    bool event(QEvent* AEvent) override;

    TWindowHandle FOwnerHandle;
    QString FSearchPath;
    TStringListRef FFiles;
    int FDidCount = 0;

private:
    struct TFolderId {
        dev_t Device;
        ino_t Inode;
        bool operator==(const TFolderId&) const = default;
    };
    struct TFolderIdHash {
        std::size_t operator()(const TFolderId& AId) const noexcept {
            return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(AId.Inode) * 0x9E3779B97F4A7C15ULL ^
                                              static_cast<std::uint64_t>(AId.Device));
        }
    };

    void SendStatus(TWorkerStatus AStatus);
    // The progress message of one entry, then the UI's pending events when a slice has passed.
    void EntryDone();
    void ProcessEvents();
    // What an entry is (for a link: what it leads to); an entry gone since, or a broken link,
    // is a file.
    struct TEntryKind {
        bool Folder = false;
        bool Regular = false;
        bool Link = false;
    };
    static TEntryKind KindOf(DIR* ADir, const dirent* AEntry);
    // The open folder ADirFd to walk, or null (recorded, ADirFd closed) when it cannot be read
    // or was walked already by another way.
    DIR* EnterFolder(int ADirFd, const std::string& APath);
    // APath holds the folder's path; ADirFd is the open folder, closed here.
    int WalkFolder(int ADirFd, std::string& APath);
    // One entry of a folder, APath its path: the files seen there (1 for a file).
    int WalkEntry(DIR* ADir, const char* AName, const TEntryKind& AKind, std::string& APath);
    void Record(std::string_view APath, const QString& AReason);

    // The accepted suffixes, as read once from ASuffixs (the wizard's ".*" accepts every file).
    TSuffixFilter FFilter;
    // Every folder this walk has entered, with the path it was first entered by: a folder
    // reached again (a link to an ancestor, or several links to one folder) is not walked
    // again, so the walk ends and each folder's files are collected once.
    std::unordered_map<TFolderId, std::string, TFolderIdHash> FWalked;
    // Paths of links to folders met in the current round, walked in the next.
    std::vector<std::string> FThroughLinks;
    TFileSearchReportRef FReport = std::make_shared<TFileSearchReport>();
    std::chrono::steady_clock::time_point FLastEvents;
    std::chrono::milliseconds FEventSlice = EventSlice;
    // The tests' probe sets another slice (0: the events after every entry).
    friend struct TFileSearchProbe;

    // The hand-over of the walk to the UI thread (run posts, event walks): under FWalkLock, so
    // that the thread sanitizer sees the order Qt's event queue gives.
    std::mutex FWalkLock;
    std::condition_variable FWalkEnded;
    enum class TWalkState { Posted, Walking, Ended, Abandoned };
    TWalkState FWalkState = TWalkState::Posted;
    const TWorkerEndRef FEnd = std::make_shared<TWorkerEnd>();
};
