#include "WinMessages.h"

#include "LockedWake.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// One message waiting for its window: the sender waits on it until the window's thread has
// run the handler, or the window has gone. Done is read without the lock by a sender that
// waits awake; everything else is guarded by the registry's lock.
struct TPendingCall {
    TWindowHandle Handle = 0;
    std::uint64_t Serial = 0;
    unsigned Msg = 0;
    TWParam WParam = 0;
    TLParam LParam = 0;
    TLParam Result = 0;
    std::atomic<bool> Done{false};
};
using TPendingCallRef = std::shared_ptr<TPendingCall>;

class TReceiver;
struct TThreadSlot;

// The threads running a registration's handler now, one entry a call: ending the registration
// waits until the only calls left are those of the thread ending it (it may be inside one).
struct TCallsInFlight {
    std::vector<std::thread::id> Threads;
};

struct TRegistration {
    std::shared_ptr<TMessageHandler> Handler;
    // The messages handled on the sender's thread, and their handler.
    std::vector<unsigned> SenderMessages;
    std::shared_ptr<TMessageHandler> SenderHandler;
    // The window's thread; null for a SenderThread registration, which needs none.
    std::shared_ptr<TThreadSlot> Slot;
    std::uint64_t Serial = 0;
    std::set<TPendingCallRef> Pending;
    std::shared_ptr<TCallsInFlight> Calls = std::make_shared<TCallsInFlight>();
};

struct TRegistry {
    std::mutex Lock;
    std::condition_variable CallDone;
#ifdef CORVENA_TEST_SEAMS
    // Told of every message queued for another thread (WaitForPendingMessage).
    std::condition_variable CallQueued;
#endif
    std::map<TWindowHandle, TRegistration> Windows;
    // The threads that have windows and have not ended. An entry goes when its thread ends or
    // its QThread is destroyed, so a new thread at the same address never finds it.
    // Keyed by the thread as a QObject: by the time its destroyed() comes, it is no QThread.
    std::map<const QObject*, std::shared_ptr<TThreadSlot>> Threads;
    // Serialises making a thread's receiver, which calls into Qt and so is done without Lock.
    std::mutex Making;
    // Windows that have gone had their messages dropped, never sent to the host. Handles made
    // here are known by their range (FirstHandle up to NextHandle); of the handles a window
    // brought (its window id), those that have gone are kept: as many as such windows made.
    std::set<TWindowHandle> RetiredOwn;
    THostLink HostLink;
    TWindowHandle NextHandle = FirstHandle;
    std::uint64_t NextSerial = 1;

    static constexpr TWindowHandle FirstHandle = 0x10000;
    bool Made(TWindowHandle AHandle) const { return AHandle >= FirstHandle && AHandle < NextHandle; }
    bool Retired(TWindowHandle AHandle) const { return Made(AHandle) || RetiredOwn.count(AHandle) != 0; }
};

// Never destroyed: receivers and senders may outlive every static destructor.
TRegistry& Registry() {
    static TRegistry* const Instance = new TRegistry;
    return *Instance;
}

// A round trip through a posted event and a sleeping sender costs two wake-ups, each far
// dearer than the handlers here. So while messages come one after another, both sides wait
// awake for a short while (as adaptive mutexes do) before they sleep: the sender for the
// reply, the window's thread for the next message. How long is learnt from the recent waits:
// a side whose waits are typically longer than its bound (a loaded machine, a slow worker)
// sleeps at once. The bounds keep a core from spinning after the last message, and the
// window's thread goes back to its event loop at screen rate to repaint and take input.
constexpr auto SenderSpinMax = std::chrono::microseconds(200);
constexpr auto ReceiverSpinMax = std::chrono::microseconds(500);
constexpr auto ReceiverSlice = std::chrono::milliseconds(8);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// How long one side waits awake, from a moving average of how long its waits took.
class TAdaptiveWait {
public:
    explicit TAdaptiveWait(std::chrono::nanoseconds AMax) : FMax(AMax.count()) {}

    // Zero when a wait is not worth spending a core on.
    std::chrono::nanoseconds Bound() const {
        const std::int64_t Twice = 2 * FTypical.load(std::memory_order_relaxed);
        return std::chrono::nanoseconds(Twice <= FMax ? std::max<std::int64_t>(Twice, FMax / 20) : 0);
    }
    void Took(std::chrono::nanoseconds AWait) {
        // One long pause (a busy database, a new run) must not stop the spinning for long.
        const std::int64_t Wait = std::min<std::int64_t>(AWait.count(), 4 * FMax);
        const std::int64_t Typical = FTypical.load(std::memory_order_relaxed);
        FTypical.store(Typical + (Wait - Typical) / 8, std::memory_order_relaxed);
    }

private:
    std::atomic<std::int64_t> FTypical{0};
    const std::int64_t FMax;
};

// True once AReady holds, false when ABound passed first.
template <class TReady>
bool WaitAwake(std::chrono::nanoseconds ABound, TReady AReady) {
    if (AReady())
        return true;
    if (ABound.count() <= 0)
        return false;
    const auto End = TClock::now() + ABound;
    for (;;) {
        for (int I = 0; I < 32; ++I) {
            if (AReady())
                return true;
            CpuRelax();
        }
        if (TClock::now() >= End)
            return AReady();
    }
}

// What the registry knows of one thread that has windows: the messages sent to them from other
// threads, in the order they were sent, and the receiver that delivers them there. Guarded by
// the registry's lock, except where said.
struct TThreadSlot {
    QThread* Thread = nullptr; // set before the slot is shared, never changed
    TReceiver* Receiver = nullptr;
    // The thread has ended (or its QThread went): its windows get nothing any more.
    bool Ended = false;
    // Senders posting a wake event to Receiver now, outside the lock: it is deleted only after.
    int Posting = 0;
    std::deque<TPendingCallRef> Queue;
    // Counts the calls ever queued, for a thread waiting awake to look at without the lock.
    std::atomic<std::uint64_t> Queued{0};
    // The thread is waiting awake for the queue: no wake event needed.
    bool Waiting = false;
    // A wake event is on its way.
    bool WakePosted = false;
    // How long senders wait for this thread's replies (read and written without the lock).
    TAdaptiveWait Replies{SenderSpinMax};
    // The thread's own waits for the next message, and the one under way while it sleeps.
    TAdaptiveWait Arrivals{ReceiverSpinMax};
    bool Idle = false;
    TClock::time_point IdleSince;
};
using TThreadSlotRef = std::shared_ptr<TThreadSlot>;

// Counts a handler call of a registration while it runs, on the calling thread.
class TCallScope {
public:
    // Under the registry's lock.
    explicit TCallScope(std::shared_ptr<TCallsInFlight> ACalls) : FCalls(std::move(ACalls)) {
        FCalls->Threads.push_back(std::this_thread::get_id());
    }
    ~TCallScope() {
        auto& R = Registry();
        {
            const std::lock_guard Guard(R.Lock);
            auto& Threads = FCalls->Threads;
            Threads.erase(std::find(Threads.begin(), Threads.end(), std::this_thread::get_id()));
        }
        R.CallDone.notify_all();
    }
    TCallScope(const TCallScope&) = delete;
    TCallScope& operator=(const TCallScope&) = delete;

private:
    std::shared_ptr<TCallsInFlight> FCalls;
};

// Runs ACall's handler unless its window went; with the lock held on entry and on return,
// not while the handler runs (it may send messages or run an event loop of its own, which
// delivers the messages queued meanwhile).
void Deliver(const TPendingCallRef& ACall, std::unique_lock<std::mutex>& AGuard) {
    auto& R = Registry();
    const auto Found = R.Windows.find(ACall->Handle);
    if (Found == R.Windows.end() || Found->second.Serial != ACall->Serial ||
        ACall->Done.load(std::memory_order_relaxed))
        return; // the window went; its waiting senders were released then
    Found->second.Pending.erase(ACall);
    const std::shared_ptr<TMessageHandler> Handler = Found->second.Handler;
    std::optional<TCallScope> Scope(std::in_place, Found->second.Calls);
    AGuard.unlock();
    TLParam Result = 0;
    // The sender is released whatever the handler does.
    struct TRelease {
        TPendingCall& Call;
        TLParam& Result;
        std::optional<TCallScope>& Scope;
        std::unique_lock<std::mutex>& Guard;
        ~TRelease() {
            Scope.reset();
            Guard.lock();
            Call.Result = Result;
            Call.Done.store(true, std::memory_order_release);
            Registry().CallDone.notify_all();
        }
    } Release{*ACall, Result, Scope, AGuard};
    Result = (*Handler)(ACall->Msg, ACall->WParam, ACall->LParam);
}

// Delivers on its thread the messages sent to that thread's windows from other threads.
class TReceiver : public QObject {
public:
    explicit TReceiver(TThreadSlotRef ASlot) : FSlot(std::move(ASlot)) {}

    bool event(QEvent* AEvent) override {
        auto& R = Registry();
        // A wake event was made by the sender's thread with the registry's lock taken after:
        // read it under the lock too.
        std::unique_lock Guard(R.Lock);
        if (AEvent->type() != TLockedWake::EventType()) {
            Guard.unlock();
            return QObject::event(AEvent);
        }
        TThreadSlot& Slot = *FSlot;
        Slot.WakePosted = false;
        const auto SliceEnd = TClock::now() + ReceiverSlice;
        if (Slot.Idle) {
            Slot.Idle = false;
            Slot.Arrivals.Took(TClock::now() - Slot.IdleSince);
        }
        for (;;) {
            if (Slot.Queue.empty()) {
                // Wait awake for the next message; the sender does not post while we do.
                Slot.Waiting = true;
                const std::uint64_t Seen = Slot.Queued.load(std::memory_order_relaxed);
                Guard.unlock();
                const auto Start = TClock::now();
                WaitAwake(Slot.Arrivals.Bound(), [&Slot, Seen] {
                    return Slot.Queued.load(std::memory_order_acquire) != Seen;
                });
                Guard.lock();
                Slot.Waiting = false;
                if (Slot.Queue.empty()) {
                    // Asleep until the next wake; that wait counts as one too.
                    Slot.Idle = true;
                    Slot.IdleSince = Start;
                    return true;
                }
                Slot.Arrivals.Took(TClock::now() - Start);
            }
            if (TClock::now() >= SliceEnd) {
                // Back to the event loop to repaint and take input; the queue goes on after.
                const bool Wake = NeedWake(Slot);
                Guard.unlock();
                if (Wake)
                    PostWake(FSlot);
                return true;
            }
            const TPendingCallRef Call = std::move(Slot.Queue.front());
            Slot.Queue.pop_front();
            Deliver(Call, Guard);
        }
    }

    // True when a wake event must be posted for ASlot (once the lock is released, with
    // PostWake) because its thread will not look at the queue by itself. Under the lock.
    static bool NeedWake(TThreadSlot& ASlot) {
        if (ASlot.WakePosted || ASlot.Ended)
            return false;
        ASlot.WakePosted = true;
        ++ASlot.Posting;
        return true;
    }

    // Outside the registry's lock, after NeedWake said so: the receiver lives until it is done.
    static void PostWake(const TThreadSlotRef& ASlot) {
        // Low priority like the widgets' repaint requests, so that a busy run of messages
        // still lets the repaints queued before it through first.
        QCoreApplication::postEvent(ASlot->Receiver, new TLockedWake(Registry().Lock), Qt::LowEventPriority);
        auto& R = Registry();
        {
            const std::lock_guard Guard(R.Lock);
            --ASlot->Posting;
        }
        R.CallDone.notify_all();
    }

private:
    const TThreadSlotRef FSlot;
};

// Waits (the lock held by AGuard) until the handler calls of a registration running on other
// threads have returned: the handler's owner may free what it uses once unregistered.
void WaitForCallsElsewhere(std::unique_lock<std::mutex>& AGuard, const std::shared_ptr<TCallsInFlight>& ACalls) {
    const std::thread::id Self = std::this_thread::get_id();
    Registry().CallDone.wait(AGuard, [&] {
        return std::all_of(ACalls->Threads.begin(), ACalls->Threads.end(),
                           [Self](std::thread::id AThread) { return AThread == Self; });
    });
}

// Releases the senders waiting for ACall's window. Under the lock.
void ReleaseCall(const TPendingCallRef& ACall) { ACall->Done.store(true, std::memory_order_release); }

void Unregister(TWindowHandle AHandle, std::uint64_t ASerial) {
    auto& R = Registry();
    {
        std::unique_lock Guard(R.Lock);
        const auto Found = R.Windows.find(AHandle);
        if (Found == R.Windows.end() || (ASerial != 0 && Found->second.Serial != ASerial))
            return;
        // Senders waiting for this window get 0 back.
        for (const TPendingCallRef& Call : Found->second.Pending)
            ReleaseCall(Call);
        const std::shared_ptr<TCallsInFlight> Calls = Found->second.Calls;
        R.Windows.erase(Found);
        if (!R.Made(AHandle))
            R.RetiredOwn.insert(AHandle);
        R.CallDone.notify_all();
        WaitForCallsElsewhere(Guard, Calls);
    }
    R.CallDone.notify_all();
}

// AThread has ended or is being destroyed: the messages waiting for its windows are dropped
// (their senders get 0), later ones are too, and its receiver goes. Runs on the ending thread
// (or, for a thread that has not run, wherever its end is found); safe to run again.
void ThreadEnded(const QObject* AThread) {
    auto& R = Registry();
    TReceiver* Receiver = nullptr;
    {
        std::unique_lock Guard(R.Lock);
        const auto Found = R.Threads.find(AThread);
        if (Found == R.Threads.end())
            return;
        const TThreadSlotRef Slot = Found->second;
        R.Threads.erase(Found);
        Slot->Ended = true;
        for (const TPendingCallRef& Call : Slot->Queue) {
            ReleaseCall(Call);
            if (const auto Window = R.Windows.find(Call->Handle); Window != R.Windows.end())
                Window->second.Pending.erase(Call);
        }
        Slot->Queue.clear();
        R.CallDone.notify_all();
        R.CallDone.wait(Guard, [&Slot] { return Slot->Posting == 0; });
        Receiver = std::exchange(Slot->Receiver, nullptr);
    }
    // On the thread it lives on, or one that no longer runs; its wake events go with it.
    delete Receiver;
}

// The slot of AThread, made (with its receiver) the first time one of its windows registers.
TThreadSlotRef SlotOf(QThread* AThread) {
    auto& R = Registry();
    const auto Existing = [&R, AThread]() -> TThreadSlotRef {
        const std::lock_guard Guard(R.Lock);
        const auto Found = R.Threads.find(AThread);
        return Found != R.Threads.end() ? Found->second : nullptr;
    };
    if (TThreadSlotRef Slot = Existing())
        return Slot;
    const std::lock_guard Making(R.Making);
    if (TThreadSlotRef Slot = Existing())
        return Slot;
    auto Slot = std::make_shared<TThreadSlot>();
    Slot->Thread = AThread;
    if (AThread == nullptr) {
        // A window whose thread object has gone already: nothing can be delivered there.
        Slot->Ended = true;
        return Slot;
    }
    // Qt delivers the move synchronously to the receiver: the registry's lock is not held.
    auto* Receiver = new TReceiver(Slot);
    Receiver->moveToThread(AThread);
    {
        const std::lock_guard Guard(R.Lock);
        Slot->Receiver = Receiver;
        R.Threads[AThread] = Slot;
    }
    // Direct calls, on the ending thread; they go with the receiver. (Without a context object
    // the thread would be its own receiver, which keeps a thread Qt adopted from ever being
    // freed.) They capture nothing: Qt hands a connection over between threads through locks the
    // thread sanitizer does not see.
    QObject::connect(AThread, &QThread::finished, Receiver, [] { ThreadEnded(QThread::currentThread()); },
                     Qt::DirectConnection);
    QObject::connect(AThread, &QObject::destroyed, Receiver, [](QObject* AObject) { ThreadEnded(AObject); },
                     Qt::DirectConnection);
    // Ended before the connections were made: they will not be called.
    if (AThread->isFinished())
        ThreadEnded(AThread);
    return Slot;
}

// The thread calling, found once per thread.
QThread* CurrentThread() {
    thread_local QThread* const Current = QThread::currentThread();
    return Current;
}

} // namespace

TWindowHandle RegisterWindow(QObject* AWindow, TMessageHandler AHandler, TWindowHandle AHandle,
                             TDelivery ADelivery, TSenderThreadMessages AOnSenderThread) {
    auto& R = Registry();
    const TThreadSlotRef Slot = ADelivery == TDelivery::WindowThread ? SlotOf(AWindow->thread()) : nullptr;
    TWindowHandle Handle = AHandle;
    std::uint64_t Serial = 0;
    bool Replaced = false;
    {
        const std::lock_guard Guard(R.Lock);
        if (Handle == 0) {
            while (R.Windows.count(R.NextHandle) != 0)
                ++R.NextHandle;
            Handle = R.NextHandle++;
        }
        const auto Found = R.Windows.find(Handle);
        if (Found != R.Windows.end()) {
            for (const TPendingCallRef& Call : Found->second.Pending)
                ReleaseCall(Call);
            Replaced = true;
            R.Windows.erase(Found);
        }
        R.RetiredOwn.erase(Handle);
        Serial = R.NextSerial++;
        TRegistration& Window = R.Windows[Handle];
        Window.Handler = std::make_shared<TMessageHandler>(std::move(AHandler));
        if (AOnSenderThread.Handler) {
            Window.SenderMessages = std::move(AOnSenderThread.Messages);
            Window.SenderHandler = std::make_shared<TMessageHandler>(std::move(AOnSenderThread.Handler));
        }
        Window.Slot = Slot;
        Window.Serial = Serial;
    }
    if (Replaced)
        R.CallDone.notify_all();
    // Only this registration ends with this window, not a later one under the same handle.
    QObject::connect(AWindow, &QObject::destroyed, [Handle, Serial] { Unregister(Handle, Serial); });
    return Handle;
}

void UnregisterWindow(TWindowHandle AHandle) { Unregister(AHandle, 0); }

bool IsLocalWindow(TWindowHandle AHandle) {
    auto& R = Registry();
    const std::lock_guard Guard(R.Lock);
    return R.Windows.count(AHandle) != 0;
}

#ifdef CORVENA_TEST_SEAMS
// Lets a test act between a send and its handling (declared in the tests' MessageSeams.h).
bool WaitForPendingMessage(TWindowHandle AHandle, std::chrono::milliseconds ATimeout) {
    auto& R = Registry();
    std::unique_lock Guard(R.Lock);
    return R.CallQueued.wait_for(Guard, ATimeout, [&R, AHandle] {
        const auto Found = R.Windows.find(AHandle);
        return Found != R.Windows.end() && !Found->second.Pending.empty();
    });
}
#endif

void SetHostLink(THostLink ALink) {
    auto& R = Registry();
    const std::lock_guard Guard(R.Lock);
    R.HostLink = std::move(ALink);
}

namespace {

// A message to a handle no window of this process has: dropped when one had it, else the host's.
TLParam SendOutside(std::unique_lock<std::mutex>& AGuard, TWindowHandle AHandle, unsigned AMsg, TWParam AWParam,
                    TLParam ALParam) {
    auto& R = Registry();
    if (R.Retired(AHandle))
        return 0;
    const THostLink HostLink = R.HostLink;
    AGuard.unlock();
    return HostLink ? HostLink(AHandle, AMsg, AWParam, ALParam) : 0;
}

// Queues the message for the window's thread and waits, awake for a short while and then
// asleep, until it has been handled or dropped. Entered with the lock held; returns without.
TLParam QueueAndWait(std::unique_lock<std::mutex>& AGuard, TWindowHandle AHandle, TRegistration& AWindow,
                     const TThreadSlotRef& ASlot, unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    auto& R = Registry();
    auto Call = std::make_shared<TPendingCall>();
    Call->Handle = AHandle;
    Call->Serial = AWindow.Serial;
    Call->Msg = AMsg;
    Call->WParam = AWParam;
    Call->LParam = ALParam;
    AWindow.Pending.insert(Call);
    ASlot->Queue.push_back(Call);
    ASlot->Queued.fetch_add(1, std::memory_order_release);
    const bool Wake = !ASlot->Waiting && TReceiver::NeedWake(*ASlot);
#ifdef CORVENA_TEST_SEAMS
    R.CallQueued.notify_all();
#endif
    AGuard.unlock();
    if (Wake)
        TReceiver::PostWake(ASlot);
    const auto Start = TClock::now();
    if (!WaitAwake(ASlot->Replies.Bound(), [&Call] { return Call->Done.load(std::memory_order_acquire); })) {
        AGuard.lock();
        R.CallDone.wait(AGuard, [&Call] { return Call->Done.load(std::memory_order_relaxed); });
        AGuard.unlock();
    }
    ASlot->Replies.Took(TClock::now() - Start);
    // Written before Done under the lock; the acquire above or the lock orders the read.
    return Call->Result;
}

} // namespace

TLParam SendMessageW(TWindowHandle AHandle, unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    if (AHandle == 0)
        return 0;
    QThread* const Current = CurrentThread();
    auto& R = Registry();
    std::unique_lock Guard(R.Lock);
    const auto Found = R.Windows.find(AHandle);
    if (Found == R.Windows.end())
        return SendOutside(Guard, AHandle, AMsg, AWParam, ALParam);
    TRegistration& Window = Found->second;
    const TThreadSlotRef Slot = Window.Slot;
    if (Slot && Slot->Ended)
        return 0; // the window's thread has ended: nothing will handle it
    // A SenderThread handler, a message the window takes on the sender's thread, or a window of
    // this very thread (which can only go on this thread, so it is alive for the call): a direct
    // call, counted while it runs so that ending the registration elsewhere waits for it.
    const bool OnSender = Window.SenderHandler &&
                          std::find(Window.SenderMessages.begin(), Window.SenderMessages.end(), AMsg) !=
                              Window.SenderMessages.end();
    if (!Slot || OnSender || Slot->Thread == Current) {
        const std::shared_ptr<TMessageHandler> Handler = OnSender ? Window.SenderHandler : Window.Handler;
        const TCallScope Scope(Window.Calls);
        Guard.unlock();
        return (*Handler)(AMsg, AWParam, ALParam);
    }
    return QueueAndWait(Guard, AHandle, Window, Slot, AMsg, AWParam, ALParam);
}
