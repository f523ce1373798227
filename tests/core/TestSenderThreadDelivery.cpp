// A sink registered for delivery on the sender's thread (the headless program's), and the
// messages a window names to take on the sender's thread (the wizard's progress): they are
// direct calls on whatever thread sends them, and ending the registration waits for calls
// still running elsewhere.
#include "ThreadState.h"
#include "WinMessages.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls ADone until it holds, for ten seconds at most.
template <class TDone>
bool WaitUntil(TDone ADone) {
    const auto Deadline = std::chrono::steady_clock::now() + 10s;
    while (!ADone()) {
        if (std::chrono::steady_clock::now() >= Deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(SenderThreadDelivery, WorkerMessagesRunOnTheWorkerWithNoEventLoopHere) {
    QObject Sink;
    std::atomic<int> Calls{0};
    std::atomic<bool> OnSender{true};
    std::thread::id Sender;
    const TWindowHandle Handle = RegisterWindow(
        &Sink,
        [&](unsigned AMsg, TWParam AWParam, TLParam) -> TLParam {
            if (std::this_thread::get_id() != Sender)
                OnSender = false;
            ++Calls;
            return AMsg == WM_WIZ_PROGRESS ? static_cast<TLParam>(AWParam) + 1 : 0;
        },
        0, TDelivery::SenderThread);
    // This thread never runs its event loop: a message waiting for it would never return.
    auto Worker = std::async(std::launch::async, [&] {
        Sender = std::this_thread::get_id();
        TLParam Sum = 0;
        for (TWParam I = 0; I < 1000; ++I)
            Sum += SendMessageW(Handle, WM_WIZ_PROGRESS, I, 1000);
        return Sum;
    });
    ASSERT_EQ(Worker.wait_for(10s), std::future_status::ready) << "a message waited for the sink's thread";
    EXPECT_EQ(Worker.get(), 1000 * 1001 / 2); // every result came back
    EXPECT_EQ(Calls.load(), 1000);
    EXPECT_TRUE(OnSender.load());
    UnregisterWindow(Handle);
}

// A handler run on the sender's thread: a sink's, or the one of a window's named messages.
enum class TSenderHandler { Sink, WindowsNamedMessages };

class UnregisterWhileACallRuns : public ::testing::TestWithParam<TSenderHandler> {
protected:
    static TWindowHandle Register(QObject* AObject, TMessageHandler AHandler) {
        if (GetParam() == TSenderHandler::Sink)
            return RegisterWindow(AObject, std::move(AHandler), 0, TDelivery::SenderThread);
        return RegisterWindow(
            AObject, [](unsigned, TWParam, TLParam) -> TLParam { return -1; }, 0, TDelivery::WindowThread,
            {{WM_WIZ_PROGRESS}, std::move(AHandler)});
    }
};

INSTANTIATE_TEST_SUITE_P(SenderThreadDelivery, UnregisterWhileACallRuns,
                         ::testing::Values(TSenderHandler::Sink, TSenderHandler::WindowsNamedMessages));

TEST_P(UnregisterWhileACallRuns, UnregisterWaitsForACallRunningElsewhere) {
    auto Sink = std::make_unique<QObject>();
    std::promise<void> Entered;
    std::promise<void> Release;
    std::shared_future<void> Released = Release.get_future().share();
    std::atomic<bool> Finished{false};
    std::atomic<int> Calls{0};
    const TWindowHandle Handle = Register(Sink.get(), [&](unsigned, TWParam, TLParam) -> TLParam {
        if (++Calls == 1) {
            Entered.set_value();
            Released.wait();
            Finished = true;
        }
        return 7;
    });
    auto Worker = std::async(std::launch::async, [&] { return SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 2); });
    Entered.get_future().wait();
    std::atomic<pid_t> Ender{0};
    auto Ending = std::async(std::launch::async, [&] {
        Ender = gettid();
        UnregisterWindow(Handle);
        return Finished.load();
    });
    // Either it returns under the running call, or it goes to sleep waiting for it.
    ASSERT_TRUE(WaitUntil([&] { return Ending.wait_for(0s) == std::future_status::ready || ThreadSleeps(Ender); }))
        << "neither returned nor waited";
    EXPECT_NE(Ending.wait_for(0s), std::future_status::ready) << "the registration ended under a running call";
    Release.set_value();
    EXPECT_TRUE(Ending.get()); // it returned only after the call
    EXPECT_EQ(Worker.get(), 7);
    // Gone: nothing more is called, and the sink's owner may free what the handler used.
    EXPECT_EQ(SendMessageW(Handle, WM_WIZ_PROGRESS, 2, 2), 0);
    EXPECT_EQ(Calls.load(), 1);
    Sink.reset();
}

TEST(SenderThreadDelivery, AHandlerEndingItsOwnRegistrationDoesNotWaitForItself) {
    QObject Sink;
    TWindowHandle Handle = 0;
    std::atomic<int> Calls{0};
    Handle = RegisterWindow(
        &Sink,
        [&](unsigned, TWParam, TLParam) -> TLParam {
            ++Calls;
            UnregisterWindow(Handle);
            return 1;
        },
        0, TDelivery::SenderThread);
    auto Worker = std::async(std::launch::async, [&] {
        return SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 1) + SendMessageW(Handle, WM_WIZ_PROGRESS, 2, 1);
    });
    ASSERT_EQ(Worker.wait_for(10s), std::future_status::ready) << "the handler waited for itself";
    EXPECT_EQ(Worker.get(), 1);
    EXPECT_EQ(Calls.load(), 1);
}

TEST(SenderThreadDelivery, WindowsKeepTheirOwnThread) {
    // The default stays: a window's handler runs on the window's thread.
    QObject Window;
    std::thread::id Ran;
    const TWindowHandle Handle = RegisterWindow(&Window, [&](unsigned, TWParam, TLParam) -> TLParam {
        Ran = std::this_thread::get_id();
        return 3;
    });
    auto Worker = std::async(std::launch::async, [&] { return SendMessageW(Handle, WM_WIZ_STATUS, 0, 0); });
    // The message is handled here, in this thread's event loop.
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return Worker.wait_for(0s) == std::future_status::ready;
    })) << "the message was never handled";
    EXPECT_EQ(Worker.get(), 3);
    EXPECT_EQ(Ran, std::this_thread::get_id());
    UnregisterWindow(Handle);
}

TEST(SenderThreadDelivery, AWindowTakesTheMessagesItNamesOnTheSenderThread) {
    QObject Window;
    std::mutex Lock;
    std::vector<TWParam> Progress; // in the order handled
    bool ProgressOnSender = true;
    std::thread::id Sender, StatusRan;
    const TWindowHandle Handle = RegisterWindow(
        &Window,
        [&](unsigned AMsg, TWParam, TLParam) -> TLParam {
            StatusRan = std::this_thread::get_id();
            return AMsg == WM_WIZ_STATUS ? 3 : -1;
        },
        0, TDelivery::WindowThread,
        {{WM_WIZ_PROGRESS}, [&](unsigned AMsg, TWParam AWParam, TLParam) -> TLParam {
             const std::lock_guard Guard(Lock);
             ProgressOnSender = ProgressOnSender && std::this_thread::get_id() == Sender;
             Progress.push_back(AWParam);
             return AMsg == WM_WIZ_PROGRESS ? static_cast<TLParam>(AWParam) + 1 : -1;
         }});
    std::promise<void> ProgressSent;
    auto Worker = std::async(std::launch::async, [&] {
        Sender = std::this_thread::get_id();
        TLParam Sum = 0;
        for (TWParam I = 0; I < 1000; ++I)
            Sum += SendMessageW(Handle, WM_WIZ_PROGRESS, I, 1000);
        ProgressSent.set_value();
        // Any other message still goes to the window's thread.
        return std::pair(Sum, SendMessageW(Handle, WM_WIZ_STATUS, 1, 0));
    });
    // This thread takes no events until the progress is through.
    ASSERT_EQ(ProgressSent.get_future().wait_for(10s), std::future_status::ready)
        << "a progress message waited for the window's thread";
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return Worker.wait_for(0s) == std::future_status::ready;
    })) << "the status was never handled";
    const auto [Sum, Status] = Worker.get();
    EXPECT_EQ(Sum, 1000 * 1001 / 2);
    EXPECT_EQ(Status, 3);
    EXPECT_EQ(StatusRan, std::this_thread::get_id());
    // A named message sent on the window's own thread goes to the same handler, here.
    Sender = std::this_thread::get_id();
    EXPECT_EQ(SendMessageW(Handle, WM_WIZ_PROGRESS, 1000, 1000), 1001);
    std::vector<TWParam> Expected(1001);
    std::iota(Expected.begin(), Expected.end(), TWParam(0));
    const std::lock_guard Guard(Lock);
    EXPECT_EQ(Progress, Expected);
    EXPECT_TRUE(ProgressOnSender);
    UnregisterWindow(Handle);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
