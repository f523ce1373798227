#include "RunReport.h"

#include <algorithm>

void TRunReport::SetSearch(const TFileSearchReport& ASearch, int ACollected) {
    Seen = ASearch.Seen;
    Collected = ACollected;
    NotCollected = ASearch.NotCollected;
}

void TRunReport::AddIndex(const TSongIdxReport& APart) {
    TSongIdxReport& Total = Index;
    if (!FListing) {
        FListing = true;
        FUnmatchedListed.insert(Total.Unmatched.begin(), Total.Unmatched.end());
        FNamelessListed.insert(Total.WithoutNameFiles.begin(), Total.WithoutNameFiles.end());
    }
    Total.Files += APart.Files;
    Total.Matched += APart.Matched;
    Total.Inserted += APart.Inserted;
    Total.Updated += APart.Updated;
    Total.Kept += APart.Kept;
    Total.WithoutName += APart.WithoutName;
    for (const std::string& Path : APart.WithoutNameFiles)
        if (FNamelessListed.insert(Path).second)
            Total.WithoutNameFiles.push_back(Path);
    std::unordered_set<std::string> Listed;
    for (const std::string& Path : APart.Unmatched)
        if (FUnmatchedListed.insert(Path).second) {
            Total.Unmatched.push_back(Path);
            Listed.insert(Path);
        }
    for (const TNearMatch& Match : APart.NearMatches)
        if (Listed.count(Match.Path) > 0)
            Total.NearMatches.push_back(Match);
    Total.Failed += APart.Failed;
    for (const TSongIdxFailure& Failure : APart.Failures)
        if (Total.Failures.size() < TSongIdxReport::MaxFailures)
            Total.Failures.push_back(Failure);
    Total.Interrupted = Total.Interrupted || APart.Interrupted;
    if (Total.RunError.empty()) {
        Total.RunError = APart.RunError;
        Total.ConnectionLost = APart.ConnectionLost;
    }
}

std::vector<TLeftOut> TRunReport::LeftOut() const {
    std::vector<TLeftOut> Files;
    for (const TNotCollected& Entry : NotCollected)
        Files.push_back({UnescapePath(Entry.Path.toStdString()), TLeftOutKind::NotCollected, Entry.Reason.toStdString()});
    for (const TSongIdxFailure& Failure : Index.Failures)
        Files.push_back({Failure.Path, TLeftOutKind::Failed, Failure.Error});
    std::unordered_set<std::string> Near;
    for (const TNearMatch& Match : Index.NearMatches) {
        Near.insert(Match.Path);
        Files.push_back({Match.Path, TLeftOutKind::NearMatch, Match.MasterName, Match.Reason});
    }
    for (const std::string& Path : Index.Unmatched)
        if (Near.count(Path) == 0)
            Files.push_back({Path, TLeftOutKind::Unmatched, {}});
    for (const std::string& Path : Index.WithoutNameFiles)
        Files.push_back({Path, TLeftOutKind::WithoutName, {}});
    return Files;
}

int TRunReport::UnlistedFailures() const {
    return std::max(0, Index.Failed - static_cast<int>(Index.Failures.size()));
}
