// The song-request host's side of `_2DB`, as a 32-bit program: loads the i386 libVarnel.so and
// calls the export many times, through a stdcall function pointer with both records by value
// and through an argument block laid out by hand. Checks that the callee pops exactly its 124
// bytes, that every string's reference count comes back, that the caller's x87 control word
// survives and that the rows are written.
//   varnel_host32 LIBVARNEL
#include "Schema.h"
#include "VelTestSupport.h"

#include <sqlite3.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

static_assert(sizeof(void*) == 4, "the host is a 32-bit program");
static_assert(VelArgumentBytes == 124);

// std::int32_t VelCallRaw(const void* AFunc, const void* AArgs, std::uint32_t* APopped):
// copies the 124-byte argument block onto the stack as the host lays it out (the records by
// value in declaration order from the lowest address), leaves the stack 4-aligned but not
// 16-aligned at the call as a Windows caller may, calls, and stores how far the callee moved
// the stack pointer.
extern "C" std::int32_t VelCallRaw(const void* AFunc, const void* AArgs, std::uint32_t* APopped);
asm(R"(
    .pushsection .text
    .globl VelCallRaw
    .type VelCallRaw, @function
VelCallRaw:
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
    .size VelCallRaw, .-VelCallRaw
    .popsection
)");

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

std::string Query(sqlite3* ADb, const std::string& ASql) {
    sqlite3_stmt* Stmt = nullptr;
    std::string Result = "<" + std::string(sqlite3_errmsg(ADb)) + ">";
    if (sqlite3_prepare_v2(ADb, ASql.c_str(), -1, &Stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(Stmt) == SQLITE_ROW && sqlite3_column_text(Stmt, 0) != nullptr)
        Result = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 0));
    sqlite3_finalize(Stmt);
    return Result;
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

int Run(const char* ALibrary, const std::string& AFile) {
    void* Library = dlopen(ALibrary, RTLD_NOW | RTLD_LOCAL);
    void* Symbol = Library ? dlsym(Library, "_2DB") : nullptr;
    if (Symbol == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    const auto Func = reinterpret_cast<T2DBFunc>(Symbol);

    CreateDatabase(AFile, TSchemaKind::Local);
    sqlite3* Db = nullptr;
    if (sqlite3_open_v2(AFile.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return 1;
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
    TVelSongInfo Rejected{};
    Rejected.FilePath = Pool.Make(u"D:\\Songs\\Nameless.mpg");
    TVelSongInfo BadDate = Rejected;
    BadDate.SongName = Pool.Make(u"Bad date");
    BadDate.PublishDate = std::nan("");
    Check(CallRaw(Func, Soft, Db, Rejected, "empty name") == -1, "an empty name was accepted");
    Check(CallRaw(Func, Soft, Db, BadDate, "NaN date") == -1, "a NaN date was accepted");
    const std::uint16_t ControlWordAfter = X87ControlWord();
    SetX87ControlWord(OwnControlWord);
    Check(ControlWordAfter == 0x1332, "the x87 control word was not restored");

    // Every field at its offset.
    const std::string SamplePath = "D:\\Songs\\Sample.mpg";
    Check(CallRaw(Func, Soft, Db, VelSampleSong(Pool, U16(SamplePath)), "sample") == 0,
          "the sample song failed");
    Check(Query(Db, std::string("select ") + VelRowColumns + " from Songs where FilePath='" +
                        SamplePath + "'") == VelSampleRow(SamplePath),
          "the sample song's row differs");

    Check(Query(Db, "select count(*) from Songs") == std::to_string(TypedCalls + 1),
          "Songs holds " + Query(Db, "select count(*) from Songs") + " rows");
    Check(Query(Db, "select count(*) from Songs where SongName='Updated' and SongNumber "
                    "like 'K%' and LanguageID=1 and FilePath like 'D:\\Songs\\%.mpg'") ==
              std::to_string(RawCalls),
          "the updated rows differ");
    Check(Query(Db, "select min(SongNumber) || '-' || max(SongNumber) from Songs "
                    "where SongName like 'Song %'") == "80000100-80000149",
          "the generated numbers differ");
    Check(Query(Db, "select count(*) from Languages") == "1", "the language was added twice");
    Check(Pool.CountsAsMade(), "a reference count was not restored");
    sqlite3_close(Db);

    std::printf("varnel_host32: %d calls, each popping %zu bytes; %s\n", TypedCalls + RawCalls + 3,
                VelArgumentBytes, Failures ? "FAILED" : "ok");
    return Failures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: varnel_host32 LIBVARNEL\n");
        return 2;
    }
    char Dir[] = "/tmp/varnel-host32-XXXXXX";
    if (mkdtemp(Dir) == nullptr)
        return 1;
    int Result = 1;
    try {
        Result = Run(argv[1], std::string(Dir) + "/Ktv.mdb");
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "%s\n", AError.what());
    }
    std::error_code Ignored;
    std::filesystem::remove_all(Dir, Ignored);
    return Result;
}
