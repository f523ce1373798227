// TRunProgress: what the wizard's workers last reported (WM_WIZ_STATUS, WM_WIZ_PROGRESS),
// recorded on the thread that sends it and shown by the window on its own thread.
//
// The index worker reports every file. Handing each report to the window's thread and waiting
// there cost a wake-up of that thread and one of the worker a file, and on two cores the
// window's thread waiting awake for the next report took the core the worker, the X server and
// the kernel's writeback needed. Here the worker's message is a call on its own thread that
// records what it says under a lock; the window is woken once for everything that came since it
// last looked, and shows it at screen rate.
//
// Thread safety: Put and Take from any thread; the wake is delivered on the thread this object
// lives on (the window's).
#pragma once

#include "WinMessages.h"
#include "WorkerStatus.h"

#include <QObject>
#include <QString>

#include <functional>
#include <mutex>
#include <optional>

class QThread;

// A status as it was sent: one of the workers' statuses (known by its text's address), or any
// other text, copied while its sender waited.
struct TSentStatus {
    std::optional<TWorkerStatus> Status;
    QString Text;
};

class TRunProgress : public QObject {
public:
    // What was reported, and which parts changed since the last Take.
    struct TState {
        TSentStatus SearchStatus;
        TSentStatus IndexStatus;
        TWParam SearchCount = 0;
        TWParam IndexCurrent = 0;
        TLParam IndexTotal = 0;
        bool SearchStatusChanged = false;
        bool SearchCountChanged = false;
        bool IndexStatusChanged = false;
        bool IndexProgressChanged = false;
    };

    // AOnWake runs on this object's thread when a report from another thread is waiting there.
    TRunProgress(std::function<void()> AOnWake, QObject* AParent);
    ~TRunProgress() override;

    // Records a WM_WIZ_STATUS (wParam 0 search, 1 index; others are ignored) or WM_WIZ_PROGRESS
    // (lParam 0: the search's count, else the index's file of lParam); any other message is
    // ignored. Called from another thread than this object's, it wakes this object's thread
    // unless a wake is on its way already.
    void Put(unsigned AMsg, TWParam AWParam, TLParam ALParam);
    // What has been reported; clears the changes and lets the next report wake again.
    TState Take();

protected:
    bool event(QEvent* AEvent) override;

private:
    const std::function<void()> FOnWake;
    QThread* const FThread;
    // Guards everything below, and orders a wake's making before its delivery for the thread
    // sanitizer, which does not see Qt's own locks.
    std::mutex FLock;
    TState FState;
    bool FWakePending = false;
};
