// TLockedWake: an event that wakes an object on its own thread for state kept under a lock of
// that object's; it carries nothing. It is made on another thread and delivered or freed by Qt on
// the object's: Qt's queue lock orders the two, but the thread sanitizer does not see that lock.
// So the event is made and freed under the object's lock, and the receiver reads it under that
// lock too (Is, or its own hold of the lock).
#pragma once

#include <QEvent>

#include <mutex>

class TLockedWake : public QEvent {
public:
    static QEvent::Type EventType() {
        static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return Type;
    }
    explicit TLockedWake(std::mutex& ALock) : QEvent(EventType()), FLock(ALock) {
        const std::lock_guard Guard(FLock);
    }
    ~TLockedWake() override { const std::lock_guard Guard(FLock); }
    TLockedWake(const TLockedWake&) = delete;
    TLockedWake& operator=(const TLockedWake&) = delete;

    // AEvent is such a wake; ALock is taken to read it.
    static bool Is(const QEvent* AEvent, std::mutex& ALock) {
        const std::lock_guard Guard(ALock);
        return AEvent->type() == EventType();
    }

private:
    std::mutex& FLock;
};
