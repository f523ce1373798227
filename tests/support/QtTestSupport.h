// Helpers for the tests and benchmarks that run Qt event loops.
#pragma once

#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

// Runs a real event loop until ACondition holds or ATimeoutMs passed. QTRY_* waits sleep between
// event rounds, which would make every synchronous message of a worker wait for the sleep.
inline bool RunUntil(const std::function<bool()>& ACondition, int ATimeoutMs = 20000) {
    QEventLoop Loop;
    QTimer Poll;
    QObject::connect(&Poll, &QTimer::timeout, &Loop, [&] {
        if (ACondition())
            Loop.quit();
    });
    QTimer::singleShot(ATimeoutMs, &Loop, &QEventLoop::quit);
    Poll.start(2);
    if (!ACondition())
        Loop.exec();
    return ACondition();
}

// Counts the paint events of the widgets it is installed on.
class TPaintCounter : public QObject {
public:
    int Paints = 0;

protected:
    bool eventFilter(QObject* AObject, QEvent* AEvent) override {
        if (AEvent->type() == QEvent::Paint)
            ++Paints;
        return QObject::eventFilter(AObject, AEvent);
    }
};
