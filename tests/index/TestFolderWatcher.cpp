// The folder watcher on real files: what is ready when, new folders at any depth, removals, and
// the folder itself going.
#include "FolderWatcher.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool Has(const std::vector<std::string>& AList, const fs::path& APath) {
    return std::find(AList.begin(), AList.end(), APath.string()) != AList.end();
}

long Count(const std::vector<std::string>& AList, const fs::path& APath) {
    return std::count(AList.begin(), AList.end(), APath.string());
}

// What the watcher reports until ADone holds for all of it, or until AMost has passed.
TWatchEvents CollectUntil(TFolderWatcher& AWatcher, const std::function<bool(const TWatchEvents&)>& ADone,
                          std::chrono::milliseconds AMost = 5000ms) {
    TWatchEvents All;
    const auto End = std::chrono::steady_clock::now() + AMost;
    while (!ADone(All) && std::chrono::steady_clock::now() < End) {
        TWatchEvents Some = AWatcher.Wait(20ms);
        All.Ready.insert(All.Ready.end(), Some.Ready.begin(), Some.Ready.end());
        All.Removed.insert(All.Removed.end(), Some.Removed.begin(), Some.Removed.end());
        All.RootGone = All.RootGone || Some.RootGone;
        All.Overflow = All.Overflow || Some.Overflow;
    }
    return All;
}

// What the watcher reports until every one of APaths is ready.
TWatchEvents CollectUntilReady(TFolderWatcher& AWatcher, std::initializer_list<fs::path> APaths) {
    const std::vector<fs::path> Paths(APaths);
    return CollectUntil(AWatcher, [&Paths](const TWatchEvents& AEvents) {
        return std::all_of(Paths.begin(), Paths.end(), [&AEvents](const fs::path& APath) { return Has(AEvents.Ready, APath); });
    });
}

TWatchEvents CollectUntilReady(TFolderWatcher& AWatcher, const fs::path& APath) {
    return CollectUntilReady(AWatcher, {APath});
}

void Write(const fs::path& APath, const char* AText = "x");

// What the watcher reports until a file written and closed now in AFolder (a watched folder)
// is ready: inotify keeps the order, so everything that happened before has been read by then.
// The mark itself is left out.
TWatchEvents CollectToAMark(TFolderWatcher& AWatcher, const fs::path& AFolder) {
    static int Marks = 0;
    const fs::path Mark = AFolder / ("mark" + std::to_string(++Marks) + ".mpg");
    Write(Mark);
    TWatchEvents Events = CollectUntilReady(AWatcher, Mark);
    EXPECT_TRUE(Has(Events.Ready, Mark)) << "the mark never came";
    std::erase(Events.Ready, Mark.string());
    return Events;
}

void Write(const fs::path& APath, const char* AText) { std::ofstream(APath, std::ios::binary) << AText; }

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
        EXPECT_TRUE(CollectToAMark(Watcher, Root / "A").Ready.empty()) << "ready while still open";
        Out << "part two" << std::flush;
        EXPECT_TRUE(CollectToAMark(Watcher, Root / "A").Ready.empty()) << "ready while still open";
    }
    EXPECT_EQ(CollectUntilReady(Watcher, File).Ready, std::vector<std::string>{File.string()});
    EXPECT_TRUE(CollectToAMark(Watcher, Root / "A").Ready.empty()) << "ready twice";
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
    // Files found by listing a new folder wait to settle first; each is ready once.
    TWatchEvents Events = CollectUntilReady(
        Watcher, {Root / "moved.mpg", Root / "A" / "Tree" / "Deep" / "t.mpg", Root / "N1" / "N2" / "N3" / "n.mpg"});
    const TWatchEvents After = CollectToAMark(Watcher, Root);
    Events.Ready.insert(Events.Ready.end(), After.Ready.begin(), After.Ready.end());
    EXPECT_EQ(Count(Events.Ready, Root / "moved.mpg"), 1);
    EXPECT_EQ(Count(Events.Ready, Root / "A" / "Tree" / "Deep" / "t.mpg"), 1);
    EXPECT_EQ(Count(Events.Ready, Root / "N1" / "N2" / "N3" / "n.mpg"), 1);
    EXPECT_EQ(Watcher.Folders(), 3u + 2u + 3u);
    // The new folders are watched: a file written there later is seen too.
    Write(Root / "A" / "Tree" / "Deep" / "later.mpg");
    EXPECT_TRUE(Has(CollectUntilReady(Watcher, Root / "A" / "Tree" / "Deep" / "later.mpg").Ready,
                    Root / "A" / "Tree" / "Deep" / "later.mpg"));
}

// A file found by listing a folder that appeared, its writer still at work (pausing longer than
// the settling time too): ready once, at its close, whether the folder was made in the tree
// or moved in with the file open. A closed file listed at the same time settles meanwhile:
// the open one would have been ready by then.
class FolderWatcherListedOpenFile : public FolderWatcher, public ::testing::WithParamInterface<bool> {};

TEST_P(FolderWatcherListedOpenFile, IsReadyOnlyAtItsClose) {
    const bool MovedIn = GetParam();
    const fs::path Made = (MovedIn ? Outside : Root) / "New";
    fs::create_directories(Made);
    Write(Made / "closed.mpg");
    const fs::path File = Root / "New" / "open.mpg";
    {
        std::ofstream Out(Made / "open.mpg", std::ios::binary);
        Out << "start" << std::flush;
        if (MovedIn)
            fs::rename(Made, Root / "New");
        const fs::path Closed = Root / "New" / "closed.mpg";
        EXPECT_EQ(CollectUntilReady(Watcher, Closed).Ready, std::vector<std::string>{Closed.string()})
            << "ready while still open";
        Out << "more" << std::flush;
        // Listed after the last write: it settles a whole settling time after it.
        fs::create_directories(Root / "New" / "Later");
        Write(Root / "New" / "Later" / "late.mpg");
        const fs::path Late = Root / "New" / "Later" / "late.mpg";
        EXPECT_EQ(CollectUntilReady(Watcher, Late).Ready, std::vector<std::string>{Late.string()})
            << "ready while still open";
        Out << "end" << std::flush;
    }
    EXPECT_EQ(CollectUntilReady(Watcher, File).Ready, std::vector<std::string>{File.string()});
    EXPECT_TRUE(CollectToAMark(Watcher, Root).Ready.empty()) << "ready twice";
    EXPECT_FALSE(Watcher.HasPending());
}

INSTANTIATE_TEST_SUITE_P(FolderWatcher, FolderWatcherListedOpenFile, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& AInfo) {
                             return AInfo.param ? "MovedIn" : "MadeInside";
                         });

// Listed with a file that stays: by the time that one has settled, the gone one would have too.
TEST_F(FolderWatcher, AListedFileGoneBeforeItSettledIsNotReady) {
    fs::create_directories(Outside / "T");
    Write(Outside / "T" / "brief.mpg");
    Write(Outside / "T" / "stays.mpg");
    fs::rename(Outside / "T", Root / "T");
    EXPECT_TRUE(CollectToAMark(Watcher, Root).Ready.empty()); // listed, waiting to settle
    fs::remove(Root / "T" / "brief.mpg");
    const TWatchEvents Events = CollectUntilReady(Watcher, Root / "T" / "stays.mpg");
    EXPECT_EQ(Events.Ready, std::vector<std::string>{(Root / "T" / "stays.mpg").string()});
    EXPECT_TRUE(Has(Events.Removed, Root / "T" / "brief.mpg"));
    EXPECT_FALSE(Watcher.HasPending());
}

TEST_F(FolderWatcher, RemovedAndRenamedAwayFilesAreTold) {
    Write(Root / "A" / "gone.mpg");
    Write(Root / "A" / "away.mpg");
    CollectUntilReady(Watcher, {Root / "A" / "gone.mpg", Root / "A" / "away.mpg"});
    fs::remove(Root / "A" / "gone.mpg");
    fs::rename(Root / "A" / "away.mpg", Outside / "away.mpg");
    const TWatchEvents Events = CollectToAMark(Watcher, Root / "A");
    EXPECT_TRUE(Has(Events.Removed, Root / "A" / "gone.mpg"));
    EXPECT_TRUE(Has(Events.Removed, Root / "A" / "away.mpg"));
    EXPECT_TRUE(Events.Ready.empty());
}

TEST_F(FolderWatcher, AFolderMovedAwayIsNoLongerFollowed) {
    fs::rename(Root / "A", Outside / "A");
    CollectToAMark(Watcher, Root);
    Write(Outside / "A" / "B" / "elsewhere.mpg");
    // Written before the mark: it would have come first.
    const TWatchEvents Events = CollectToAMark(Watcher, Root);
    EXPECT_TRUE(Events.Ready.empty()) << Events.Ready.front();
    EXPECT_EQ(Watcher.Folders(), 1u);
}

TEST_F(FolderWatcher, TheFolderItselfGoing) {
    fs::remove_all(Root);
    EXPECT_TRUE(CollectUntil(Watcher, [](const TWatchEvents& AEvents) { return AEvents.RootGone; }).RootGone);
    // Back again: a new start watches it.
    fs::create_directories(Root);
    ASSERT_TRUE(Watcher.Start());
    Write(Root / "back.mpg");
    EXPECT_TRUE(Has(CollectUntilReady(Watcher, Root / "back.mpg").Ready, Root / "back.mpg"));
}

// Entries that no writer closes, made while watching: each is ready (once) as the search
// would collect it, a folder behind a link listed and followed under the link's path.
struct TMadeEntry {
    const char* Name;
    void (*Make)(const fs::path& ARoot, const fs::path& AOutside);
    const char* Ready; // below the root
};

class FolderWatcherMadeEntry : public FolderWatcher, public ::testing::WithParamInterface<TMadeEntry> {};

TEST_P(FolderWatcherMadeEntry, IsReadyOnce) {
    GetParam().Make(Root, Outside);
    const fs::path Ready = Root / GetParam().Ready;
    const TWatchEvents Events = CollectUntilReady(Watcher, Ready);
    EXPECT_EQ(Events.Ready, std::vector<std::string>{Ready.string()});
    EXPECT_FALSE(Watcher.HasPending());
    // Nothing more of it before a file closed after it.
    Write(Root / "after.mpg");
    EXPECT_EQ(CollectUntilReady(Watcher, Root / "after.mpg").Ready, std::vector<std::string>{(Root / "after.mpg").string()});
}

INSTANTIATE_TEST_SUITE_P(
    FolderWatcher, FolderWatcherMadeEntry,
    ::testing::Values(
        TMadeEntry{"HardLink",
                   [](const fs::path& R, const fs::path& O) {
                       Write(O / "h.mpg");
                       fs::create_hard_link(O / "h.mpg", R / "A" / "h.mpg");
                   },
                   "A/h.mpg"},
        TMadeEntry{"LinkToAFile",
                   [](const fs::path& R, const fs::path& O) {
                       Write(O / "s.mpg");
                       fs::create_symlink(O / "s.mpg", R / "A" / "B" / "s.mpg");
                   },
                   "A/B/s.mpg"},
        TMadeEntry{"BrokenLink",
                   [](const fs::path& R, const fs::path& O) { fs::create_symlink(O / "none.mpg", R / "b.mpg"); },
                   "b.mpg"},
        TMadeEntry{"Pipe",
                   [](const fs::path& R, const fs::path&) { ASSERT_EQ(mkfifo((R / "p.mpg").c_str(), 0600), 0); },
                   "p.mpg"},
        TMadeEntry{"LinkToAFolderOutside",
                   [](const fs::path& R, const fs::path& O) {
                       fs::create_directories(O / "Far" / "Deeper");
                       Write(O / "Far" / "Deeper" / "f.mpg");
                       fs::create_directory_symlink(O / "Far", R / "A" / "Far");
                   },
                   "A/Far/Deeper/f.mpg"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// A folder behind a link is watched by the link's path, once, and no longer once the link goes;
// a link to a folder already watched adds nothing.
TEST_F(FolderWatcher, FoldersBehindLinksAreWatchedOnce) {
    fs::create_directories(Outside / "Far");
    fs::create_directory_symlink(Outside / "Far", Root / "Far");
    fs::create_directory_symlink(Root / "A" / "B", Root / "ToB");
    fs::create_directory_symlink(Root, Root / "A" / "Up");
    // A folder made to wait for the links' events: everything before it has been read.
    fs::create_directories(Root / "Mark");
    Write(Root / "Mark" / "m.mpg");
    CollectUntilReady(Watcher, Root / "Mark" / "m.mpg");
    EXPECT_EQ(Watcher.Folders(), 3u + 1u + 1u); // Far and Mark
    Write(Outside / "Far" / "later.mpg");
    Write(Root / "A" / "B" / "b.mpg");
    TWatchEvents Events = CollectUntilReady(Watcher, Root / "Far" / "later.mpg");
    if (!Has(Events.Ready, Root / "A" / "B" / "b.mpg")) {
        const TWatchEvents More = CollectUntilReady(Watcher, Root / "A" / "B" / "b.mpg");
        Events.Ready.insert(Events.Ready.end(), More.Ready.begin(), More.Ready.end());
    }
    std::sort(Events.Ready.begin(), Events.Ready.end());
    EXPECT_EQ(Events.Ready, (std::vector<std::string>{(Root / "A" / "B" / "b.mpg").string(),
                                                      (Root / "Far" / "later.mpg").string()}));

    fs::remove(Root / "Far");
    Write(Outside / "Far" / "after.mpg");
    Write(Root / "Mark" / "m2.mpg");
    Events = CollectUntilReady(Watcher, Root / "Mark" / "m2.mpg");
    EXPECT_EQ(Events.Ready, std::vector<std::string>{(Root / "Mark" / "m2.mpg").string()});
    EXPECT_EQ(Watcher.Folders(), 3u + 1u);
}

// Links already there at the start: the folder behind one is watched, and a folder reached
// both directly and through a link keeps its own path, whatever order the listing gives.
TEST(FolderWatcherStart, FollowsLinksToFoldersByTheirRealPathFirst) {
    TTempDir Dir;
    const fs::path Root = Dir.Path() / "Songs";
    fs::create_directories(Root / "Real");
    fs::create_directories(Dir.Path() / "Far");
    // Names before and after "Real" in any order the folder lists them.
    fs::create_directory_symlink(Root / "Real", Root / "AAlink");
    fs::create_directory_symlink(Root / "Real", Root / "ZZlink");
    fs::create_directory_symlink(Dir.Path() / "Far", Root / "Far");
    TFolderWatcher Watcher(Root.string());
    ASSERT_TRUE(Watcher.Start()) << Watcher.Error();
    EXPECT_EQ(Watcher.Folders(), 3u);
    Write(Root / "Real" / "r.mpg");
    Write(Dir.Path() / "Far" / "f.mpg");
    TWatchEvents Events = CollectUntilReady(Watcher, Root / "Far" / "f.mpg");
    if (!Has(Events.Ready, Root / "Real" / "r.mpg")) {
        const TWatchEvents More = CollectUntilReady(Watcher, Root / "Real" / "r.mpg");
        Events.Ready.insert(Events.Ready.end(), More.Ready.begin(), More.Ready.end());
    }
    std::sort(Events.Ready.begin(), Events.Ready.end());
    EXPECT_EQ(Events.Ready, (std::vector<std::string>{(Root / "Far" / "f.mpg").string(),
                                                      (Root / "Real" / "r.mpg").string()}));
}

// The kernel's limit through a stand-in for inotify_add_watch: the folders watched so far stay
// watched and the rest is no failure.
TEST(FolderWatcherLimit, RunningOutOfWatchesIsNoFailure) {
    TTempDir Dir;
    const fs::path Root = Dir.Path() / "Songs";
    fs::create_directories(Root / "A" / "B");
    int Left = 3; // the root is asked for twice, then A
    TFolderWatcher Watcher(Root.string(), TFolderWatcher::DefaultSettle,
                           [&Left](int AFd, const char* APath, std::uint32_t AMask) {
                               if (Left == 0) {
                                   errno = ENOSPC;
                                   return -1;
                               }
                               --Left;
                               return inotify_add_watch(AFd, APath, AMask);
                           });
    ASSERT_TRUE(Watcher.Start()) << Watcher.Error();
    EXPECT_TRUE(Watcher.LimitReached());
    EXPECT_EQ(Watcher.Folders(), 2u);
    EXPECT_NE(Watcher.Error().find("No space left"), std::string::npos) << Watcher.Error();
    // A folder made later cannot be watched either; the watched ones still tell.
    fs::create_directories(Root / "A" / "Later");
    Write(Root / "A" / "a.mpg");
    Write(Root / "A" / "B" / "b.mpg");
    const TWatchEvents Events = CollectToAMark(Watcher, Root / "A");
    EXPECT_EQ(Events.Ready, std::vector<std::string>{(Root / "A" / "a.mpg").string()});
    EXPECT_EQ(Watcher.Folders(), 2u);
}

TEST(FolderWatcherStart, AMissingFolderCannotBeWatched) {
    TTempDir Dir;
    TFolderWatcher Watcher((Dir.Path() / "none").string());
    EXPECT_FALSE(Watcher.Start());
    EXPECT_NE(Watcher.Error().find("No such file"), std::string::npos) << Watcher.Error();
}

} // namespace
