// Runs a test's hook on a window's thread while the thread that asks waits, as a message handled
// there would: a worker's progress, which the window records on the worker's own thread, can
// still close or grab the window "from inside the worker's message".
//
// A window with such hooks calls Close() first in its destructor, before it ends its
// registration (which waits for the worker's message in flight): a worker still waiting is then
// released without its hook, and later ones run none.
#pragma once

#include "LockedWake.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class TWindowThreadHooks : public QObject {
public:
    TWindowThreadHooks() = default;
    ~TWindowThreadHooks() override {
        Close();
        std::unique_lock Guard(FLock);
        FChanged.wait(Guard, [this] { return FWaiting == 0; });
        Guard.unlock();
        QCoreApplication::removePostedEvents(this, TLockedWake::EventType());
    }
    TWindowThreadHooks(const TWindowThreadHooks&) = delete;
    TWindowThreadHooks& operator=(const TWindowThreadHooks&) = delete;

    // Runs AHook on this object's thread and returns once it has run (or the hooks closed).
    void Run(const std::function<void()>& AHook) {
        if (QThread::currentThread() == thread()) {
            AHook();
            return;
        }
        std::unique_lock Guard(FLock);
        if (FClosed)
            return;
        TJob Job{&AHook, false};
        FJobs.push_back(&Job);
        ++FWaiting;
        Guard.unlock();
        QCoreApplication::postEvent(this, new TLockedWake(FLock));
        Guard.lock();
        FChanged.wait(Guard, [&] { return Job.Done || FClosed; });
        // A job the closing left behind is not run: it would run after this returned.
        std::erase(FJobs, &Job);
        --FWaiting;
        FChanged.notify_all();
    }

    void Close() {
        const std::lock_guard Guard(FLock);
        FClosed = true;
        FChanged.notify_all();
    }

protected:
    bool event(QEvent* AEvent) override {
        if (!TLockedWake::Is(AEvent, FLock))
            return QObject::event(AEvent);
        std::unique_lock Guard(FLock);
        while (!FJobs.empty() && !FClosed) {
            TJob* Job = FJobs.front();
            FJobs.pop_front();
            Guard.unlock();
            (*Job->Hook)();
            Guard.lock();
            Job->Done = true;
            FChanged.notify_all();
        }
        return true;
    }

private:
    struct TJob {
        const std::function<void()>* Hook;
        bool Done;
    };
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TJob*> FJobs;
    int FWaiting = 0;
    bool FClosed = false;
};
