#include "WinMessages.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace {

// One message waiting for its window: the sender sleeps on it until the window's thread has
// run the handler, or the window has gone.
struct TPendingCall {
    unsigned Msg = 0;
    TWParam WParam = 0;
    TLParam LParam = 0;
    bool Started = false;
    bool Done = false;
    TLParam Result = 0;
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
    // The receiver of the window's thread; messages from other threads are posted to it.
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

class TCallEvent : public QEvent {
public:
    static QEvent::Type EventType() {
        static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return Type;
    }
    TCallEvent(TWindowHandle AHandle, std::uint64_t ASerial, TPendingCallRef ACall)
        : QEvent(EventType()), Handle(AHandle), Serial(ASerial), Call(std::move(ACall)) {}

    TWindowHandle Handle;
    std::uint64_t Serial;
    TPendingCallRef Call;
};

class TReceiver : public QObject {
public:
    bool event(QEvent* AEvent) override {
        auto& R = Registry();
        // The event was made by the sender's thread under the registry's lock: read it under
        // the lock too.
        std::unique_lock Guard(R.Lock);
        if (AEvent->type() != TCallEvent::EventType()) {
            Guard.unlock();
            return QObject::event(AEvent);
        }
        auto* Event = static_cast<TCallEvent*>(AEvent);
        const auto Found = R.Windows.find(Event->Handle);
        if (Found == R.Windows.end() || Found->second.Serial != Event->Serial || Event->Call->Done)
            return true; // the window went; its waiting senders were released then
        Event->Call->Started = true;
        Found->second.Pending.erase(Event->Call);
        const std::shared_ptr<TMessageHandler> Handler = Found->second.Handler;
        Guard.unlock();
        TLParam Result = 0;
        // The sender is released whatever the handler does.
        struct TRelease {
            TPendingCall& Call;
            TLParam& Result;
            ~TRelease() {
                auto& Reg = Registry();
                {
                    std::lock_guard Guard(Reg.Lock);
                    Call.Result = Result;
                    Call.Done = true;
                }
                Reg.CallDone.notify_all();
            }
        } Release{*Event->Call, Result};
        Result = (*Handler)(Event->Call->Msg, Event->Call->WParam, Event->Call->LParam);
        return true;
    }
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
            Call->Done = true;
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
                Call->Done = true;
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
    Call->Msg = AMsg;
    Call->WParam = AWParam;
    Call->LParam = ALParam;
    Window.Pending.insert(Call);
    QCoreApplication::postEvent(Window.Receiver, new TCallEvent(AHandle, Window.Serial, Call));
    R.CallQueued.notify_all();
    R.CallDone.wait(Guard, [&Call] { return Call->Done; });
    return Call->Result;
}
