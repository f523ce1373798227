// The folder watcher on real files: what is ready when, new folders at any depth, removals, and
// the folder itself going.
#include "FolderWatcher.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Everything the watcher reports within ATime.
TWatchEvents Collect(TFolderWatcher& AWatcher, std::chrono::milliseconds ATime = 300ms) {
    TWatchEvents All;
    const auto End = std::chrono::steady_clock::now() + ATime;
    while (std::chrono::steady_clock::now() < End) {
        TWatchEvents Some = AWatcher.Wait(20ms);
        All.Ready.insert(All.Ready.end(), Some.Ready.begin(), Some.Ready.end());
        All.Removed.insert(All.Removed.end(), Some.Removed.begin(), Some.Removed.end());
        All.RootGone = All.RootGone || Some.RootGone;
        All.Overflow = All.Overflow || Some.Overflow;
    }
    return All;
}

bool Has(const std::vector<std::string>& AList, const fs::path& APath) {
    return std::find(AList.begin(), AList.end(), APath.string()) != AList.end();
}

void Write(const fs::path& APath, const char* AText = "x") { std::ofstream(APath, std::ios::binary) << AText; }

class FolderWatcher : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(Root / "A" / "B");
        ASSERT_TRUE(Watcher.Start()) << Watcher.Error();
    }
    TTempDir Dir;
    fs::path Root = Dir.Path() / "Songs";
    fs::path Outside = Dir.Path();
    TFolderWatcher Watcher{Root.string()};
};

TEST_F(FolderWatcher, WatchesEveryFolderBelow) {
    EXPECT_EQ(Watcher.Folders(), 3u);
    EXPECT_FALSE(Watcher.LimitReached());
}

TEST_F(FolderWatcher, AFileIsReadyOnlyOnceItsWriterHasClosedIt) {
    const fs::path File = Root / "A" / "B" / "slow.mpg";
    {
        std::ofstream Out(File, std::ios::binary);
        Out << "part one" << std::flush;
        EXPECT_TRUE(Collect(Watcher).Ready.empty()) << "ready while still open";
        Out << "part two" << std::flush;
        EXPECT_TRUE(Collect(Watcher).Ready.empty()) << "ready while still open";
    }
    const TWatchEvents Events = Collect(Watcher);
    EXPECT_EQ(Events.Ready, std::vector<std::string>{File.string()});
}

TEST_F(FolderWatcher, FilesMovedInAndFoldersMadeOrMovedInAtAnyDepth) {
    // A file moved in from outside the folder.
    Write(Outside / "moved.mpg");
    fs::rename(Outside / "moved.mpg", Root / "moved.mpg");
    // A tree moved in whole, its files already written.
    fs::create_directories(Outside / "Tree" / "Deep");
    Write(Outside / "Tree" / "Deep" / "t.mpg");
    fs::rename(Outside / "Tree", Root / "A" / "Tree");
    // Folders made several levels deep, then a file written at the bottom at once.
    fs::create_directories(Root / "N1" / "N2" / "N3");
    Write(Root / "N1" / "N2" / "N3" / "n.mpg");
    const TWatchEvents Events = Collect(Watcher, 500ms);
    EXPECT_TRUE(Has(Events.Ready, Root / "moved.mpg"));
    EXPECT_TRUE(Has(Events.Ready, Root / "A" / "Tree" / "Deep" / "t.mpg"));
    EXPECT_TRUE(Has(Events.Ready, Root / "N1" / "N2" / "N3" / "n.mpg"));
    EXPECT_EQ(Watcher.Folders(), 3u + 2u + 3u);
    // The new folders are watched: a file written there later is seen too.
    Write(Root / "A" / "Tree" / "Deep" / "later.mpg");
    EXPECT_TRUE(Has(Collect(Watcher).Ready, Root / "A" / "Tree" / "Deep" / "later.mpg"));
}

TEST_F(FolderWatcher, RemovedAndRenamedAwayFilesAreTold) {
    Write(Root / "A" / "gone.mpg");
    Write(Root / "A" / "away.mpg");
    Collect(Watcher);
    fs::remove(Root / "A" / "gone.mpg");
    fs::rename(Root / "A" / "away.mpg", Outside / "away.mpg");
    const TWatchEvents Events = Collect(Watcher);
    EXPECT_TRUE(Has(Events.Removed, Root / "A" / "gone.mpg"));
    EXPECT_TRUE(Has(Events.Removed, Root / "A" / "away.mpg"));
    EXPECT_TRUE(Events.Ready.empty());
}

TEST_F(FolderWatcher, AFolderMovedAwayIsNoLongerFollowed) {
    fs::rename(Root / "A", Outside / "A");
    Collect(Watcher);
    Write(Outside / "A" / "B" / "elsewhere.mpg");
    const TWatchEvents Events = Collect(Watcher);
    EXPECT_TRUE(Events.Ready.empty()) << Events.Ready.front();
    EXPECT_EQ(Watcher.Folders(), 1u);
}

TEST_F(FolderWatcher, TheFolderItselfGoing) {
    fs::remove_all(Root);
    EXPECT_TRUE(Collect(Watcher).RootGone);
    // Back again: a new start watches it.
    fs::create_directories(Root);
    ASSERT_TRUE(Watcher.Start());
    Write(Root / "back.mpg");
    EXPECT_TRUE(Has(Collect(Watcher).Ready, Root / "back.mpg"));
}

TEST(FolderWatcherStart, AMissingFolderCannotBeWatched) {
    TTempDir Dir;
    TFolderWatcher Watcher((Dir.Path() / "none").string());
    EXPECT_FALSE(Watcher.Start());
    EXPECT_NE(Watcher.Error().find("No such file"), std::string::npos) << Watcher.Error();
}

} // namespace
