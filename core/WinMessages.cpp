#include "WinMessages.h"

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
#include <set>

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
    bool Started = false;
    TLParam Result = 0;
    std::atomic<bool> Done{false};
};
using TPendingCallRef = std::shared_ptr<TPendingCall>;

class TReceiver;

// Calls of a SenderThread handler running now: its registration ends only once they are over.
struct TDirectCalls {
    int Running = 0;
};

// The registration whose SenderThread handler this thread is running, if any: a handler that
// unregisters its own window must not wait for itself.
thread_local const TDirectCalls* CurrentDirect = nullptr;

struct TRegistration {
    QThread* Thread = nullptr;
    std::shared_ptr<TMessageHandler> Handler;
    // The receiver of the window's thread; messages from other threads queue there.
    TReceiver* Receiver = nullptr;
    std::uint64_t Serial = 0;
    std::set<TPendingCallRef> Pending;
    // Set for a SenderThread registration only.
    std::shared_ptr<TDirectCalls> Direct;
};

struct TRegistry {
    std::mutex Lock;
    std::condition_variable CallDone;
    std::condition_variable CallQueued;
    std::map<TWindowHandle, TRegistration> Windows;
    // One receiver per thread that has windows, kept for the program's life: windows come and
    // go, and a receiver that is never deleted can never receive a post after its deletion.
    std::map<QThread*, TReceiver*> Receivers;
    // Handles of windows that have gone: their messages are dropped, never sent to the host.
    std::set<TWindowHandle> Retired;
    THostLink HostLink;
    TWindowHandle NextHandle = 0x10000;
    std::uint64_t NextSerial = 1;
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

// Wakes a receiver whose thread is not waiting for messages; carries nothing, the queue does.
class TWakeEvent : public QEvent {
public:
    static QEvent::Type EventType() {
        static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return Type;
    }
    TWakeEvent() : QEvent(EventType()) {}
    // Made under the registry's lock by the sender; one never delivered (its thread ended) is
    // freed by Qt, so freeing takes the lock too.
    ~TWakeEvent() override { const std::lock_guard Guard(Registry().Lock); }
    TWakeEvent(const TWakeEvent&) = delete;
    TWakeEvent& operator=(const TWakeEvent&) = delete;
};

// Delivers the messages sent to the windows of one thread from other threads, in the order
// they were sent.
class TReceiver : public QObject {
public:
    // Queues ACall under the registry's lock. Returns the wake event to post once the lock is
    // released when the thread will not look at the queue by itself, else null.
    TWakeEvent* Enqueue(TPendingCallRef ACall) {
        FQueue.push_back(std::move(ACall));
        FQueued.fetch_add(1, std::memory_order_release);
        return FWaiting ? nullptr : NewWake();
    }

    // Outside the registry's lock: a wake event takes it when freed.
    void PostWake(TWakeEvent* AWake) {
        // Low priority like the widgets' repaint requests, so that a busy run of messages
        // still lets the repaints queued before it through first.
        if (AWake != nullptr)
            QCoreApplication::postEvent(this, AWake, Qt::LowEventPriority);
    }

    bool event(QEvent* AEvent) override {
        auto& R = Registry();
        // The event was made by the sender's thread under the registry's lock: read it under
        // the lock too.
        std::unique_lock Guard(R.Lock);
        if (AEvent->type() != TWakeEvent::EventType()) {
            Guard.unlock();
            return QObject::event(AEvent);
        }
        FWakePosted = false;
        const auto SliceEnd = TClock::now() + ReceiverSlice;
        if (FIdle) {
            FIdle = false;
            FArrivals.Took(TClock::now() - FIdleSince);
        }
        for (;;) {
            if (FQueue.empty()) {
                // Wait awake for the next message; the sender does not post while we do.
                FWaiting = true;
                const std::uint64_t Seen = FQueued.load(std::memory_order_relaxed);
                Guard.unlock();
                const auto Start = TClock::now();
                WaitAwake(FArrivals.Bound(), [this, Seen] {
                    return FQueued.load(std::memory_order_acquire) != Seen;
                });
                Guard.lock();
                FWaiting = false;
                if (FQueue.empty()) {
                    // Asleep until the next wake; that wait counts as one too.
                    FIdle = true;
                    FIdleSince = Start;
                    return true;
                }
                FArrivals.Took(TClock::now() - Start);
            }
            if (TClock::now() >= SliceEnd) {
                // Back to the event loop to repaint and take input; the queue goes on after.
                TWakeEvent* const Wake = NewWake();
                Guard.unlock();
                PostWake(Wake);
                return true;
            }
            const TPendingCallRef Call = std::move(FQueue.front());
            FQueue.pop_front();
            Deliver(Call, Guard);
        }
    }

    // How long senders wait for this thread's replies.
    TAdaptiveWait& Replies() { return FReplies; }

private:
    // A wake event for the queue unless one is on its way already. Under the registry's lock.
    TWakeEvent* NewWake() {
        if (FWakePosted)
            return nullptr;
        FWakePosted = true;
        return new TWakeEvent;
    }

    // Runs ACall's handler unless its window went; with the lock held on entry and on return,
    // not while the handler runs (it may send messages or run an event loop of its own, which
    // delivers the messages queued meanwhile).
    static void Deliver(const TPendingCallRef& ACall, std::unique_lock<std::mutex>& AGuard) {
        auto& R = Registry();
        const auto Found = R.Windows.find(ACall->Handle);
        if (Found == R.Windows.end() || Found->second.Serial != ACall->Serial ||
            ACall->Done.load(std::memory_order_relaxed))
            return; // the window went; its waiting senders were released then
        ACall->Started = true;
        Found->second.Pending.erase(ACall);
        const std::shared_ptr<TMessageHandler> Handler = Found->second.Handler;
        AGuard.unlock();
        TLParam Result = 0;
        // The sender is released whatever the handler does.
        struct TRelease {
            TPendingCall& Call;
            TLParam& Result;
            std::unique_lock<std::mutex>& Guard;
            ~TRelease() {
                Guard.lock();
                Call.Result = Result;
                Call.Done.store(true, std::memory_order_release);
                Registry().CallDone.notify_all();
            }
        } Release{*ACall, Result, AGuard};
        Result = (*Handler)(ACall->Msg, ACall->WParam, ACall->LParam);
    }

    std::deque<TPendingCallRef> FQueue;
    // Counts the calls ever queued, for a thread waiting awake to look at without the lock.
    std::atomic<std::uint64_t> FQueued{0};
    // The thread is waiting awake for the queue: no wake event needed.
    bool FWaiting = false;
    // A wake event is on its way.
    bool FWakePosted = false;
    TAdaptiveWait FReplies{SenderSpinMax};
    // The thread's own waits for the next message, and the one under way while it sleeps.
    TAdaptiveWait FArrivals{ReceiverSpinMax};
    bool FIdle = false;
    TClock::time_point FIdleSince;
};

// Waits (the lock held by AGuard) until the SenderThread calls of ADirect running on other
// threads have returned: the handler's owner may free what it uses once unregistered.
void WaitForDirectCalls(std::unique_lock<std::mutex>& AGuard, const std::shared_ptr<TDirectCalls>& ADirect) {
    if (!ADirect)
        return;
    const int Own = CurrentDirect == ADirect.get() ? 1 : 0;
    Registry().CallDone.wait(AGuard, [&] { return ADirect->Running <= Own; });
}

void Unregister(TWindowHandle AHandle, std::uint64_t ASerial) {
    auto& R = Registry();
    {
        std::unique_lock Guard(R.Lock);
        const auto Found = R.Windows.find(AHandle);
        if (Found == R.Windows.end() || (ASerial != 0 && Found->second.Serial != ASerial))
            return;
        // Senders waiting for this window get 0 back.
        for (const TPendingCallRef& Call : Found->second.Pending)
            Call->Done.store(true, std::memory_order_release);
        const std::shared_ptr<TDirectCalls> Direct = Found->second.Direct;
        R.Windows.erase(Found);
        R.Retired.insert(AHandle);
        R.CallDone.notify_all();
        WaitForDirectCalls(Guard, Direct);
    }
    R.CallDone.notify_all();
}

} // namespace

TWindowHandle RegisterWindow(QObject* AWindow, TMessageHandler AHandler, TWindowHandle AHandle,
                             TDelivery ADelivery) {
    auto& R = Registry();
    QThread* const Thread = AWindow->thread();
    TWindowHandle Handle = AHandle;
    std::uint64_t Serial = 0;
    bool Replaced = false;
    {
        std::lock_guard Guard(R.Lock);
        TReceiver*& Receiver = R.Receivers[Thread];
        if (Receiver == nullptr) {
            Receiver = new TReceiver;
            Receiver->moveToThread(Thread);
        }
        if (Handle == 0) {
            while (R.Windows.count(R.NextHandle) != 0)
                ++R.NextHandle;
            Handle = R.NextHandle++;
        }
        const auto Found = R.Windows.find(Handle);
        if (Found != R.Windows.end()) {
            for (const TPendingCallRef& Call : Found->second.Pending)
                Call->Done.store(true, std::memory_order_release);
            Replaced = true;
            R.Windows.erase(Found);
        }
        R.Retired.erase(Handle);
        Serial = R.NextSerial++;
        R.Windows[Handle] = TRegistration{Thread, std::make_shared<TMessageHandler>(std::move(AHandler)),
                                          Receiver, Serial, {},
                                          ADelivery == TDelivery::SenderThread ? std::make_shared<TDirectCalls>()
                                                                               : nullptr};
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
    std::lock_guard Guard(R.Lock);
    return R.Windows.count(AHandle) != 0;
}

bool WaitForPendingMessage(TWindowHandle AHandle, std::chrono::milliseconds ATimeout) {
    auto& R = Registry();
    std::unique_lock Guard(R.Lock);
    return R.CallQueued.wait_for(Guard, ATimeout, [&R, AHandle] {
        const auto Found = R.Windows.find(AHandle);
        return Found != R.Windows.end() && !Found->second.Pending.empty();
    });
}

void SetHostLink(THostLink ALink) {
    auto& R = Registry();
    std::lock_guard Guard(R.Lock);
    R.HostLink = std::move(ALink);
}

TLParam SendMessageW(TWindowHandle AHandle, unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    if (AHandle == 0)
        return 0;
    auto& R = Registry();
    std::unique_lock Guard(R.Lock);
    const auto Found = R.Windows.find(AHandle);
    if (Found == R.Windows.end()) {
        if (R.Retired.count(AHandle) != 0)
            return 0;
        const THostLink HostLink = R.HostLink;
        Guard.unlock();
        return HostLink ? HostLink(AHandle, AMsg, AWParam, ALParam) : 0;
    }
    TRegistration& Window = Found->second;
    if (const std::shared_ptr<TDirectCalls> Direct = Window.Direct) {
        // Counted while it runs, so that unregistering waits for it.
        const std::shared_ptr<TMessageHandler> Handler = Window.Handler;
        ++Direct->Running;
        Guard.unlock();
        struct TDone {
            std::shared_ptr<TDirectCalls> Calls;
            const TDirectCalls* Outer;
            ~TDone() {
                CurrentDirect = Outer;
                auto& Reg = Registry();
                {
                    std::lock_guard Guard(Reg.Lock);
                    --Calls->Running;
                }
                Reg.CallDone.notify_all();
            }
        } Done{Direct, CurrentDirect};
        CurrentDirect = Direct.get();
        return (*Handler)(AMsg, AWParam, ALParam);
    }
    if (Window.Thread == QThread::currentThread()) {
        // The window can only go on this very thread, so it is alive for the call.
        const std::shared_ptr<TMessageHandler> Handler = Window.Handler;
        Guard.unlock();
        return (*Handler)(AMsg, AWParam, ALParam);
    }
    auto Call = std::make_shared<TPendingCall>();
    Call->Handle = AHandle;
    Call->Serial = Window.Serial;
    Call->Msg = AMsg;
    Call->WParam = AWParam;
    Call->LParam = ALParam;
    Window.Pending.insert(Call);
    TReceiver* const Receiver = Window.Receiver;
    TWakeEvent* const Wake = Receiver->Enqueue(Call);
    R.CallQueued.notify_all();
    Guard.unlock();
    Receiver->PostWake(Wake);
    const auto Start = TClock::now();
    if (!WaitAwake(Receiver->Replies().Bound(),
                   [&Call] { return Call->Done.load(std::memory_order_acquire); })) {
        Guard.lock();
        R.CallDone.wait(Guard, [&Call] { return Call->Done.load(std::memory_order_relaxed); });
        Guard.unlock();
    }
    Receiver->Replies().Took(TClock::now() - Start);
    // Written before Done under the lock; the acquire above or the lock orders the read.
    return Call->Result;
}
