#include "AccessImport.h"

#include "CaseFold.h"
#include "DbError.h"
#include "SQLiteEngine.h"

#include <sqlite3.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* ReaderName = "corvena-access-reader";
// The reader's own exit statuses (accessreader/ReaderMain.cpp).
constexpr int ReaderError = 1;
constexpr int ReaderOutOfMemory = 3;
// Only the end of the reader's standard error is kept: libmdb can print gigabytes of warnings.
constexpr std::size_t KeptErrorBytes = 4096;
// A damaged catalogue can send libmdb into a loop that prints the same warning without end.
constexpr std::uint64_t MaxErrorBytes = 16 << 20;

struct TSettings {
    std::mutex Mutex;
#ifdef CORVENA_ACCESS_READER_BUILD_PATH
    std::string Program = CORVENA_ACCESS_READER_BUILD_PATH;
#else
    std::string Program;
#endif
    TAccessReaderLimits Limits;
};

TSettings& Settings() {
    static TSettings Value;
    return Value;
}

[[noreturn]] void Fail(const std::string& AFileName, const std::string& AReason) {
    throw TDatabaseError("Cannot open database \"" + AFileName + "\": " + AReason);
}

[[noreturn]] void FailDamaged(const std::string& AFileName, const std::string& AWhat) {
    Fail(AFileName, "it is a damaged Access database: " + AWhat);
}

// Where the reader is looked for, in order.
std::vector<std::string> ReaderCandidates() {
    std::vector<std::string> Candidates;
    std::error_code Error;
    const std::filesystem::path Self = std::filesystem::read_symlink("/proc/self/exe", Error);
    if (!Error) {
        const std::filesystem::path Dir = Self.parent_path();
        Candidates.push_back((Dir / ReaderName).string());
        Candidates.push_back((Dir / ".." / "libexec" / "corvena" / ReaderName).lexically_normal().string());
    }
    TSettings& Shared = Settings();
    const std::lock_guard Lock(Shared.Mutex);
    Candidates.push_back(Shared.Program);
    return Candidates;
}

// The reader program to run (the first candidate that can be run), or throws naming why none
// can: none there at all, or one there that cannot be run (not executable, a folder).
std::string FindReader(const std::string& AFileName) {
    std::string Unusable;
    for (const std::string& Candidate : ReaderCandidates()) {
        struct stat Info {};
        if (Candidate.empty() || ::stat(Candidate.c_str(), &Info) != 0)
            continue;
        if (S_ISREG(Info.st_mode) && ::access(Candidate.c_str(), X_OK) == 0)
            return Candidate;
        if (Unusable.empty())
            Unusable = "the Access reader " + Candidate + " cannot be run: " +
                       (S_ISREG(Info.st_mode) ? "it is not executable" : "it is not a program file");
    }
    if (!Unusable.empty())
        Fail(AFileName, Unusable);
    Fail(AFileName, std::string("Access files are read by the program ") + ReaderName +
                        ", which is not installed beside this program");
}

struct TFd {
    int Fd = -1;
    TFd() = default;
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Close(); }
    void Close() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
};

struct TPipe {
    TFd Read, Write;
    bool Open() {
        int Fds[2];
        if (::pipe2(Fds, O_CLOEXEC) != 0)
            return false;
        Read.Fd = Fds[0];
        Write.Fd = Fds[1];
        return true;
    }
};

struct TSqliteFree {
    void operator()(unsigned char* AData) const noexcept { sqlite3_free(AData); }
};

// What a run of the reader left.
struct TReaderRun {
    int Status = 0; // as waitpid gives it
    bool TimedOut = false;
    bool TooLarge = false;
    bool TooChatty = false;
    std::uint64_t ErrBytes = 0;
    std::unique_ptr<unsigned char, TSqliteFree> Out;
    std::size_t OutSize = 0;
    std::string ErrTail;
};

// The image is read into SQLite's own allocation: the connection takes it over as it is.
bool Append(TReaderRun& ARun, std::size_t& ACapacity, const char* AData, std::size_t ASize) {
    if (ARun.OutSize + ASize > ACapacity) {
        std::size_t Capacity = ACapacity ? ACapacity : 1 << 20;
        while (Capacity < ARun.OutSize + ASize)
            Capacity *= 2;
        void* Grown = sqlite3_realloc64(ARun.Out.get(), Capacity);
        if (Grown == nullptr)
            return false;
        static_cast<void>(ARun.Out.release());
        ARun.Out.reset(static_cast<unsigned char*>(Grown));
        ACapacity = Capacity;
    }
    std::memcpy(ARun.Out.get() + ARun.OutSize, AData, ASize);
    ARun.OutSize += ASize;
    return true;
}

void KeepTail(std::string& ATail, const char* AData, std::size_t ASize) {
    ATail.append(AData, ASize);
    if (ATail.size() > KeptErrorBytes)
        ATail.erase(0, ATail.size() - KeptErrorBytes);
}

// Starts the reader on AFileName with its standard output and error into the pipes' write
// ends, which are closed here; its process id.
pid_t SpawnReader(const std::string& AProgram, const std::string& AFileName, std::uint64_t AMemory,
                  unsigned ASeconds, TPipe& AOut, TPipe& AErr) {
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&Actions, AOut.Write.Fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&Actions, AErr.Write.Fd, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&Actions, STDERR_FILENO + 1);
    // Whatever this program ignores or blocks (SIGPIPE, the signals a worker waits on), the
    // reader starts with the defaults.
    posix_spawnattr_t Attributes;
    posix_spawnattr_init(&Attributes);
    sigset_t Signals;
    sigemptyset(&Signals);
    posix_spawnattr_setsigmask(&Attributes, &Signals);
    sigfillset(&Signals);
    posix_spawnattr_setsigdefault(&Attributes, &Signals);
    posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string Memory = std::to_string(AMemory), Seconds = std::to_string(ASeconds);
    std::vector<char*> Arguments{const_cast<char*>(AProgram.c_str()),
                                 const_cast<char*>("--memory"), const_cast<char*>(Memory.c_str()),
                                 const_cast<char*>("--cpu"),    const_cast<char*>(Seconds.c_str()),
                                 const_cast<char*>("--"),       const_cast<char*>(AFileName.c_str()),
                                 nullptr};
    pid_t Pid = 0;
    const int Spawned =
        ::posix_spawn(&Pid, AProgram.c_str(), &Actions, &Attributes, Arguments.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    posix_spawnattr_destroy(&Attributes);
    if (Spawned != 0)
        Fail(AFileName, "the Access reader " + AProgram + " cannot be started: " + std::strerror(Spawned));
    AOut.Write.Close();
    AErr.Write.Close();
    return Pid;
}

// What the reader wrote until it closed both pipes, its time ran out, or it wrote more than
// it may (a copy larger than AMemory, more warnings than MaxErrorBytes).
void CollectOutput(TReaderRun& ARun, TPipe& AOut, TPipe& AErr, std::uint64_t AMemory, unsigned ASeconds) {
    std::size_t Capacity = 0;
    using TClock = std::chrono::steady_clock;
    const auto Deadline = TClock::now() + std::chrono::seconds(ASeconds);
    std::vector<char> Buffer(1 << 16);
    bool Open[2] = {true, true};
    while (Open[0] || Open[1]) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
        if (Left.count() <= 0) {
            ARun.TimedOut = true;
            return;
        }
        pollfd Fds[2] = {{Open[0] ? AOut.Read.Fd : -1, POLLIN, 0}, {Open[1] ? AErr.Read.Fd : -1, POLLIN, 0}};
        const int Ready = ::poll(Fds, 2, static_cast<int>(std::min<long long>(Left.count(), 1000)));
        if (Ready < 0 && errno != EINTR)
            return;
        for (int I = 0; I < 2 && Ready > 0; ++I) {
            if (Fds[I].revents == 0)
                continue;
            const ssize_t Got = ::read(Fds[I].fd, Buffer.data(), Buffer.size());
            if (Got < 0 && errno == EINTR)
                continue;
            if (Got <= 0) {
                Open[I] = false;
                continue;
            }
            const auto Size = static_cast<std::size_t>(Got);
            if (I == 1) {
                KeepTail(ARun.ErrTail, Buffer.data(), Size);
                ARun.ErrBytes += Size;
                ARun.TooChatty = ARun.ErrBytes > MaxErrorBytes;
            } else if (ARun.OutSize + Size > AMemory || !Append(ARun, Capacity, Buffer.data(), Size)) {
                ARun.TooLarge = true;
            }
            if (ARun.TooChatty || ARun.TooLarge)
                return;
        }
    }
}

TReaderRun RunReader(const std::string& AProgram, const std::string& AFileName,
                     std::uint64_t AMemory, unsigned ASeconds) {
    TPipe Out, Err;
    if (!Out.Open() || !Err.Open())
        Fail(AFileName, std::string("the Access reader cannot be started: ") + std::strerror(errno));
    const pid_t Pid = SpawnReader(AProgram, AFileName, AMemory, ASeconds, Out, Err);
    TReaderRun Run;
    CollectOutput(Run, Out, Err, AMemory, ASeconds);
    if (Run.TimedOut || Run.TooLarge || Run.TooChatty)
        ::kill(Pid, SIGKILL);
    while (::waitpid(Pid, &Run.Status, 0) < 0 && errno == EINTR) {
    }
    return Run;
}

std::string Contains(const std::string& AText, std::initializer_list<const char*> AParts) {
    for (const char* Part : AParts)
        if (AText.find(Part) != std::string::npos)
            return Part;
    return {};
}

// The last line the reader printed, for a failure it did not explain itself.
std::string LastLine(std::string AText) {
    while (!AText.empty() && (AText.back() == '\n' || AText.back() == '\r'))
        AText.pop_back();
    const auto At = AText.find_last_of('\n');
    return At == std::string::npos ? AText : AText.substr(At + 1);
}

unsigned BigEndian(const unsigned char* AData, int ABytes) {
    unsigned Value = 0;
    for (int I = 0; I < ABytes; ++I)
        Value = (Value << 8) | AData[I];
    return Value;
}

// A whole SQLite image: its header's page size times its page count is exactly what came.
bool IsWholeImage(const unsigned char* AData, std::size_t ASize) {
    static const char Magic[] = "SQLite format 3";
    if (ASize < 100 || std::memcmp(AData, Magic, sizeof Magic) != 0)
        return false;
    unsigned PageSize = BigEndian(AData + 16, 2);
    if (PageSize == 1)
        PageSize = 65536;
    const unsigned Pages = BigEndian(AData + 28, 4);
    return PageSize >= 512 && static_cast<std::uint64_t>(PageSize) * Pages == ASize;
}

int CompareFoldedText(void*, int ALeftSize, const void* ALeft, int ARightSize, const void* ARight) {
    return CompareFolded(std::string_view(static_cast<const char*>(ALeft), static_cast<std::size_t>(ALeftSize)),
                         std::string_view(static_cast<const char*>(ARight), static_cast<std::size_t>(ARightSize)));
}

sqlite3* OpenImage(const std::string& AFileName, TReaderRun& ARun) {
    sqlite3* Db = nullptr;
    int Result = sqlite3_open_v2(":memory:", &Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)> Owned(Db, &sqlite3_close_v2);
    if (Result == SQLITE_OK) {
        const auto Size = static_cast<sqlite3_int64>(ARun.OutSize);
        Result = sqlite3_deserialize(Db, "main", ARun.Out.release(), Size, Size,
                                     SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE);
    }
    // The copy is this program's alone: its text columns (COLLATE NOCASE) compare without
    // regard to letter case in every script, as Access does, and the indexes the reader built
    // under SQLite's ASCII rule are built again under this one before anything reads them.
    // Then it is closed for writing.
    if (Result == SQLITE_OK)
        Result = sqlite3_create_collation_v2(Db, "NOCASE", SQLITE_UTF8, nullptr, &CompareFoldedText, nullptr);
    if (Result == SQLITE_OK)
        Result = sqlite3_exec(Db, "reindex nocase; pragma query_only=1; select count(*) from sqlite_master",
                              nullptr, nullptr, nullptr);
    if (Result != SQLITE_OK)
        Fail(AFileName, std::string("no in-memory database for its copy: ") + sqlite3_errstr(Result));
    return Owned.release();
}

// Throws the error that says what became of the reader, unless it handed over a whole copy.
void FailUnlessWhole(const TReaderRun& ARun, const std::string& AFileName, const std::string& AProgram,
                     const TAccessReaderLimits& ALimits) {
    const std::string Seconds = std::to_string(ALimits.Seconds) + " s";
    if (ARun.TimedOut)
        FailDamaged(AFileName, "the reader took longer than " + Seconds);
    if (ARun.TooLarge)
        FailDamaged(AFileName, "the reader's copy grew beyond " +
                                   std::to_string(ALimits.MemoryBytes >> 20) + " MB");
    if (ARun.TooChatty)
        FailDamaged(AFileName, "the reader printed more than " + std::to_string(MaxErrorBytes >> 20) +
                                   " MB of warnings");
    // What glib, the C library and the sanitizers' allocator print when memory runs out.
    const std::string OutOfMemory =
        Contains(ARun.ErrTail, {"failed to allocate", "Cannot allocate memory", "out of memory",
                               "bad_alloc", "allocation-size-too-big", "malloc-limit"});
    if (WIFSIGNALED(ARun.Status)) {
        const int Signal = WTERMSIG(ARun.Status);
        if (Signal == SIGXCPU)
            FailDamaged(AFileName, "the reader used more than " + Seconds + " of processor time");
        if (!OutOfMemory.empty())
            FailDamaged(AFileName, "the reader ran out of memory");
        const char* Name = sigdescr_np(Signal);
        FailDamaged(AFileName, "the reader was killed by signal " + std::to_string(Signal) + " (" +
                                   (Name ? Name : "unknown signal") + ")");
    }
    const int Exit = WIFEXITED(ARun.Status) ? WEXITSTATUS(ARun.Status) : -1;
    if (Exit == ReaderOutOfMemory)
        FailDamaged(AFileName, "the reader ran out of memory");
    if (Exit == ReaderError) {
        // The reader's own message, naming the file as it was given.
        const std::string Message(reinterpret_cast<const char*>(ARun.Out.get()), ARun.OutSize);
        const std::string Prefix = "Cannot open database \"" + AFileName + "\": ";
        if (Message.size() > Prefix.size() && Message.compare(0, Prefix.size(), Prefix) == 0)
            throw TDatabaseError(Message);
        if (!OutOfMemory.empty())
            FailDamaged(AFileName, "the reader ran out of memory");
    }
    if (Exit != 0) {
        const std::string Line = LastLine(ARun.ErrTail);
        FailDamaged(AFileName, "the reader ended with status " + std::to_string(Exit) +
                                   (Line.empty() ? "" : ": " + Line));
    }
    // A reader that ends well and hands over nothing is at fault itself, not the file.
    if (ARun.OutSize == 0)
        Fail(AFileName, "the Access reader " + AProgram + " ended without handing over a copy of the file");
    if (!IsWholeImage(ARun.Out.get(), ARun.OutSize))
        FailDamaged(AFileName, "the reader's copy is incomplete (" + std::to_string(ARun.OutSize) +
                                   " bytes)");
}


} // namespace

sqlite3* LoadAccessDatabase(const std::string& AFileName) {
    const std::string Program = FindReader(AFileName);

    TAccessReaderLimits Limits;
    {
        TSettings& Shared = Settings();
        const std::lock_guard Lock(Shared.Mutex);
        Limits = Shared.Limits;
    }
    std::error_code Error;
    const std::uintmax_t FileSize = std::filesystem::file_size(AFileName, Error);
    const std::uint64_t Size = Error ? 0 : FileSize;
    if (Limits.MemoryBytes == 0)
        Limits.MemoryBytes = (std::uint64_t{1} << 30) + 8 * Size;
    if (Limits.Seconds == 0)
        Limits.Seconds = static_cast<unsigned>(30 + Size / (2 << 20));

    TReaderRun Run = RunReader(Program, AFileName, Limits.MemoryBytes, Limits.Seconds);
    FailUnlessWhole(Run, AFileName, Program, Limits);
    return OpenImage(AFileName, Run);
}

void InstallAccessReader() { SetAccessReader(&LoadAccessDatabase); }

#ifdef CORVENA_TEST_SEAMS
// The tests' other reader and limits (declared in the tests' AccessSeams.h).
void SetAccessReaderProgram(const std::string& AProgram) {
    TSettings& Shared = Settings();
    const std::lock_guard Lock(Shared.Mutex);
    Shared.Program = AProgram;
}

void SetAccessReaderLimits(const TAccessReaderLimits& ALimits) {
    TSettings& Shared = Settings();
    const std::lock_guard Lock(Shared.Mutex);
    Shared.Limits = ALimits;
}
#endif
