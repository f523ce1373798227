#include "Workers.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>

void TWorkerEnd::Mark() {
    const std::lock_guard Guard(FLock);
    FEnded = true;
}

void TWorkerEnd::Pass() const {
    const std::lock_guard Guard(FLock);
}

QMetaObject::Connection TWorkers::Start(QThread* AWorker, TWorkerEndRef AEnd, QObject* AContext,
                                        std::function<void()> ADone) {
    const QMetaObject::Connection Done =
        QObject::connect(AWorker, &QThread::finished, AContext, [End = std::move(AEnd), Handler = std::move(ADone)] {
            End->Pass();
            Handler();
        });
    // Workers gone already need no waiting at the end (a watch starts thousands).
    std::erase_if(FStarted, [](const QPointer<QThread>& AOld) { return AOld.isNull(); });
    FStarted.emplace_back(AWorker);
    AWorker->start(QThread::LowPriority);
    return Done;
}

void TWorkers::RequestStop() {
    for (const QPointer<QThread>& Worker : FStarted)
        if (Worker)
            Worker->requestInterruption();
}

void TWorkers::WaitForAll() {
    for (const QPointer<QThread>& Worker : FStarted)
        if (Worker)
            Worker->wait();
    FStarted.clear();
    // Their own release was queued to this thread.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
