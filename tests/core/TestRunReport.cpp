// A run's report made of parts (the watch's batches, the benchmark's slices): the parts add up
// as one run would, and a file told again in a later part is listed once.
#include "RunReport.h"

#include <gtest/gtest.h>

namespace {

TSongIdxReport Part(int AFiles, std::vector<std::string> AUnmatched, std::vector<TNearMatch> ANear,
                    std::vector<std::string> ANameless, int AFailed, const std::string& ARunError) {
    TSongIdxReport Report;
    Report.Files = AFiles;
    Report.Matched = AFiles - static_cast<int>(AUnmatched.size());
    Report.Inserted = 1;
    Report.Updated = 2;
    Report.Kept = 3;
    Report.WithoutName = static_cast<int>(ANameless.size());
    Report.WithoutNameFiles = std::move(ANameless);
    Report.Unmatched = std::move(AUnmatched);
    Report.NearMatches = std::move(ANear);
    Report.Failed = AFailed;
    for (int I = 0; I < AFailed && I < static_cast<int>(TSongIdxReport::MaxFailures); ++I)
        Report.Failures.push_back({"/s/f" + std::to_string(I) + ".mpg", "no such column: Track"});
    Report.RunError = ARunError;
    return Report;
}

TEST(RunReport, PartsAddUpAsOneRun) {
    TRunReport Run;
    Run.Index = Part(4, {"/s/x.mp4"}, {{"/s/x.mp4", "x.mpg", TNearMatchReason::Extension}}, {"/s/n.mpg"}, 0, "");
    // A new version of x.mp4 and n.mpg, and files of their own.
    Run.AddIndex(Part(5, {"/s/x.mp4", "/s/y.mpg"},
                      {{"/s/x.mp4", "x.mpg", TNearMatchReason::Extension}, {"/s/y.mpg", "ｙ.mpg", TNearMatchReason::Width}},
                      {"/s/n.mpg", "/s/m.mpg"}, 2, "database is locked"));
    Run.AddIndex(Part(1, {}, {}, {}, static_cast<int>(TSongIdxReport::MaxFailures), "disk full"));

    const TSongIdxReport& Total = Run.Index;
    EXPECT_EQ(Total.Files, 10);
    EXPECT_EQ(Total.Matched, 4 - 1 + 5 - 2 + 1);
    EXPECT_EQ(Total.Inserted, 3);
    EXPECT_EQ(Total.Updated, 6);
    EXPECT_EQ(Total.Kept, 9);
    EXPECT_EQ(Total.Unmatched, (std::vector<std::string>{"/s/x.mp4", "/s/y.mpg"}));
    ASSERT_EQ(Total.NearMatches.size(), 2u);
    EXPECT_EQ(Total.NearMatches[1].Path, "/s/y.mpg");
    EXPECT_EQ(Total.WithoutName, 3); // counted per version, listed per file
    EXPECT_EQ(Total.WithoutNameFiles, (std::vector<std::string>{"/s/n.mpg", "/s/m.mpg"}));
    EXPECT_EQ(Total.Failed, 2 + static_cast<int>(TSongIdxReport::MaxFailures));
    EXPECT_EQ(Total.Failures.size(), TSongIdxReport::MaxFailures);
    EXPECT_EQ(Run.UnlistedFailures(), 2);
    EXPECT_EQ(Total.RunError, "database is locked"); // the first that stopped a part
}

// The files left out, each once with its reason: a near match as such, not again as unmatched.
TEST(RunReport, LeftOutListsEachFileOnceWithItsReason) {
    TRunReport Run;
    Run.NotCollected = {{R"(/s/bad\xFF.mpg)", "file name is not valid UTF-8"}};
    Run.Index = Part(4, {"/s/x.mp4", "/s/u.mpg"}, {{"/s/x.mp4", "x.mpg", TNearMatchReason::Extension}},
                     {"/s/n.mpg"}, 1, "");
    std::vector<std::string> Seen;
    for (const TLeftOut& File : Run.LeftOut())
        Seen.push_back(std::to_string(static_cast<int>(File.Kind)) + " " + File.Path + " " + File.Detail);
    EXPECT_EQ(Seen, (std::vector<std::string>{"0 /s/bad\xFF.mpg file name is not valid UTF-8",
                                              "1 /s/f0.mpg no such column: Track", "2 /s/x.mp4 x.mpg",
                                              "3 /s/u.mpg ", "4 /s/n.mpg "}));
}

} // namespace
