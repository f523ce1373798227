// Preloaded into the programs the thread-sanitizer tests run (LD_PRELOAD in the tsan test
// preset): drops the data-race reports of which both accesses were made inside Qt.
//
// Debian's Qt is not built with the sanitizer: the happens-before edges of its futex-based locks
// (QMutex, and so a QThread's end, posted events, queued calls, its thread pool) are invisible,
// so Qt's bookkeeping of its own memory looks racy wherever it calls the C library (malloc,
// free, memmove, the pthread calls of QWaitCondition). A suppression file cannot say "both
// stacks": any of its entries that matches one stack hides the report, and so every race of
// ours in which Qt takes part (Qt copying our buffer while we write it, a call of ours made from
// one of Qt's). This hook sees both stacks. A report stays when either access was made by our
// code, or by a library other than Qt's (and the GLib main loop under its event dispatcher).
//
// Built without the sanitizer, with weak references to its interface, so that preloading it
// into a program without the sanitizer (a shell, sqlite3) does nothing.
#include <dlfcn.h>

#include <cstdint>
#include <cstring>

extern "C" {
void* __tsan_get_current_report() __attribute__((weak));
int __tsan_get_report_data(void* AReport, const char** ADescription, int* ACount, int* AStackCount,
                           int* AMopCount, int* ALocCount, int* AMutexCount, int* AThreadCount,
                           int* AUniqueTidCount, void** ASleepTrace, std::uintptr_t ATraceSize)
    __attribute__((weak));
int __tsan_get_report_mop(void* AReport, std::uintptr_t AIndex, int* ATid, void** AAddress, int* ASize,
                          int* AWrite, int* AAtomic, void** ATrace, std::uintptr_t ATraceSize)
    __attribute__((weak));
}

namespace {

constexpr std::uintptr_t TraceDepth = 64;

const char* BaseName(const char* APath) {
    const char* Slash = std::strrchr(APath, '/');
    return Slash != nullptr ? Slash + 1 : APath;
}

bool StartsWith(const char* AText, const char* APrefix) {
    return std::strncmp(AText, APrefix, std::strlen(APrefix)) == 0;
}

// True when the access's first frame outside the sanitizer's runtime (its interceptors come
// first) lies in a Qt library. An empty stack (the sanitizer could not restore it) is not Qt.
bool MadeInsideQt(void* AReport, int AIndex) {
    int Tid = 0, Size = 0, Write = 0, Atomic = 0;
    void* Address = nullptr;
    void* Trace[TraceDepth] = {};
    if (__tsan_get_report_mop(AReport, static_cast<std::uintptr_t>(AIndex), &Tid, &Address, &Size, &Write,
                              &Atomic, Trace, TraceDepth) == 0)
        return false;
    for (void* Pc : Trace) {
        if (Pc == nullptr)
            return false;
        Dl_info Info{};
        if (dladdr(Pc, &Info) == 0 || Info.dli_fname == nullptr)
            return false;
        const char* Module = BaseName(Info.dli_fname);
        if (StartsWith(Module, "libtsan."))
            continue;
        return StartsWith(Module, "libQt6") || StartsWith(Module, "libglib-2.0.");
    }
    return false;
}

bool BothInsideQt() {
    if (__tsan_get_current_report == nullptr || __tsan_get_report_data == nullptr ||
        __tsan_get_report_mop == nullptr)
        return false;
    void* const Report = __tsan_get_current_report();
    if (Report == nullptr)
        return false;
    const char* Description = nullptr;
    int Count = 0, Stacks = 0, Mops = 0, Locations = 0, Mutexes = 0, Threads = 0, UniqueTids = 0;
    void* SleepTrace[1] = {};
    if (__tsan_get_report_data(Report, &Description, &Count, &Stacks, &Mops, &Locations, &Mutexes, &Threads,
                               &UniqueTids, SleepTrace, 1) == 0 ||
        Description == nullptr || std::strcmp(Description, "data-race") != 0 || Mops < 2)
        return false;
    for (int Index = 0; Index < Mops; ++Index)
        if (!MadeInsideQt(Report, Index))
            return false;
    return true;
}

} // namespace

// The sanitizer's own hook for a report about to be printed (weak in its runtime, meant to be
// replaced): true drops it.
namespace __tsan {
struct ReportDesc;
__attribute__((visibility("default"))) bool OnReport(const ReportDesc* AReport, bool ASuppressed);
bool OnReport(const ReportDesc*, bool ASuppressed) { return ASuppressed || BothInsideQt(); }
} // namespace __tsan
