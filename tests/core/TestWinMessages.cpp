#include "CommandLine.h"
#include "MessageSeams.h"
#include "ThreadState.h"

#include <QObject>
#include <QThread>
#include <QtTest>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

class TestWinMessages : public QObject {
    Q_OBJECT
private slots:
    void HostHandle_data();
    void HostHandle();
    void HandleZeroSendsNothing();
    void SameThreadIsADirectCall();
    void OtherThreadWaitsUntilHandledOnTheWindowsThread();
    void WindowDestroyedWhileAWorkerWaitsReleasesIt();
    void UnknownHandleGoesToTheHostLink();
    void GoneWindowsMessagesNeverReachTheHost();
    void WindowsComingAndGoingUnderAWorkersSends();
    void ReRegisteredHandleReleasesTheOldWindowsSenders();
    void SeveralWorkersEachInOrderNoneLost();
    void HandlersEventLoopDeliversAnotherWorkersMessage();
    void EventLoopRunsDuringAStreamOfMessages();
    void NoCoreBusyAfterTheLastMessage();
    void WindowOfAnotherThread_data();
    void WindowOfAnotherThread();
    void ThreadEndingReleasesItsWindowsSenders_data();
    void ThreadEndingReleasesItsWindowsSenders();
    void NewThreadWhereAnEndedOneWas();
    void UnregisterFromAnotherThreadWaitsForTheHandler();
};

namespace {

// A window whose handler checks that it is called on a live object of its own thread.
class TProbeWindow : public QObject {
public:
    static constexpr std::uint32_t AliveMark = 0xA11FE;
    ~TProbeWindow() override { Mark = 0; }
    TLParam Handle(unsigned AMsg) {
        if (Mark != AliveMark || thread() != QThread::currentThread())
            std::abort();
        ++Calls;
        return AMsg == WM_WIZ_PROGRESS ? 1 : 0;
    }
    volatile std::uint32_t Mark = AliveMark;
    int Calls = 0;
};

int StressRounds() {
    bool Ok = false;
    const int Rounds = qEnvironmentVariableIntValue("CORVENA_STRESS_ROUNDS", &Ok);
    return Ok && Rounds > 0 ? Rounds : 20000;
}

// CPU time of the calling thread.
double ThreadCpuSeconds() {
    rusage Usage{};
    getrusage(RUSAGE_THREAD, &Usage);
    const auto Seconds = [](const timeval& ATime) {
        return static_cast<double>(ATime.tv_sec) + static_cast<double>(ATime.tv_usec) / 1e6;
    };
    return Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
}

// Runs the event loop until ADone holds or five seconds passed.
bool LoopUntil(const std::function<bool()>& ADone) {
    QElapsedTimer Clock;
    Clock.start();
    while (!ADone() && Clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return ADone();
}

// Runs AWork here under a watchdog. A deadlock must fail the test within the bound, not hang
// it: a thread stuck in the registry cannot be taken back, so the whole program ends.
void MustFinish(const char* AWhat, const std::function<void()>& AWork,
                std::chrono::seconds ABound = std::chrono::seconds(10)) {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Done = false;
    std::thread Watchdog([&] {
        std::unique_lock Guard(Lock);
        if (!Changed.wait_for(Guard, ABound, [&] { return Done; }))
            qFatal("%s did not return within %lld s", AWhat, static_cast<long long>(ABound.count()));
    });
    AWork();
    {
        std::lock_guard Guard(Lock);
        Done = true;
    }
    Changed.notify_all();
    Watchdog.join();
}

// The same on a thread of its own.
void MustFinishElsewhere(const char* AWhat, const std::function<void()>& AWork) {
    MustFinish(AWhat, [&AWork] { std::thread(AWork).join(); });
}

// A thread that makes a window for itself and, when asked, registers it itself; then it runs
// its event loop (or, without one, waits for a message to its window and ends). What it hands
// over goes through a lock of ours, which the thread sanitizer sees.
class TWindowThread : public QThread {
public:
    enum class TMode { RegisterHere, RegisterElsewhere, EndWithoutALoop };
    explicit TWindowThread(TMode AMode) : FMode(AMode) {}
    ~TWindowThread() override {
        quit();
        wait();
        // A window outliving its thread goes here; handed over under the lock.
        const std::lock_guard Guard(FLock);
        delete FLeftWindow;
    }

    // The window, once made, and its handle (0 until registered).
    TProbeWindow* Window() {
        std::unique_lock Guard(FLock);
        FReady.wait(Guard, [this] { return FWindow != nullptr; });
        return FWindow;
    }
    TWindowHandle Handle() {
        std::unique_lock Guard(FLock);
        FReady.wait(Guard, [this] { return FHandle != 0; });
        return FHandle;
    }
    void SetHandle(TWindowHandle AHandle) {
        std::lock_guard Guard(FLock);
        FHandle = AHandle;
        FReady.notify_all();
    }
    int Calls() {
        std::lock_guard Guard(FLock);
        return FCalls;
    }

protected:
    void run() override {
        auto* Made = new TProbeWindow;
        {
            std::lock_guard Guard(FLock);
            FWindow = Made;
            FReady.notify_all();
        }
        if (FMode != TMode::RegisterElsewhere)
            SetHandle(RegisterWindow(Made, [this, Made](unsigned AMsg, TWParam, TLParam) {
                std::lock_guard Guard(FLock);
                ++FCalls;
                return Made->Handle(AMsg);
            }));
        if (FMode == TMode::EndWithoutALoop) {
            // The window stays; its thread ends with a message waiting for it.
            WaitForPendingMessage(Handle(), std::chrono::seconds(10));
            std::lock_guard Guard(FLock);
            FLeftWindow = Made;
            return;
        }
        exec();
        delete Made;
    }

private:
    const TMode FMode;
    std::mutex FLock;
    std::condition_variable FReady;
    TProbeWindow* FWindow = nullptr;
    TProbeWindow* FLeftWindow = nullptr;
    TWindowHandle FHandle = 0;
    int FCalls = 0;
};

} // namespace

void TestWinMessages::HostHandle_data() {
    QTest::addColumn<QStringList>("Arguments");
    QTest::addColumn<qulonglong>("Handle");
    const QString P = "corvena";
    QTest::addRow("/i decimal") << QStringList{P, "/i", "1234"} << 1234ULL;
    QTest::addRow("/e decimal") << QStringList{P, "/e", "1234"} << 1234ULL;
    QTest::addRow("/I not recognised") << QStringList{P, "/I", "1234"} << 0ULL;
    QTest::addRow("/E not recognised") << QStringList{P, "/E", "1234"} << 0ULL;
    QTest::addRow("other first argument") << QStringList{P, "-i", "1234"} << 0ULL;
    QTest::addRow("$ hexadecimal") << QStringList{P, "/i", "$4D2"} << 1234ULL;
    QTest::addRow("0x hexadecimal") << QStringList{P, "/i", "0x4d2"} << 1234ULL;
    QTest::addRow("0X hexadecimal") << QStringList{P, "/i", "0X4D2"} << 1234ULL;
    QTest::addRow("plus sign") << QStringList{P, "/i", "+1234"} << 1234ULL;
    QTest::addRow("minus sign keeps low bits") << QStringList{P, "/i", "-1"} << 0xFFFFFFFFULL;
    QTest::addRow("above 32 bits keeps low bits") << QStringList{P, "/i", "4294968530"} << 1234ULL;
    QTest::addRow("64-bit hexadecimal") << QStringList{P, "/i", "$FFFFFFFF000004D2"} << 1234ULL;
    QTest::addRow("above 64 bits") << QStringList{P, "/i", "99999999999999999999"} << 0ULL;
    QTest::addRow("missing") << QStringList{P, "/i"} << 0ULL;
    QTest::addRow("empty") << QStringList{P, "/i", ""} << 0ULL;
    QTest::addRow("not a number") << QStringList{P, "/i", "xyz"} << 0ULL;
    QTest::addRow("trailing letters") << QStringList{P, "/i", "12ab"} << 0ULL;
    QTest::addRow("prefix only") << QStringList{P, "/i", "$"} << 0ULL;
    QTest::addRow("no arguments") << QStringList{P} << 0ULL;
}

void TestWinMessages::HostHandle() {
    QFETCH(QStringList, Arguments);
    QFETCH(qulonglong, Handle);
    QCOMPARE(static_cast<qulonglong>(HostHandleFromArguments(Arguments)), Handle);
}

void TestWinMessages::HandleZeroSendsNothing() {
    int Calls = 0;
    SetHostLink([&Calls](TWindowHandle, unsigned, TWParam, TLParam) -> TLParam { return ++Calls; });
    QCOMPARE(SendMessageW(0, WM_WIZ_INDEXED, 0, 0), TLParam(0));
    QCOMPARE(Calls, 0);
    SetHostLink({});
}

void TestWinMessages::SameThreadIsADirectCall() {
    QObject Window;
    std::vector<unsigned> Seen;
    const TWindowHandle Handle = RegisterWindow(&Window, [&Seen](unsigned AMsg, TWParam, TLParam) -> TLParam {
        Seen.push_back(AMsg);
        return 42;
    });
    QCOMPARE(SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 2), TLParam(42));
    QCOMPARE(Seen, std::vector<unsigned>{WM_WIZ_PROGRESS});
}

void TestWinMessages::OtherThreadWaitsUntilHandledOnTheWindowsThread() {
    QObject Window;
    QThread* HandledOn = nullptr;
    QString Text;
    const TWindowHandle Handle =
        RegisterWindow(&Window, [&](unsigned, TWParam, TLParam ALParam) -> TLParam {
            HandledOn = QThread::currentThread();
            Text = QString::fromUtf16(reinterpret_cast<const char16_t*>(ALParam));
            return 7;
        });
    std::atomic<TLParam> Result{-1};
    std::unique_ptr<QThread> Worker(QThread::create([&] {
        // The text lives on the worker's stack: valid only while the message is handled.
        const std::u16string Status = u"正在索引歌曲...";
        Result = SendMessageW(Handle, WM_WIZ_STATUS, 1, reinterpret_cast<TLParam>(Status.c_str()));
    }));
    Worker->start();
    QTRY_COMPARE(Result.load(), TLParam(7));
    QVERIFY(Worker->wait(5000));
    QCOMPARE(HandledOn, QThread::currentThread());
    QCOMPARE(Text, QString("正在索引歌曲..."));
}

void TestWinMessages::WindowDestroyedWhileAWorkerWaitsReleasesIt() {
    auto* Window = new QObject;
    int Calls = 0;
    const TWindowHandle Handle = RegisterWindow(Window, [&Calls](unsigned, TWParam, TLParam) -> TLParam {
        return ++Calls;
    });
    std::atomic<bool> Returned{false};
    std::unique_ptr<QThread> Worker(QThread::create([&] {
        SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0);
        Returned = true;
    }));
    Worker->start();
    QVERIFY(WaitForPendingMessage(Handle, std::chrono::seconds(5))); // queued, not yet handled
    delete Window; // no event was processed in between
    QVERIFY(Worker->wait(5000));
    QVERIFY(Returned);
    QCOMPARE(Calls, 0);
    QCOMPARE(SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0), TLParam(0));
}

void TestWinMessages::UnknownHandleGoesToTheHostLink() {
    std::vector<std::pair<TWindowHandle, unsigned>> Seen;
    SetHostLink([&Seen](TWindowHandle AHandle, unsigned AMsg, TWParam, TLParam) -> TLParam {
        Seen.emplace_back(AHandle, AMsg);
        return 1;
    });
    QCOMPARE(SendMessageW(1234, WM_WIZ_INDEXED, 0, 0), TLParam(1));
    SetHostLink({});
    QCOMPARE(SendMessageW(1234, WM_WIZ_INDEXED, 0, 0), TLParam(0));
    QCOMPARE(Seen.size(), std::size_t(1));
    QCOMPARE(Seen[0].first, TWindowHandle(1234));
    QCOMPARE(Seen[0].second, WM_WIZ_INDEXED);
}

// A worker still sending status texts after the window went must not hand their pointers to
// the host link.
void TestWinMessages::GoneWindowsMessagesNeverReachTheHost() {
    int HostCalls = 0;
    SetHostLink([&HostCalls](TWindowHandle, unsigned, TWParam, TLParam) -> TLParam { return ++HostCalls; });
    // A handle made here, and one the window brought (as the wizard brings its window id).
    for (const TWindowHandle Own : {TWindowHandle(0), TWindowHandle(0x5A5A5A5)}) {
        auto* Window = new QObject;
        const TWindowHandle Handle =
            RegisterWindow(Window, [](unsigned, TWParam, TLParam) -> TLParam { return 5; }, Own);
        QVERIFY(IsLocalWindow(Handle));
        QCOMPARE(SendMessageW(Handle, WM_WIZ_STATUS, 1, 0), TLParam(5));
        delete Window;
        QVERIFY(!IsLocalWindow(Handle));
        QCOMPARE(SendMessageW(Handle, WM_WIZ_STATUS, 1, 0), TLParam(0));
    }
    QCOMPARE(HostCalls, 0);
    // A handle that was never a window here is the host's.
    QCOMPARE(SendMessageW(0x5A5A5A6, WM_WIZ_STATUS, 1, 0), TLParam(1));
    SetHostLink({});
}

// Closing the wizard during indexing: the window goes (and a new one may take its handle)
// while a worker keeps sending. Every send must return, and no handler may run on a window
// that has gone.
void TestWinMessages::WindowsComingAndGoingUnderAWorkersSends() {
    constexpr TWindowHandle Handle = 0x7777;
    std::atomic<bool> Stop{false};
    std::atomic<long> Sent{0}, Handled{0};
    // A plain thread: its join is a happens-before edge the thread sanitizer sees.
    std::thread Worker([&] {
        while (!Stop) {
            if (SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0) == 1)
                ++Handled;
            ++Sent;
        }
    });
    const int Rounds = StressRounds();
    for (int Round = 0; Round < Rounds; ++Round) {
        auto* Window = new TProbeWindow;
        RegisterWindow(
            Window, [Window](unsigned AMsg, TWParam, TLParam) { return Window->Handle(AMsg); }, Handle);
        if (Round % 2 == 0)
            QCoreApplication::processEvents();
        delete Window;
        if (Round % 7 == 0)
            QCoreApplication::processEvents(); // calls posted to a gone window's receiver
    }
    Stop = true;
    Worker.join();
    QVERIFY(Sent > 0);
    qInfo("%d rounds, %ld sends, %ld handled", Rounds, Sent.load(), Handled.load());
    QCOMPARE(SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0), TLParam(0));
}

void TestWinMessages::ReRegisteredHandleReleasesTheOldWindowsSenders() {
    constexpr TWindowHandle Handle = 0x7778;
    TProbeWindow First, Second;
    RegisterWindow(&First, [&First](unsigned AMsg, TWParam, TLParam) { return First.Handle(AMsg); }, Handle);
    std::atomic<TLParam> Result{-1};
    std::unique_ptr<QThread> Worker(QThread::create([&] {
        Result = SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0);
    }));
    Worker->start();
    QVERIFY(WaitForPendingMessage(Handle, std::chrono::seconds(5)));
    // The handle passes to another window before the first one handled the message.
    RegisterWindow(&Second, [&Second](unsigned AMsg, TWParam, TLParam) { return Second.Handle(AMsg); },
                   Handle);
    QVERIFY(Worker->wait(5000));
    QCOMPARE(Result.load(), TLParam(0));
    QCoreApplication::processEvents();
    QCOMPARE(First.Calls, 0);
    QCOMPARE(SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0), TLParam(1));
    QCOMPARE(Second.Calls, 1);
    UnregisterWindow(Handle);
}

// Workers sending at the same time share the window thread's queue: each one's messages
// arrive in its order, every one exactly once, each reply its own.
void TestWinMessages::SeveralWorkersEachInOrderNoneLost() {
    constexpr int Workers = 3;
    constexpr int PerWorker = 3000;
    QObject Window;
    std::vector<TWParam> Last(Workers, 0);
    int Handled = 0;
    bool InOrder = true;
    const TWindowHandle Handle =
        RegisterWindow(&Window, [&](unsigned, TWParam AWParam, TLParam ALParam) -> TLParam {
            InOrder = InOrder && AWParam == Last[static_cast<std::size_t>(ALParam)] + 1;
            Last[static_cast<std::size_t>(ALParam)] = AWParam;
            ++Handled;
            return static_cast<TLParam>(AWParam) * 10 + ALParam;
        });
    std::atomic<int> WrongReplies{0}, Finished{0};
    std::vector<std::thread> Threads;
    for (int Worker = 0; Worker < Workers; ++Worker)
        Threads.emplace_back([&, Worker] {
            for (TWParam I = 1; I <= PerWorker; ++I)
                if (SendMessageW(Handle, WM_WIZ_PROGRESS, I, Worker) != static_cast<TLParam>(I) * 10 + Worker)
                    ++WrongReplies;
            ++Finished;
        });
    QVERIFY(LoopUntil([&] { return Finished == Workers; }));
    for (std::thread& Thread : Threads)
        Thread.join();
    QVERIFY(InOrder);
    QCOMPARE(Handled, Workers * PerWorker);
    QCOMPARE(WrongReplies.load(), 0);
}

// A handler may run an event loop of its own (a message box, say); a message another worker
// sends meanwhile is delivered inside it, as a posted event would be.
void TestWinMessages::HandlersEventLoopDeliversAnotherWorkersMessage() {
    QObject Window;
    std::atomic<bool> FirstStarted{false};
    bool SecondHandled = false;
    bool SecondInsideFirst = false;
    const TWindowHandle Handle = RegisterWindow(&Window, [&](unsigned, TWParam AWParam, TLParam) -> TLParam {
        if (AWParam == 1) {
            FirstStarted = true;
            QEventLoop Loop;
            QTimer Poll;
            QObject::connect(&Poll, &QTimer::timeout, &Loop, [&] {
                if (SecondHandled)
                    Loop.quit();
            });
            QTimer::singleShot(5000, &Loop, &QEventLoop::quit);
            Poll.start(1);
            Loop.exec();
            SecondInsideFirst = SecondHandled;
        } else {
            SecondHandled = true;
        }
        return 0;
    });
    std::thread First([&] { SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0); });
    std::thread Second([&] {
        while (!FirstStarted)
            std::this_thread::yield();
        SendMessageW(Handle, WM_WIZ_PROGRESS, 2, 0);
    });
    QVERIFY(LoopUntil([&] { return SecondHandled; }));
    First.join();
    Second.join();
    QVERIFY(SecondInsideFirst);
}

// A worker that sends without pause must not hold the window's thread: its timers (and so its
// repaints and input) still get their turn.
void TestWinMessages::EventLoopRunsDuringAStreamOfMessages() {
    QObject Window;
    std::atomic<long> Handled{0};
    const TWindowHandle Handle = RegisterWindow(&Window, [&Handled](unsigned, TWParam, TLParam) -> TLParam {
        ++Handled;
        return 0;
    });
    std::atomic<bool> Stop{false}, Stopped{false};
    std::thread Worker([&] {
        while (!Stop)
            SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0);
        Stopped = true;
    });
    QVERIFY(LoopUntil([&] { return Handled > 100; }));
    int Ticks = 0;
    QTimer Tick;
    QObject::connect(&Tick, &QTimer::timeout, [&Ticks] { ++Ticks; });
    Tick.start(10);
    QElapsedTimer Clock;
    Clock.start();
    QEventLoop Loop;
    QTimer::singleShot(300, &Loop, &QEventLoop::quit);
    Loop.exec();
    const qint64 Elapsed = Clock.elapsed();
    const long During = Handled;
    Stop = true;
    QVERIFY(LoopUntil([&] { return Stopped.load(); })); // handles a send under way
    Worker.join();
    qInfo("%d ticks of 10 ms in %lld ms, %ld messages", Ticks, static_cast<long long>(Elapsed), During);
    QVERIFY2(Ticks >= 5, qPrintable(QString::number(Ticks)));
}

// Waiting awake is bounded: once the messages stop, the window's thread sleeps in its event
// loop and the worker's thread in its send.
void TestWinMessages::NoCoreBusyAfterTheLastMessage() {
    QObject Window;
    std::atomic<long> Handled{0};
    const TWindowHandle Handle = RegisterWindow(&Window, [&Handled](unsigned, TWParam, TLParam) -> TLParam {
        ++Handled;
        return 0;
    });
    std::atomic<bool> Stop{false}, Stopped{false};
    std::thread Worker([&] {
        while (!Stop)
            SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0);
        Stopped = true;
    });
    QVERIFY(LoopUntil([&] { return Handled > 2000; }));
    Stop = true;
    QVERIFY(LoopUntil([&] { return Stopped.load(); }));
    Worker.join();
    // The last message was handled; from here on nothing is sent.
    const double Before = ThreadCpuSeconds();
    QElapsedTimer Clock;
    Clock.start();
    QEventLoop Loop;
    QTimer::singleShot(300, &Loop, &QEventLoop::quit);
    Loop.exec();
    const double Used = ThreadCpuSeconds() - Before;
    qInfo("%.1f ms of CPU in %lld ms after the last message", Used * 1000,
          static_cast<long long>(Clock.elapsed()));
    QVERIFY2(Used < 0.05, qPrintable(QString::number(Used)));
}

void TestWinMessages::WindowOfAnotherThread_data() {
    QTest::addColumn<bool>("FromAThirdThread");
    QTest::addRow("registered from the main thread") << false;
    QTest::addRow("registered from a third thread") << true;
}

// A window living on a worker thread, registered from elsewhere: registering returns, and
// messages from any thread are handled on the window's own thread.
void TestWinMessages::WindowOfAnotherThread() {
    QFETCH(bool, FromAThirdThread);
    TWindowThread Thread(TWindowThread::TMode::RegisterElsewhere);
    Thread.start();
    TProbeWindow* Window = Thread.Window();
    // Counted here, not in the window, which its thread deletes when it ends.
    std::atomic<int> Calls{0};
    const auto Register = [&] {
        Thread.SetHandle(RegisterWindow(Window, [Window, &Calls](unsigned AMsg, TWParam, TLParam) {
            ++Calls;
            return Window->Handle(AMsg);
        }));
    };
    if (FromAThirdThread)
        MustFinishElsewhere("RegisterWindow on a third thread", Register);
    else
        MustFinish("RegisterWindow on the main thread", Register);
    const TWindowHandle Handle = Thread.Handle();
    TLParam FromMain = -1;
    std::atomic<TLParam> FromWorker{-1};
    MustFinishElsewhere("a send from a worker", [&] { FromWorker = SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0); });
    MustFinish("a send from the main thread", [&] { FromMain = SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0); });
    QCOMPARE(FromWorker.load(), TLParam(1));
    QCOMPARE(FromMain, TLParam(1));
    QCOMPARE(Calls.load(), 2);
    Thread.quit();
    QVERIFY(Thread.wait(10000));
    QCOMPARE(SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0), TLParam(0)); // gone with its thread
}

// A window's thread ends (no event loop any more) while a sender waits for it: the sender gets
// 0 back, and later messages to that window return at once.
void TestWinMessages::ThreadEndingReleasesItsWindowsSenders_data() {
    QTest::addColumn<bool>("Plain");
    QTest::addRow("a QThread") << false;
    QTest::addRow("a plain thread Qt adopted") << true;
}

void TestWinMessages::ThreadEndingReleasesItsWindowsSenders() {
    QFETCH(bool, Plain);
    std::unique_ptr<TWindowThread> Thread;
    // The plain thread's window, and what it hands over: through a lock of ours.
    std::mutex Lock;
    std::condition_variable Ready;
    TWindowHandle PlainHandle = 0;
    std::unique_ptr<QObject> PlainWindow;
    std::atomic<int> PlainCalls{0};
    std::thread PlainThread;
    TWindowHandle Handle = 0;
    if (Plain) {
        PlainThread = std::thread([&] {
            auto* Window = new QObject; // on this thread, which Qt adopts
            const TWindowHandle Mine = RegisterWindow(Window, [&PlainCalls](unsigned, TWParam, TLParam) -> TLParam {
                return ++PlainCalls;
            });
            {
                std::lock_guard Guard(Lock);
                PlainHandle = Mine;
                Ready.notify_all();
            }
            WaitForPendingMessage(Mine, std::chrono::seconds(10));
            std::lock_guard Guard(Lock);
            PlainWindow.reset(Window); // outlives its thread
        });
        std::unique_lock Guard(Lock);
        Ready.wait(Guard, [&] { return PlainHandle != 0; });
        Handle = PlainHandle;
    } else {
        Thread = std::make_unique<TWindowThread>(TWindowThread::TMode::EndWithoutALoop);
        Thread->start();
        Handle = Thread->Handle();
    }
    std::atomic<TLParam> Result{-1};
    MustFinishElsewhere("a send to a window whose thread ended", [&] { Result = SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0); });
    QCOMPARE(Result.load(), TLParam(0));
    if (Plain)
        PlainThread.join();
    else
        QVERIFY(Thread->wait(10000));
    MustFinishElsewhere("a send after the thread ended", [&] { Result = SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0); });
    QCOMPARE(Result.load(), TLParam(0));
    QCOMPARE(Plain ? PlainCalls.load() : Thread->Calls(), 0);
    PlainWindow.reset();
}

// A new thread object where an ended one was (the allocator gives addresses back) must not
// inherit anything of the old thread: its windows get their messages.
void TestWinMessages::NewThreadWhereAnEndedOneWas() {
    alignas(TWindowThread) unsigned char Place[sizeof(TWindowThread)];
    for (int Round = 0; Round < 3; ++Round) {
        auto* Thread = new (Place) TWindowThread(TWindowThread::TMode::RegisterHere);
        Thread->start();
        const TWindowHandle Handle = Thread->Handle();
        std::atomic<TLParam> Result{-1};
        MustFinishElsewhere("a send to a window of a thread at a former thread's address",
                   [&] { Result = SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0); });
        QCOMPARE(Result.load(), TLParam(1));
        QCOMPARE(Thread->Calls(), 1);
        Thread->~TWindowThread();
    }
}

// Ending a registration from a thread other than the window's waits for a handler call under
// way there: the caller may then free what the handler uses.
void TestWinMessages::UnregisterFromAnotherThreadWaitsForTheHandler() {
    TWindowThread Thread(TWindowThread::TMode::RegisterElsewhere);
    Thread.start();
    std::promise<void> Entered;
    std::promise<void> Release;
    std::shared_future<void> Released = Release.get_future().share();
    std::atomic<bool> HandlerDone{false};
    const TWindowHandle Handle = RegisterWindow(Thread.Window(), [&](unsigned, TWParam, TLParam) -> TLParam {
        Entered.set_value();
        Released.wait();
        HandlerDone = true;
        return 1;
    });
    std::thread Sender([&] { SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0); });
    Entered.get_future().wait();
    std::atomic<bool> Returned{false}, DoneAtReturn{false};
    std::atomic<pid_t> EnderId{0};
    std::thread Ender([&] {
        EnderId = gettid();
        UnregisterWindow(Handle);
        DoneAtReturn = HandlerDone.load();
        Returned = true;
    });
    // Either it returns under the running handler, or it goes to sleep waiting for it.
    QTRY_VERIFY_WITH_TIMEOUT(Returned || ThreadSleeps(EnderId), 10000);
    QVERIFY2(!Returned, "the registration ended under a running handler");
    Release.set_value();
    Sender.join();
    Ender.join();
    QVERIFY(DoneAtReturn);
    QCOMPARE(SendMessageW(Handle, WM_WIZ_PROGRESS, 1, 0), TLParam(0));
}

QTEST_GUILESS_MAIN(TestWinMessages)
#include "TestWinMessages.moc"
