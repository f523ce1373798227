// How the programs start and stop their worker threads, written once for the wizard and
// corvena-index.
//
// A worker is created suspended and deletes itself on its creator's event loop once it has
// finished. TWorkers starts it at lower priority with a completion handler on the owner's
// thread, keeps track of it, asks it to stop, and waits at the program's end for those still
// stopping (a window that closed never waits for one, which may be blocked in a message to it).
//
// Qt orders what a worker did in its body before its finished() handlers and its deletion,
// through locks the thread sanitizer cannot see (Debian's Qt is not built with it). So a worker
// marks the end of its body in its TWorkerEnd, and the completion handler and the worker's
// destructor pass through that end first: an order the sanitizer sees.
#pragma once

#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TWorkerEnd {
public:
    // The worker's thread, once its body has done everything but return.
    void Mark();
    // Anyone who then reads what the body wrote, or frees it.
    void Pass() const;

    // Marks the end of the body it is declared in when it goes (declare it after
    // TThreadBodyEnd, so that it goes first).
    class TMark {
    public:
        explicit TMark(TWorkerEnd& AEnd) : FEnd(AEnd) {}
        ~TMark() { FEnd.Mark(); }
        TMark(const TMark&) = delete;
        TMark& operator=(const TMark&) = delete;

    private:
        TWorkerEnd& FEnd;
    };

private:
    mutable std::mutex FLock;
    bool FEnded = false;
};

using TWorkerEndRef = std::shared_ptr<TWorkerEnd>;

class TWorkers {
public:
    // Starts AWorker at lower priority. ADone runs on AContext's thread once the worker has
    // finished (after AEnd), unless AContext has gone or the connection returned was dropped.
    QMetaObject::Connection Start(QThread* AWorker, TWorkerEndRef AEnd, QObject* AContext,
                                  std::function<void()> ADone);
    // Asks every worker still there to stop before its next file or entry.
    void RequestStop();
    // Waits for the workers still running, then deletes those whose deletion was queued to an
    // event loop that no longer runs. On the thread that started them.
    void WaitForAll();

private:
    std::vector<QPointer<QThread>> FStarted;
};
