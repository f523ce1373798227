// TRunReport: what one run of the search and the indexing did, as corvena-index's summary and
// JSON, the wizard's step 5 and the benchmark tell it. A run made of parts (the watch's batches
// and passes, the benchmark's slices) adds each part's indexing with AddIndex.
#pragma once

#include "NameMatch.h"
#include "ThrdFileSearch.h"
#include "ThrdSongIdx.h"

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

// Why a run left a file out of the song database.
enum class TLeftOutKind { NotCollected, Failed, NearMatch, Unmatched, WithoutName };

struct TLeftOut {
    std::string Path; // the path's bytes, as the file system has them
    TLeftOutKind Kind = TLeftOutKind::Unmatched;
    // The search's reason, the error, or a near match's master name; empty for the others.
    std::string Detail;
    TNearMatchReason NearReason = TNearMatchReason::Extension; // of a near match
};

struct TRunReport {
    int Seen = 0;      // files the search saw, collected or not
    int Collected = 0; // files it collected
    std::vector<TNotCollected> NotCollected;
    TSongIdxReport Index;   // the indexing of the collected files
    std::size_t Known = 0;  // files left out because their path had a song row (--skip-known)
    double SearchSeconds = 0;
    double IndexSeconds = 0;

    // The search's figures, ACollected the files it listed.
    void SetSearch(const TFileSearchReport& ASearch, int ACollected);
    // Adds a part's indexing: counts summed, lists appended, the first run error kept, an
    // interruption kept. A path already listed as unmatched or without a song name is not
    // listed again (a new version of the file is a new part's matter, not a second line), nor
    // is a near match of a path listed before; failures are listed up to MaxFailures.
    void AddIndex(const TSongIdxReport& APart);

    // The files left out: not collected, failed, near matches, the rest of the unmatched (a
    // near match is listed once, as such), then those whose master row has no song name; each
    // group in the order the run met them.
    std::vector<TLeftOut> LeftOut() const;
    // Failed files the report holds no path of (beyond MaxFailures).
    int UnlistedFailures() const;

private:
    // The paths listed, made by the first AddIndex from the lists as they stand.
    std::unordered_set<std::string> FUnmatchedListed;
    std::unordered_set<std::string> FNamelessListed;
    bool FListing = false;
};
