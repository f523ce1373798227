// TWatch: corvena-index --watch. After the first run it keeps the local database in step with
// the song folder: the files the folder watcher reports ready are indexed in batches, a full
// pass over the folder follows the folder's return, dropped events and (while not every folder
// can be watched) every minute, until a signal comes or a database stops working.
//
// Each file is handled once per version: files handled without a song row are remembered with
// their version (inode, size, time) and left alone while unchanged; files with a row are
// skipped as known. What a pass counts is only what it found new, and the memory kept is
// bounded by what the folder holds.
//
// A local database on a server that goes away (restarted, the network down) is waited for: the
// watch says so once, connects again as soon as it answers, and passes over the folder for what
// came meanwhile; the file that was being written when the connection broke is done again.
#pragma once

#include "FolderWatcher.h"
#include "SongsThrd.h"
#include "ThrdFileSearch.h"
#include "ThrdSongIdx.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/types.h>

#include "IndexRun.h"

// A file as the watch handled it: another inode, size or time is a new version of it.
struct TFileMark {
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    std::int64_t ModifiedNs = 0;
    bool operator==(const TFileMark&) const = default;
};

class TWatch : public TRunWatch {
public:
    // Starts watching ARun's folder: made before the first search, so that a file written
    // while the first run goes is told by its event, not lost between the two.
    explicit TWatch(TIndexRun& ARun);
    TWatch(const TWatch&) = delete;
    TWatch& operator=(const TWatch&) = delete;

    // The first run's indexing, remembering the files it gave no song row.
    TSongIdxReport IndexFirst(const TConnectionRef& ALocal, const TConnectionRef& ATotal,
                              const TStringListRef& AFiles) override;
    // Keeps the database in step with the folder until a signal comes, a database stops
    // working, or (the tests' stand-in) the passes asked for are done.
    void Run(const TConnectionRef& ALocal, const TConnectionRef& ATotal) override;

private:
    using TClock = std::chrono::steady_clock;

    // Polls the watcher and the signal pipe for as long as nothing is due.
    void Wait();
    // What came since the last turn; false when a database stopped working.
    bool Turn(const TConnectionRef& ALocal, const TConnectionRef& ATotal);
    // The folder is back after it went (an unmounted share): watched again and passed over.
    bool ComeBack(const TConnectionRef& ALocal, const TConnectionRef& ATotal);
    void Take(TWatchEvents& AEvents, const TConnectionRef& ALocal, TClock::time_point ANow);
    bool IndexBatch(const TConnectionRef& ALocal, const TConnectionRef& ATotal);
    bool FullPass(const TConnectionRef& ALocal, const TConnectionRef& ATotal);
    // Indexes AFiles (the known ones left out when ASkipKnown) into the totals; false when a
    // database stopped working.
    bool IndexMore(const TConnectionRef& ALocal, const TConnectionRef& ATotal, const TStringListRef& AFiles,
                   bool ASkipKnown);
    void Remember(const TConnectionRef& ALocal, const TFileList& AFiles,
                  const std::vector<std::optional<TFileMark>>& AMarks, const TSongIdxReport& APart);
    bool LocalStillNamed();
    // The connection to the local database's server broke (AError): waits until it can be
    // opened again, trying every second, and has a full pass made next. False when a signal
    // came first (the error then ends the watch).
    bool Reconnect(const TConnectionRef& ALocal, const std::string& AError);
    bool NotCollectedHere(const std::string& APath);
    void TellNotCollected(const std::string& APath, const QString& AReason, bool AFile);
    void TellLimit();

    TIndexRun& FRun;
    TFolderWatcher FWatcher;
    bool FGone = false;
    bool FLimitTold = false;
    std::chrono::milliseconds FRescan;
    int FPassLimit;
    int FPasses = 0;
    bool FPassDue = false; // connected again: what came meanwhile is looked for
    std::set<std::string> FBatch;
    TClock::time_point FFirstEvent = TClock::now();
    TClock::time_point FLastEvent = TClock::now();
    TClock::time_point FLastPass = TClock::now();
    // Files handled without a song row, with their version; paths listed as not collected.
    std::unordered_map<std::string, TFileMark> FAccounted;
    std::unordered_set<std::string> FTold;
};
