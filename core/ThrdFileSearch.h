// TFileSearchThrd: collects the full paths of all files below the song folder into the list the
// wizard lends it, reporting status and the number of files seen to the owner window.
//
// The walk runs on the UI thread inside one blocking call the worker makes and waits on. After
// every directory entry it sends the count and, once per EventSlice, lets the UI process its
// pending events, so the window stays responsive, repaints at screen rate, and a close
// (requestInterruption on this thread) stops the walk before the next entry. Without a window
// (owner handle 0) the same object can run the search directly: construct it suspended, call
// SearchFiles on a thread with a QCoreApplication, read Files/NotCollected and delete it.
#pragma once

#include "FileList.h"
#include "Paths.h"
#include "SuffixFilter.h"
#include "WinMessages.h"

#include <QString>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// A file the search saw but did not collect, or a folder it did not walk, and why. Invalid
// UTF-8 bytes of the path are shown as \xNN.
struct TNotCollected {
    QString Path;
    QString Reason;
};

// The collected form of a file found at ARelative (names joined by the style's separator)
// below the search folder ARoot: the root, one separator where it ends without one, the names
// as enumerated, then the style's backslash-pair pass.
std::string CollectedFilePath(const std::string& ARoot, const std::string& ARelative,
                              const TPathStyle& AStyle = NativePathStyle);

// A byte string shown as text: valid UTF-8 kept, every other byte written \xNN.
QString EscapeInvalidUtf8(std::string_view ABytes);
bool IsValidUtf8(std::string_view ABytes);

// What a search found, for a run without a window. Filled by SearchFiles on the thread that
// walks (the creator's), before the closing status; the creator takes it before the start and
// reads it once the worker has finished, without touching the worker.
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
    // Walks one folder and everything below it; the number of files seen there.
    int SearchDir(const QString& Path);

    TStringListRef Files() const { return FFiles; }
    int DidCount() const { return FDidCount; }
    const std::vector<TNotCollected>& NotCollected() const { return FNotCollected; }
    TFileSearchReportRef Report() const { return FReport; }

protected:
    void run() override;

    TWindowHandle FOwnerHandle;
    QString FSearchPath;
    QString FSuffixs;
    TStringListRef FFiles;
    int FDidCount = 0;

private:
    struct TFolderId {
        dev_t Device;
        ino_t Inode;
    };

    void SendStatus(const QString& AText);
    // The progress message of one entry, then the UI's pending events when a slice has passed.
    void EntryDone();
    void ProcessEvents();
    // APath holds the folder's path; ADirFd is the open folder, closed here.
    int WalkFolder(int ADirFd, std::string& APath);
    void Record(std::string_view APath, const QString& AReason);

    TSuffixFilter FFilter;
    QStringList* FWalkFiles = nullptr;
    std::vector<TFolderId> FOpenFolders; // the folders from the root down to the current one
    std::vector<TNotCollected> FNotCollected;
    TFileSearchReportRef FReport = std::make_shared<TFileSearchReport>();
    std::chrono::steady_clock::time_point FLastEvents;
};
