// corvena-access-reader: reads one Access file through libmdb and writes the SQLite image of
// its copy to standard output. The wizard and corvena-index start it for every Access master
// catalogue (catalogue/AccessImport.h) so that a damaged file that crashes libmdb, or sends it
// into a loop, costs this process only.
//   corvena-access-reader [--memory BYTES] [--cpu SECONDS] [--] FILE
// Exit 0: standard output holds the database image. 1: it holds the error message instead
// ("Cannot open database "FILE": REASON"). 2: bad arguments. 3: out of memory.
#include "AccessLoad.h"
#include "DbError.h"

#include <sqlite3.h>

#include <cerrno>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define CORVENA_READER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVENA_READER_ASAN 1
#endif
#endif
// The thread sanitizer maps its shadow memory at start, which an address-space limit forbids.
#if defined(__SANITIZE_THREAD__)
#define CORVENA_READER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVENA_READER_TSAN 1
#endif
#endif

#ifdef CORVENA_READER_ASAN
// The sanitizer reserves terabytes of address space, so an address-space limit cannot be set;
// its allocator's own limit stands in for it in the fuzz and asan builds. A crash inside libmdb
// ends the reader by its signal, as in a plain build, so the caller reports it the same way.
extern "C" const char* __asan_default_options() {
    return "malloc_limit_mb=1024:allocator_may_return_null=1:detect_leaks=0:handle_segv=0:handle_sigbus=0:"
           "handle_sigfpe=0";
}
#endif

namespace {

constexpr int ExitImage = 0;
constexpr int ExitError = 1;
constexpr int ExitUsage = 2;
constexpr int ExitOutOfMemory = 3;

bool WriteAll(int AFd, const void* AData, std::size_t ASize) {
    const auto* Data = static_cast<const char*>(AData);
    while (ASize > 0) {
        const ssize_t Written = ::write(AFd, Data, ASize);
        if (Written < 0 && errno == EINTR)
            continue;
        if (Written <= 0)
            return false;
        Data += Written;
        ASize -= static_cast<std::size_t>(Written);
    }
    return true;
}

bool ParseNumber(std::string_view AText, unsigned long long& AValue) {
    const auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), AValue);
    return Error == std::errc() && End == AText.data() + AText.size() && !AText.empty();
}

void SetLimit(int AResource, rlim_t ASoft, rlim_t AHard) {
    const rlimit Limit{ASoft, AHard};
    ::setrlimit(AResource, &Limit);
}

int Usage() {
    std::fputs("usage: corvena-access-reader [--memory BYTES] [--cpu SECONDS] [--] FILE\n", stderr);
    return ExitUsage;
}

} // namespace

int main(int ArgC, char** ArgV) {
    // Never outlive the program that asked (its reads end with it).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1)
        return ExitError;

    unsigned long long Memory = 0, Cpu = 0;
    std::string File;
    bool Options = true;
    for (int I = 1; I < ArgC; ++I) {
        const std::string_view Arg = ArgV[I];
        if (Options && Arg == "--") {
            Options = false;
        } else if (Options && (Arg == "--memory" || Arg == "--cpu") && I + 1 < ArgC) {
            if (!ParseNumber(ArgV[++I], Arg == "--memory" ? Memory : Cpu))
                return Usage();
        } else if (File.empty() && !Arg.empty() && (!Options || Arg[0] != '-')) {
            File = Arg;
        } else {
            return Usage();
        }
    }
    if (File.empty())
        return Usage();

    SetLimit(RLIMIT_CORE, 0, 0);
#if !defined(CORVENA_READER_ASAN) && !defined(CORVENA_READER_TSAN)
    if (Memory > 0)
        SetLimit(RLIMIT_AS, Memory, Memory);
#endif
    // The soft limit sends SIGXCPU, the hard one a second later SIGKILL.
    if (Cpu > 0)
        SetLimit(RLIMIT_CPU, Cpu, Cpu + 1);

    // The image goes out through a descriptor of its own: whatever libmdb prints lands on
    // standard error, never inside the image.
    const int Out = ::dup(STDOUT_FILENO);
    if (Out < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return ExitError;

    try {
        sqlite3* Db = LoadAccessFile(File);
        sqlite3_int64 Size = 0;
        unsigned char* Image = sqlite3_serialize(Db, "main", &Size, 0);
        if (Image == nullptr || Size <= 0)
            throw TDatabaseError("Cannot open database \"" + File +
                                 "\": its copy in memory cannot be handed over");
        const bool Written = WriteAll(Out, Image, static_cast<std::size_t>(Size));
        sqlite3_free(Image);
        sqlite3_close_v2(Db);
        return Written ? ExitImage : ExitError;
    } catch (const TDatabaseError& Error) {
        const std::string Message = Error.what();
        WriteAll(Out, Message.data(), Message.size());
        return ExitError;
    } catch (const std::bad_alloc&) {
        return ExitOutOfMemory;
    }
}
