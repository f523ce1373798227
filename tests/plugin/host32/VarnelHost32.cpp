// The song-request host's side of `_2DB`, as a 32-bit program: built for i386 Linux (run under
// qemu-i386, loading libVarnel.so) and for i686 Windows (run under wine, loading Varnel.dll
// against a Windows sqlite3.dll). Calls the export many times, through a stdcall function
// pointer with both records by value and through an argument block laid out by hand. Checks
// that the callee pops exactly its 124 bytes, that every string's reference count comes back,
// that the caller's x87 control word survives and that the rows are written; then plays the
// table of the host's connection cases and prints its outcomes.
//   varnel_host32 PLUGIN
#include "VelConnectionCases.h"
#include "VelTestSupport.h"

#include <sqlite3.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

static_assert(sizeof(void*) == 4, "the host is a 32-bit program");
static_assert(VelArgumentBytes == 124);

// Copies the 124-byte argument block onto the stack as the host lays it out (the records by
// value in declaration order from the lowest address), leaves the stack 4-aligned but not
// 16-aligned at the call as a Windows caller may, calls AFunc, and stores in *APopped how far
// the callee moved the stack pointer; returns the callee's result.
extern "C" __attribute__((naked, noinline)) std::int32_t
VelCallRaw(const void* /*AFunc*/, const void* /*AArgs*/, std::uint32_t* /*APopped*/) {
    asm(R"(
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    pushl %ebx
    andl $-16, %esp
    subl $124, %esp
    movl %esp, %edi
    movl 12(%ebp), %esi
    movl $124, %ecx
    cld
    rep movsb
    movl %esp, %ebx
    call *8(%ebp)
    movl %esp, %edx
    subl %ebx, %edx
    movl 16(%ebp), %ecx
    movl %edx, (%ecx)
    leal -12(%ebp), %esp
    popl %ebx
    popl %edi
    popl %esi
    popl %ebp
    ret
)");
}

namespace {

int Failures = 0;

void Check(bool AOk, const std::string& AWhat) {
    if (!AOk) {
        ++Failures;
        std::fprintf(stderr, "FAILED: %s\n", AWhat.c_str());
    }
}

std::uintptr_t StackPointer() {
    std::uintptr_t Sp;
    asm volatile("movl %%esp, %0" : "=r"(Sp));
    return Sp;
}

std::uint16_t X87ControlWord() {
    std::uint16_t Word;
    asm volatile("fnstcw %0" : "=m"(Word));
    return Word;
}

void SetX87ControlWord(std::uint16_t AWord) {
    asm volatile("fldcw %0" : : "m"(AWord));
}

std::u16string U16(const std::string& AAscii) {
    return {AAscii.begin(), AAscii.end()};
}

std::string SongPath(int AIndex, bool AUpper) {
    char Text[32];
    std::snprintf(Text, sizeof Text, AUpper ? "D:\\SONGS\\%03d.MPG" : "D:\\Songs\\%03d.mpg",
                  AIndex);
    return Text;
}

// The stack image of one call: Soft at 0, the connection at 16, the song at 20.
std::array<unsigned char, VelArgumentBytes> ArgumentBlock(const TVodSoft& ASoft, sqlite3* ADb,
                                                          const TVelSongInfo& AInfo) {
    std::array<unsigned char, VelArgumentBytes> Block{};
    std::memcpy(Block.data(), &ASoft, 16);
    std::memcpy(Block.data() + 16, &ADb, 4);
    std::memcpy(Block.data() + 20, &AInfo, 104);
    return Block;
}

// Calls through the argument block; checks the pop and returns the result.
std::int32_t CallRaw(T2DBFunc AFunc, const TVodSoft& ASoft, sqlite3* ADb, const TVelSongInfo& AInfo,
                     const std::string& AWhat) {
    const auto Block = ArgumentBlock(ASoft, ADb, AInfo);
    std::uint32_t Popped = 0;
    const std::int32_t Result =
        VelCallRaw(reinterpret_cast<const void*>(AFunc), Block.data(), &Popped);
    Check(Popped == VelArgumentBytes,
          AWhat + ": the callee popped " + std::to_string(Popped) + " bytes");
    return Result;
}

// The export, loaded as the host loads the plug-in; null (with the reason printed) on failure.
T2DBFunc Load2DB(const char* APlugin) {
#if defined(_WIN32)
    const HMODULE Library = LoadLibraryA(APlugin);
    const FARPROC Symbol = Library ? GetProcAddress(Library, "_2DB") : nullptr;
    if (Symbol == nullptr) {
        std::fprintf(stderr, "cannot load _2DB from %s: error %lu\n", APlugin, GetLastError());
        return nullptr;
    }
    // void (*)() stands between any two function types.
    return reinterpret_cast<T2DBFunc>(reinterpret_cast<void (*)()>(Symbol));
#else
    void* Library = dlopen(APlugin, RTLD_NOW | RTLD_LOCAL);
    void* Symbol = Library ? dlsym(Library, "_2DB") : nullptr;
    if (Symbol == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return nullptr;
    }
    return reinterpret_cast<T2DBFunc>(Symbol);
#endif
}

int RunCalls(T2DBFunc Func, const std::string& AFile) {
    sqlite3* Db = VelConnection::Open(AFile, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (Db == nullptr || VelConnection::Exec(Db, SchemaText(TSchemaKind::Local)) != SQLITE_OK) {
        std::fprintf(stderr, "cannot create %s\n", AFile.c_str());
        return 1;
    }
    sqlite3_exec(Db, "pragma journal_mode=WAL; pragma synchronous=NORMAL", nullptr, nullptr,
                 nullptr);

    TVelStringPool Pool;
    const TVodSoft Soft{7, Pool.Make(u"Factory"), Pool.Make(u"1.0", -1), nullptr};

    // New songs without a number, through the function pointer: each call numbers the song,
    // looks up its language and inserts it. A callee popping a different amount than the
    // compiler expects moves the stack pointer from one iteration to the next.
    constexpr int TypedCalls = 150;
    const std::uintptr_t StackBefore = StackPointer();
    int TypedFailed = 0;
    bool StackSteady = true;
    for (int I = 0; I < TypedCalls; ++I) {
        StackSteady = StackSteady && StackPointer() == StackBefore;
        TVelSongInfo Info{};
        Info.SongName = Pool.Make(U16("Song " + std::to_string(I)));
        Info.FilePath = Pool.Make(U16(SongPath(I, false)));
        Info.LanguageName = Pool.Make(u"国语");
        Info.PublishDate = 45000.5;
        TypedFailed += Func(Soft, Db, Info) != 0;
    }
    Check(StackSteady && StackPointer() == StackBefore,
          "the stack pointer moved across calls through the function pointer");
    Check(TypedFailed == 0, std::to_string(TypedFailed) + " inserts failed");

    // Updates of the first 100 songs (path in upper case, numbers given) through the block.
    constexpr int RawCalls = 100;
    for (int I = 0; I < RawCalls; ++I) {
        TVelSongInfo Info{};
        char Number[8];
        std::snprintf(Number, sizeof Number, "K%03d", I);
        Info.SongNumber = Pool.Make(U16(Number));
        Info.SongName = Pool.Make(u"Updated");
        Info.FilePath = Pool.Make(U16(SongPath(I, true)));
        Info.LanguageName = Pool.Make(u"国语");
        Check(CallRaw(Func, Soft, Db, Info, "update " + std::to_string(I)) == 0,
              "update " + std::to_string(I) + " failed");
    }

    // The early return and a failure pop the same 124 bytes, with the x87 control word a
    // Delphi host runs with (invalid operation, division by zero and overflow unmasked).
    const std::uint16_t OwnControlWord = X87ControlWord();
    SetX87ControlWord(0x1332);
    // As the FPU holds it: a real x87 reads the reserved bit 6 as 1 (0x1372), qemu as written.
    const std::uint16_t HostControlWord = X87ControlWord();
    TVelSongInfo Rejected{};
    Rejected.FilePath = Pool.Make(u"D:\\Songs\\Nameless.mpg");
    TVelSongInfo BadDate = Rejected;
    BadDate.SongName = Pool.Make(u"Bad date");
    BadDate.PublishDate = std::nan("");
    Check(CallRaw(Func, Soft, Db, Rejected, "empty name") == -1, "an empty name was accepted");
    Check(CallRaw(Func, Soft, Db, BadDate, "NaN date") == -1, "a NaN date was accepted");
    const std::uint16_t ControlWordAfter = X87ControlWord();
    SetX87ControlWord(OwnControlWord);
    char Words[64];
    std::snprintf(Words, sizeof Words, "%04x before the calls, %04x after them", HostControlWord,
                  ControlWordAfter);
    Check(ControlWordAfter == HostControlWord,
          std::string("the x87 control word was not restored: ") + Words);

    // Every field at its offset.
    const std::string SamplePath = "D:\\Songs\\Sample.mpg";
    Check(CallRaw(Func, Soft, Db, VelSampleSong(Pool, U16(SamplePath)), "sample") == 0,
          "the sample song failed");
    Check(VelConnection::Text(Db, std::string("select ") + VelRowColumns +
                                      " from Songs where FilePath='" + SamplePath + "'") ==
              VelSampleRow(SamplePath),
          "the sample song's row differs");

    Check(VelConnection::Text(Db, "select count(*) from Songs") == std::to_string(TypedCalls + 1),
          "Songs holds " + VelConnection::Text(Db, "select count(*) from Songs") + " rows");
    Check(VelConnection::Text(Db,
                              "select count(*) from Songs where SongName='Updated' and SongNumber "
                              "like 'K%' and LanguageID=1 and FilePath like 'D:\\Songs\\%.mpg'") ==
              std::to_string(RawCalls),
          "the updated rows differ");
    Check(VelConnection::Text(Db, "select min(SongNumber) || '-' || max(SongNumber) from Songs "
                                  "where SongName like 'Song %'") == "80000100-80000149",
          "the generated numbers differ");
    Check(VelConnection::Text(Db, "select count(*) from Languages") == "1",
          "the language was added twice");
    Check(Pool.CountsAsMade(), "a reference count was not restored");
    sqlite3_close(Db);

    std::printf("varnel_host32: %d calls, each popping %zu bytes; %s\n", TypedCalls + RawCalls + 3,
                VelArgumentBytes, Failures ? "FAILED" : "ok");
    return Failures ? 1 : 0;
}

// The host's connection cases, one line each.
int RunConnectionCases(T2DBFunc Func, const std::filesystem::path& ADir) {
    std::printf("varnel_host32: the host's connection (journal, host, other, result, "
                "autocommit before -> after):\n");
    int Failed = 0;
    for (const TVelConnectionCase& Case : VelConnectionCases) {
        const std::string File = (ADir / (std::string(Case.Name) + ".mdb")).string();
        const TVelConnectionOutcome Outcome = VelRunConnectionCase(Func, Case, File);
        std::printf("  %s\n", VelDescribe(Case, Outcome).c_str());
        if (!Outcome.Failures.empty()) {
            ++Failed;
            std::printf("    %s: %s\n", Case.Name, Case.Why);
            for (const std::string& Failure : Outcome.Failures)
                std::printf("    FAILED: %s\n", Failure.c_str());
        }
    }
    std::printf("varnel_host32: %d of %zu connection cases failed\n", Failed,
                std::size(VelConnectionCases));
    return Failed ? 1 : 0;
}

// A new folder for the databases of one run.
std::filesystem::path MakeRunFolder() {
#if defined(_WIN32)
    const unsigned long Process = GetCurrentProcessId();
#else
    const unsigned long Process = static_cast<unsigned long>(getpid());
#endif
    for (int Attempt = 0;; ++Attempt) {
        const std::filesystem::path Dir =
            std::filesystem::temp_directory_path() /
            ("varnel-host32-" + std::to_string(Process) + "-" + std::to_string(Attempt));
        if (std::filesystem::create_directory(Dir))
            return Dir;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: varnel_host32 PLUGIN\n");
        return 2;
    }
    const T2DBFunc Func = Load2DB(argv[1]);
    if (Func == nullptr)
        return 1;
    int Result = 1;
    std::filesystem::path Dir;
    try {
        Dir = MakeRunFolder();
        Result = RunCalls(Func, (Dir / "Ktv.mdb").string());
        Result |= RunConnectionCases(Func, Dir);
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "%s\n", AError.what());
        Result = 1;
    }
    std::error_code Ignored;
    if (!Dir.empty())
        std::filesystem::remove_all(Dir, Ignored);
    return Result;
}
