#include "RunProgress.h"

#include "LockedWake.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

TRunProgress::TRunProgress(std::function<void()> AOnWake, QObject* AParent)
    : QObject(AParent), FOnWake(std::move(AOnWake)), FThread(thread()) {}

// The wakes still queued are freed by QObject's destructor and take the lock: it must outlive them.
TRunProgress::~TRunProgress() { QCoreApplication::removePostedEvents(this, TLockedWake::EventType()); }

void TRunProgress::Put(unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    bool Wake = false;
    {
        const std::lock_guard Guard(FLock);
        if (AMsg == WM_WIZ_STATUS && (AWParam == 0 || AWParam == 1)) {
            TSentStatus Sent;
            Sent.Status = WorkerStatusOf(ALParam);
            // The text is valid only while the message is being handled.
            if (!Sent.Status)
                Sent.Text = QString::fromUtf16(reinterpret_cast<const char16_t*>(ALParam));
            (AWParam == 0 ? FState.SearchStatus : FState.IndexStatus) = std::move(Sent);
            (AWParam == 0 ? FState.SearchStatusChanged : FState.IndexStatusChanged) = true;
        } else if (AMsg == WM_WIZ_PROGRESS && ALParam == 0) {
            FState.SearchCount = AWParam;
            FState.SearchCountChanged = true;
        } else if (AMsg == WM_WIZ_PROGRESS) {
            FState.IndexCurrent = AWParam;
            FState.IndexTotal = ALParam;
            FState.IndexProgressChanged = true;
        } else {
            return;
        }
        Wake = !FWakePending && QThread::currentThread() != FThread;
        FWakePending = FWakePending || Wake;
    }
    // Outside the lock: the wake's making takes it. This object outlives the call (the window
    // ends its registration, which waits for calls in flight, before its children go).
    if (Wake)
        QCoreApplication::postEvent(this, new TLockedWake(FLock));
}

TRunProgress::TState TRunProgress::Take() {
    const std::lock_guard Guard(FLock);
    TState State = FState;
    FState.SearchStatusChanged = FState.SearchCountChanged = false;
    FState.IndexStatusChanged = FState.IndexProgressChanged = false;
    FWakePending = false;
    return State;
}

bool TRunProgress::event(QEvent* AEvent) {
    if (!TLockedWake::Is(AEvent, FLock))
        return QObject::event(AEvent);
    FOnWake();
    return true;
}
