// The end of a worker thread's body, as the thread sanitizer is told of it.
//
// After a worker's run() returns, its thread runs only Qt's own end of a thread: it emits
// finished(), which reads the worker's meta-object, while the owner may already be deleting the
// worker on its own thread (finished() is connected to deleteLater). Qt orders the two: the
// QThread destructor waits for that end, through Qt's futex-based locks, which the sanitizer
// cannot see (Debian's Qt is not built with it). So in a sanitizer build the thread's memory
// accesses from the end of the body until the thread exits are not checked; its
// synchronisation still is.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define CORVENA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVENA_TSAN 1
#endif
#endif

#ifdef CORVENA_TSAN
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

// Declared first in a body, so that it goes last, whichever way the body ends.
class TThreadBodyEnd {
public:
    TThreadBodyEnd() = default;
    TThreadBodyEnd(const TThreadBodyEnd&) = delete;
    TThreadBodyEnd& operator=(const TThreadBodyEnd&) = delete;
    ~TThreadBodyEnd() {
#ifdef CORVENA_TSAN
        // A thread that ends while ignoring is reported: the ignoring stops at the thread's
        // exit, with its thread-local objects, after Qt's end of the thread.
        struct TIgnoreUntilExit {
            ~TIgnoreUntilExit() { __tsan_ignore_thread_end(); }
        };
        static thread_local TIgnoreUntilExit Exit;
        static_cast<void>(Exit);
        __tsan_ignore_thread_begin();
#endif
    }
};
