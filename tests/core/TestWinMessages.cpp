#include "CommandLine.h"
#include "WinMessages.h"

#include <QObject>
#include <QThread>
#include <QtTest>

#include <sys/resource.h>

#include <atomic>
#include <memory>
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
    auto* Window = new QObject;
    const TWindowHandle Handle = RegisterWindow(Window, [](unsigned, TWParam, TLParam) -> TLParam { return 5; });
    QVERIFY(IsLocalWindow(Handle));
    QCOMPARE(SendMessageW(Handle, WM_WIZ_STATUS, 1, 0), TLParam(5));
    delete Window;
    QVERIFY(!IsLocalWindow(Handle));
    QCOMPARE(SendMessageW(Handle, WM_WIZ_STATUS, 1, 0), TLParam(0));
    QCOMPARE(HostCalls, 0);
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

QTEST_GUILESS_MAIN(TestWinMessages)
#include "TestWinMessages.moc"
