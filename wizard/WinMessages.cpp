#include "WinMessages.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <map>
#include <mutex>

namespace {

struct TRegistration {
    QPointer<QObject> Window;
    TMessageHandler Handler;
};

struct TRegistry {
    std::mutex Lock;
    std::map<TWindowHandle, TRegistration> Windows;
    THostLink HostLink;
    TWindowHandle NextHandle = 0x10000;
};

TRegistry& Registry() {
    static TRegistry Instance;
    return Instance;
}

} // namespace

TWindowHandle RegisterWindow(QObject* AWindow, TMessageHandler AHandler, TWindowHandle AHandle) {
    auto& R = Registry();
    TWindowHandle Handle = AHandle;
    {
        std::lock_guard Guard(R.Lock);
        if (Handle == 0) {
            while (R.Windows.count(R.NextHandle) != 0)
                ++R.NextHandle;
            Handle = R.NextHandle++;
        }
        R.Windows[Handle] = TRegistration{AWindow, std::move(AHandler)};
    }
    QObject::connect(AWindow, &QObject::destroyed, [Handle] { UnregisterWindow(Handle); });
    return Handle;
}

void UnregisterWindow(TWindowHandle AHandle) {
    auto& R = Registry();
    std::lock_guard Guard(R.Lock);
    R.Windows.erase(AHandle);
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
    QPointer<QObject> Window;
    TMessageHandler Handler;
    THostLink HostLink;
    {
        std::lock_guard Guard(R.Lock);
        const auto Found = R.Windows.find(AHandle);
        if (Found == R.Windows.end()) {
            HostLink = R.HostLink;
        } else {
            Window = Found->second.Window;
            Handler = Found->second.Handler;
        }
    }
    if (!Handler)
        return HostLink ? HostLink(AHandle, AMsg, AWParam, ALParam) : 0;
    if (Window.isNull())
        return 0;
    if (Window->thread() == QThread::currentThread())
        return Handler(AMsg, AWParam, ALParam);
    // The window is the context: if it is destroyed before the call runs, the call is dropped
    // and this thread is released.
    TLParam Result = 0;
    QMetaObject::invokeMethod(
        Window.data(), [&Result, &Handler, AMsg, AWParam, ALParam] { Result = Handler(AMsg, AWParam, ALParam); },
        Qt::BlockingQueuedConnection);
    return Result;
}
