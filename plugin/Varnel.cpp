#include "Varnel.h"

#include "Connection.h"
#include "SQLiteEngine.h"
#include "Savepoint.h"
#include "SongWriter.h"
#include "Utf8.h"

#include <array>
#include <atomic>
#include <cfenv>

// The host may call with the stack only 4-aligned, while GCC's i386 code assumes 16.
#if defined(__i386__)
#define VARNEL_ENTRY __attribute__((force_align_arg_pointer))
#else
#define VARNEL_ENTRY
#endif

namespace {

// Changes nothing, but a write statement takes the write lock (waiting out the busy timeout).
constexpr const char* SqlTakeWriteLock = "delete from Songs where 0";

TVelStringHeader* HeaderOf(TVelString AText) {
    return reinterpret_cast<TVelStringHeader*>(reinterpret_cast<unsigned char*>(AText) -
                                               sizeof(TVelStringHeader));
}

// One reference to every non-null string of both records for the duration of the call. The
// caller holds its own reference throughout, so the count never reaches 0 here.
class TVelStringRefs {
public:
    TVelStringRefs(const TVodSoft& ASoft, const TVelSongInfo& AInfo) noexcept
        : FStrings{ASoft.FactoryName,  ASoft.VersionCode, ASoft.VersionName, AInfo.SongNumber,
                   AInfo.SongName,     AInfo.FilePath,    AInfo.SingerName,  AInfo.PYCode,
                   AInfo.LanguageName, AInfo.TypeName,    AInfo.SongTag,     AInfo.MtvStyle,
                   AInfo.MusicStyle,   AInfo.MediaType,   AInfo.Special} {
        for (const TVelString Text : FStrings)
            if (std::int32_t* Count = Counted(Text))
                std::atomic_ref<std::int32_t>(*Count).fetch_add(1);
    }
    ~TVelStringRefs() {
        for (const TVelString Text : FStrings)
            if (std::int32_t* Count = Counted(Text))
                std::atomic_ref<std::int32_t>(*Count).fetch_sub(1);
    }
    TVelStringRefs(const TVelStringRefs&) = delete;
    TVelStringRefs& operator=(const TVelStringRefs&) = delete;

private:
    // The count of a string that is released, or null for null and constant strings (whose
    // negative count never changes, so reading it once is enough).
    static std::int32_t* Counted(TVelString AText) noexcept {
        if (AText == nullptr)
            return nullptr;
        std::int32_t* Count = &HeaderOf(AText)->RefCount;
        return std::atomic_ref<std::int32_t>(*Count).load() >= 0 ? Count : nullptr;
    }

    std::array<TVelString, 15> FStrings;
};

// Runs the call with every floating-point exception masked and leaves the caller's control
// words and flags as they were: a host that unmasks exceptions (as Delphi programs do) would
// otherwise trap on SQLite's arithmetic or the NaN check of PublishDate.
class TFloatEnvironment {
public:
    TFloatEnvironment() noexcept { FSaved = std::feholdexcept(&FEnv) == 0; }
    ~TFloatEnvironment() {
        if (FSaved)
            std::fesetenv(&FEnv);
    }
    TFloatEnvironment(const TFloatEnvironment&) = delete;
    TFloatEnvironment& operator=(const TFloatEnvironment&) = delete;

private:
    std::fenv_t FEnv;
    bool FSaved = false;
};

} // namespace

std::string VelStringToUtf8(const TVelString AText) {
    if (AText == nullptr)
        return {};
    const std::int32_t Length = HeaderOf(AText)->Length;
    if (Length < 0)
        throw TDatabaseError("A string of the song record has a negative length");
    return Utf16ToUtf8(AText, static_cast<std::size_t>(Length));
}

TKtvSongInfo VelSongToKtv(const TVelSongInfo& AInfo) {
    TKtvSongInfo Result;
    Result.SongNumber = VelStringToUtf8(AInfo.SongNumber);
    Result.SongName = VelStringToUtf8(AInfo.SongName);
    Result.FilePath = VelStringToUtf8(AInfo.FilePath);
    Result.SingerName = VelStringToUtf8(AInfo.SingerName);
    Result.PYCode = VelStringToUtf8(AInfo.PYCode);
    Result.CharsCount = AInfo.CharsCount;
    Result.StrokesNumber = AInfo.StrokesNumber;
    Result.LanguageID = AInfo.LanguageID;
    Result.LanguageName = VelStringToUtf8(AInfo.LanguageName);
    Result.TypeID = AInfo.TypeID;
    Result.TypeName = VelStringToUtf8(AInfo.TypeName);
    Result.PublishDate = AInfo.PublishDate;
    Result.Track = AInfo.Track;
    Result.Sound = AInfo.Sound;
    Result.MediaType = VelStringToUtf8(AInfo.MediaType);
    Result.FileSize = AInfo.FileSize;
    Result.Special = VelStringToUtf8(AInfo.Special);
    Result.IsNew = AInfo.IsNew != 0;
    Result.DemandTimes = AInfo.DemandTimes;
    return Result;
}

bool AddSong(TConnection& AConnection, TKtvSongInfo AInfo) {
    if (AInfo.SongName.empty())
        return false;
    // Only a record that brings its own number gets its type looked up.
    if (AInfo.TypeID == 0 && !AInfo.SongNumber.empty())
        AInfo.TypeID = PlugInTypeID(AConnection, AInfo.TypeName);
    if (AInfo.LanguageID == 0)
        AInfo.LanguageID = PlugInLanguageID(AConnection, AInfo.LanguageName);
    TSongWriter Writer(AConnection, PlugInWriteRules());
    TSongWriteResult Result;
    Writer.Write(AInfo, Result);
    return Result.Changed;
}

extern "C" VARNEL_EXPORT VARNEL_ENTRY std::int32_t VARNEL_STDCALL
_2DB(TVodSoft ASoft, sqlite3* AConnection, TVelSongInfo ASongInfo) noexcept {
    const TFloatEnvironment FloatEnvironment;
    const TVelStringRefs Refs(ASoft, ASongInfo);
    // Nothing may unwind into the host: every failure, including those of the lookups, the
    // existence check, binding and an invalid PublishDate, is the result -1. Rows the lookups
    // added to SongTypes and Languages stay.
    try {
        TConnection Connection(TSQLiteEngine::Borrow(AConnection));
        TKtvSongInfo Info = VelSongToKtv(ASongInfo);
        if (Info.SongName.empty())
            return -1; // rejected without touching the database
        // The call is one savepoint, so it also works inside a transaction of the host's, and
        // whatever fails leaves the connection in or out of a transaction as it was: inside
        // the host's, rolled back to the savepoint; otherwise rolled back whole.
        TSavepoint Call(Connection, "Varnel_2DB");
        // A savepoint alone starts deferred: the harmless write takes the write lock before the
        // first read, so no other writer can add the same type, language or song, or hand out
        // the same greatest number + 1, between our lookups and our inserts. It waits as long
        // as the host's own busy timeout; a lock not had then (another writer, a host
        // transaction whose snapshot cannot write) fails the call. Other errors (no table
        // Songs) leave the statements below to fail on their own.
        try {
            ExecuteDirect(Connection, SqlTakeWriteLock);
        } catch (const TDatabaseError& AError) {
            if (AError.DatabaseUnusable())
                return -1;
        }
        bool Written = false;
        try {
            Written = AddSong(Connection, std::move(Info));
        } catch (...) {
            // A failure anywhere (a lookup, the existence check, binding, the song statement)
            // gives -1; what the lookups added stays, as without the savepoint.
            Call.Release();
            return -1;
        }
        // Commits when the savepoint began the transaction; a commit that fails (readers of a
        // rollback journal's file) undoes the whole call and gives -1, so 0 is only returned
        // for a row the connection really holds.
        Call.Release();
        return Written ? 0 : -1;
    } catch (...) {
        return -1;
    }
}
