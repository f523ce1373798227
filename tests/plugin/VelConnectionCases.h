// What `_2DB` leaves of the host's connection: a table over the journal mode, the host's own
// transaction and what another connection holds during the call, and one runner that plays a
// case against the loaded export. The native tests and both 32-bit test hosts (i386 Linux, i686
// Windows with a Windows sqlite3.dll) compile this same file, so every build meets the same
// table. Plain SQLite calls only: the hosts have no test framework.
#pragma once

#include "Schema.h"
#include "VelTestSupport.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class TVelJournal { Wal, Delete };

// The host's connection when it calls.
enum class TVelHostState {
    Autocommit,
    Deferred,  // BEGIN and a read: a read transaction holding its snapshot
    Immediate, // BEGIN IMMEDIATE and a write of its own
};

// What another connection to the file does around the call.
enum class TVelOther {
    Alone,
    Reader,    // a read transaction open (arranged after the host's), ended after the call
    Writer,    // BEGIN IMMEDIATE and an insert, committed after the call (when it got the lock)
    Committed, // an insert committed after the host began, nothing held during the call
};

struct TVelConnectionCase {
    const char* Name;
    TVelJournal Journal;
    TVelHostState Host;
    TVelOther Other;
    // What the call must return; 0 also means that its song (and the language it looked up)
    // is in the file once the host has committed, -1 that neither is.
    std::int32_t Result;
    const char* Why;
};

// Busy timeout of the host's connection: the call waits for locks as long as the host would.
inline constexpr int VelHostBusyTimeoutMs = 50;

inline constexpr TVelConnectionCase VelConnectionCases[] = {
    {"WalAutocommitAlone", TVelJournal::Wal, TVelHostState::Autocommit, TVelOther::Alone, 0,
     "nothing in the way; the release commits"},
    {"WalAutocommitReader", TVelJournal::Wal, TVelHostState::Autocommit, TVelOther::Reader, 0,
     "WAL readers block neither a writer nor its commit"},
    {"WalAutocommitWriter", TVelJournal::Wal, TVelHostState::Autocommit, TVelOther::Writer, -1,
     "the write lock stays taken past the host's busy timeout; our savepoint began the "
     "transaction, so ROLLBACK ends it"},
    {"WalAutocommitCommitted", TVelJournal::Wal, TVelHostState::Autocommit, TVelOther::Committed, 0,
     "the call starts from the newest snapshot"},
    {"WalDeferredAlone", TVelJournal::Wal, TVelHostState::Deferred, TVelOther::Alone, 0,
     "the host's snapshot is the newest, so its transaction can start writing; the row is "
     "the host's to commit"},
    {"WalDeferredReader", TVelJournal::Wal, TVelHostState::Deferred, TVelOther::Reader, 0,
     "another reader does not stop a WAL writer"},
    {"WalDeferredWriter", TVelJournal::Wal, TVelHostState::Deferred, TVelOther::Writer, -1,
     "a read transaction cannot wait for the write lock (SQLite answers busy at once, as "
     "waiting could deadlock): back to our savepoint, the host's transaction as it was"},
    {"WalDeferredCommitted", TVelJournal::Wal, TVelHostState::Deferred, TVelOther::Committed, -1,
     "the host's snapshot is older than the file: that transaction can never write; back to "
     "our savepoint, the host's transaction as it was"},
    {"WalImmediateAlone", TVelJournal::Wal, TVelHostState::Immediate, TVelOther::Alone, 0,
     "the host holds the write lock; the row joins its transaction"},
    {"WalImmediateReader", TVelJournal::Wal, TVelHostState::Immediate, TVelOther::Reader, 0,
     "the host holds the write lock; readers do not matter"},
    {"WalImmediateWriter", TVelJournal::Wal, TVelHostState::Immediate, TVelOther::Writer, 0,
     "the host holds the write lock, so the other writer is refused it"},
    {"WalImmediateCommitted", TVelJournal::Wal, TVelHostState::Immediate, TVelOther::Committed, 0,
     "the host holds the write lock, so the other write is refused"},

    {"DeleteAutocommitAlone", TVelJournal::Delete, TVelHostState::Autocommit, TVelOther::Alone, 0,
     "nothing in the way; the release commits"},
    {"DeleteAutocommitReader", TVelJournal::Delete, TVelHostState::Autocommit, TVelOther::Reader,
     -1,
     "the release is the commit, which needs the file to itself; the reader's shared lock "
     "outlasts the busy timeout: ROLLBACK, and the connection is in autocommit again"},
    {"DeleteAutocommitWriter", TVelJournal::Delete, TVelHostState::Autocommit, TVelOther::Writer,
     -1, "the other writer's lock outlasts the host's busy timeout: ROLLBACK"},
    {"DeleteAutocommitCommitted", TVelJournal::Delete, TVelHostState::Autocommit,
     TVelOther::Committed, 0, "the other write is over before the call"},
    {"DeleteDeferredAlone", TVelJournal::Delete, TVelHostState::Deferred, TVelOther::Alone, 0,
     "the host's shared lock becomes the write lock; the row is the host's to commit"},
    {"DeleteDeferredReader", TVelJournal::Delete, TVelHostState::Deferred, TVelOther::Reader, 0,
     "readers allow the write lock; releasing inside the host's transaction commits nothing "
     "(the host's COMMIT does, once the reader has gone)"},
    {"DeleteDeferredWriter", TVelJournal::Delete, TVelHostState::Deferred, TVelOther::Writer, -1,
     "another connection has the write lock and a read transaction cannot wait for it: back "
     "to our savepoint"},
    {"DeleteDeferredCommitted", TVelJournal::Delete, TVelHostState::Deferred, TVelOther::Committed,
     0,
     "the host's shared lock keeps the other commit out (it is refused), so nothing is in the "
     "way"},
    {"DeleteImmediateAlone", TVelJournal::Delete, TVelHostState::Immediate, TVelOther::Alone, 0,
     "the host holds the write lock; the row joins its transaction"},
    {"DeleteImmediateReader", TVelJournal::Delete, TVelHostState::Immediate, TVelOther::Reader, 0,
     "the host holds the write lock; our release commits nothing, the host commits once the "
     "reader has gone"},
    {"DeleteImmediateWriter", TVelJournal::Delete, TVelHostState::Immediate, TVelOther::Writer, 0,
     "the host holds the write lock, so the other writer is refused it"},
    {"DeleteImmediateCommitted", TVelJournal::Delete, TVelHostState::Immediate,
     TVelOther::Committed, 0, "the host holds the write lock, so the other write is refused"},
};

// What one case did.
struct TVelConnectionOutcome {
    std::int32_t Result = 0;
    int AutocommitBefore = -1;
    int AutocommitAfter = -1;
    std::vector<std::string> Failures; // empty when the case held
};

namespace VelConnection {

inline const char* JournalName(TVelJournal AJournal) {
    return AJournal == TVelJournal::Wal ? "WAL" : "DELETE";
}
inline const char* HostName(TVelHostState AHost) {
    switch (AHost) {
    case TVelHostState::Autocommit:
        return "autocommit";
    case TVelHostState::Deferred:
        return "deferred, read";
    case TVelHostState::Immediate:
        return "immediate, wrote";
    }
    return "?";
}
inline const char* OtherName(TVelOther AOther) {
    switch (AOther) {
    case TVelOther::Alone:
        return "alone";
    case TVelOther::Reader:
        return "reader";
    case TVelOther::Writer:
        return "writer";
    case TVelOther::Committed:
        return "committed since";
    }
    return "?";
}

inline int Exec(sqlite3* ADb, const std::string& ASql) {
    return sqlite3_exec(ADb, ASql.c_str(), nullptr, nullptr, nullptr);
}

inline std::string Text(sqlite3* ADb, const std::string& ASql) {
    sqlite3_stmt* Stmt = nullptr;
    std::string Result = "<";
    Result.append(sqlite3_errmsg(ADb)).append(">");
    if (sqlite3_prepare_v2(ADb, ASql.c_str(), -1, &Stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(Stmt) == SQLITE_ROW && sqlite3_column_text(Stmt, 0) != nullptr)
        Result = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 0));
    sqlite3_finalize(Stmt);
    return Result;
}

inline sqlite3* Open(const std::string& AFile, int AFlags = SQLITE_OPEN_READWRITE) {
    sqlite3* Db = nullptr;
    if (sqlite3_open_v2(AFile.c_str(), &Db, AFlags, nullptr) != SQLITE_OK) {
        sqlite3_close(Db);
        return nullptr;
    }
    return Db;
}

// One connection, closed at the end of the scope.
class THandle {
public:
    explicit THandle(sqlite3* ADb) : FDb(ADb) {}
    ~THandle() { sqlite3_close(FDb); }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    sqlite3* Get() const { return FDb; }
    void Close() {
        sqlite3_close(FDb);
        FDb = nullptr;
    }

private:
    sqlite3* FDb;
};

} // namespace VelConnection

// Plays the case on a new database AFile (which must not exist yet):
//   the host's connection is put in its state, then the other connection in its own; one call
//   of the export (a song whose language is looked up); the other connection lets go (a reader
//   first, a writer after the host), the host commits; then a second call and a write of the
//   host's own, both in autocommit, and both connections are closed. A fresh connection then
//   looks at what the file holds.
inline TVelConnectionOutcome VelRunConnectionCase(T2DBFunc A2DB, const TVelConnectionCase& ACase,
                                                  const std::string& AFile) {
    using namespace VelConnection;
    TVelConnectionOutcome Outcome;
    const auto Check = [&Outcome](bool AOk, const std::string& AWhat) {
        if (!AOk)
            Outcome.Failures.push_back(AWhat);
    };
    const auto Done = [&Outcome](const std::string& AWhat) {
        Outcome.Failures.push_back(AWhat);
        return Outcome;
    };

    {
        THandle Setup(Open(AFile, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
        if (Setup.Get() == nullptr ||
            Exec(Setup.Get(), std::string("pragma synchronous=OFF; BEGIN;") +
                                  SchemaText(TSchemaKind::Local) + "; COMMIT") != SQLITE_OK)
            return Done("cannot create " + AFile);
        const char* Mode = ACase.Journal == TVelJournal::Wal ? "wal" : "delete";
        if (Text(Setup.Get(), std::string("pragma journal_mode=") + Mode) != Mode)
            return Done(std::string("cannot switch the journal to ") + Mode);
    }
    THandle Host(Open(AFile));
    THandle Other(Open(AFile));
    if (Host.Get() == nullptr || Other.Get() == nullptr)
        return Done("cannot open " + AFile);
    sqlite3_busy_timeout(Host.Get(), VelHostBusyTimeoutMs);
    // Waiting for the disk changes no lock: left out, the table runs in a fraction of the time.
    Exec(Host.Get(), "pragma synchronous=OFF");
    Exec(Other.Get(), "pragma synchronous=OFF");

    switch (ACase.Host) {
    case TVelHostState::Autocommit:
        break;
    case TVelHostState::Deferred:
        if (Exec(Host.Get(), "BEGIN; select count(*) from Songs") != SQLITE_OK)
            return Done("the host's read transaction failed");
        break;
    case TVelHostState::Immediate:
        if (Exec(Host.Get(),
                 "BEGIN IMMEDIATE;"
                 "insert into Languages (LanguageName) values ('Host before')") != SQLITE_OK)
            return Done("the host's write transaction failed");
        break;
    }
    // A writer or a committed write of the other connection is refused while the host holds
    // what excludes it; whatever it got is checked at the end.
    bool OtherWrote = false;
    switch (ACase.Other) {
    case TVelOther::Alone:
        break;
    case TVelOther::Reader:
        if (Exec(Other.Get(), "BEGIN; select count(*) from Songs") != SQLITE_OK)
            return Done("the other read transaction failed");
        break;
    case TVelOther::Writer:
        OtherWrote =
            Exec(Other.Get(), "BEGIN IMMEDIATE;"
                              "insert into Languages (LanguageName) values ('Other')") == SQLITE_OK;
        if (!OtherWrote)
            Exec(Other.Get(), "ROLLBACK");
        break;
    case TVelOther::Committed:
        OtherWrote =
            Exec(Other.Get(), "insert into Languages (LanguageName) values ('Other')") == SQLITE_OK;
        break;
    }

    TVelStringPool Pool;
    const TVodSoft Soft{1, Pool.Make(u"Host"), nullptr, nullptr};
    const auto Song = [&Pool](std::u16string_view AFilePath, std::u16string_view ALanguage) {
        TVelSongInfo Info = VelSampleSong(Pool, AFilePath);
        Info.LanguageID = 0;
        Info.LanguageName = Pool.Make(ALanguage);
        return Info;
    };

    Outcome.AutocommitBefore = sqlite3_get_autocommit(Host.Get());
    Outcome.Result = A2DB(Soft, Host.Get(), Song(u"D:\\Songs\\Call.mpg", u"Call"));
    Outcome.AutocommitAfter = sqlite3_get_autocommit(Host.Get());
    Check(Outcome.Result == ACase.Result, "the call returned " + std::to_string(Outcome.Result) +
                                              ", not " + std::to_string(ACase.Result));
    Check(Outcome.AutocommitAfter == Outcome.AutocommitBefore,
          "autocommit was " + std::to_string(Outcome.AutocommitBefore) + " before the call and " +
              std::to_string(Outcome.AutocommitAfter) + " after it");
    // Inside the host's transaction a savepoint left behind would only show by its name.
    if (ACase.Host != TVelHostState::Autocommit)
        Check(Exec(Host.Get(), "RELEASE \"Varnel_2DB\"") != SQLITE_OK,
              "the call left its savepoint in the host's transaction");

    if (ACase.Other == TVelOther::Reader)
        Check(Exec(Other.Get(), "COMMIT") == SQLITE_OK, "the other reader could not end");
    if (ACase.Host != TVelHostState::Autocommit)
        Check(Exec(Host.Get(), "COMMIT") == SQLITE_OK,
              std::string("the host's COMMIT failed: ") + sqlite3_errmsg(Host.Get()));
    if (ACase.Other == TVelOther::Writer && OtherWrote)
        Check(Exec(Other.Get(), "COMMIT") == SQLITE_OK,
              std::string("the other writer's COMMIT failed: ") + sqlite3_errmsg(Other.Get()));
    Check(sqlite3_get_autocommit(Host.Get()) == 1,
          "the host's connection is still inside a transaction after its COMMIT");

    const std::int32_t Later = A2DB(Soft, Host.Get(), Song(u"D:\\Songs\\Later.mpg", u"Later"));
    Check(Later == 0, "a later call returned " + std::to_string(Later));
    Check(Exec(Host.Get(), "insert into Languages (LanguageName) values ('Host after')") ==
              SQLITE_OK,
          std::string("a later write of the host failed: ") + sqlite3_errmsg(Host.Get()));
    Host.Close();
    Other.Close();

    THandle Look(Open(AFile, SQLITE_OPEN_READONLY));
    const auto Rows = [&Look](const std::string& AWhere) {
        return Text(Look.Get(), "select (select count(*) from Songs where FilePath='D:\\Songs\\" +
                                    AWhere +
                                    ".mpg') || '/' || (select count(*) from Languages "
                                    "where LanguageName='" +
                                    AWhere + "')");
    };
    const auto Language = [&Look](const std::string& AName) {
        return Text(Look.Get(),
                    "select count(*) from Languages where LanguageName='" + AName + "'");
    };
    const bool Saved = ACase.Result == 0;
    Check(Rows("Call") == (Saved ? "1/1" : "0/0"),
          "song and language of the call: " + Rows("Call") + " rows, not " +
              (Saved ? "1/1" : "0/0"));
    Check(Rows("Later") == "1/1",
          "song and language of the later call: " + Rows("Later") + " rows, not 1/1");
    Check(Language("Host before") == (ACase.Host == TVelHostState::Immediate ? "1" : "0"),
          "the host's write before the call: " + Language("Host before") + " rows");
    Check(Language("Host after") == "1",
          "the host's write after the call: " + Language("Host after") + " rows");
    Check(Language("Other") == (OtherWrote ? "1" : "0"),
          "the other connection's write: " + Language("Other") + " rows");
    return Outcome;
}

// One line of the table of outcomes.
inline std::string VelDescribe(const TVelConnectionCase& ACase,
                               const TVelConnectionOutcome& AOutcome) {
    char Line[160];
    std::snprintf(Line, sizeof Line, "%-6s  %-16s  %-15s  %2d  autocommit %d -> %d  %s",
                  VelConnection::JournalName(ACase.Journal), VelConnection::HostName(ACase.Host),
                  VelConnection::OtherName(ACase.Other), static_cast<int>(AOutcome.Result),
                  AOutcome.AutocommitBefore, AOutcome.AutocommitAfter,
                  AOutcome.Failures.empty() ? "ok" : "FAILED");
    return Line;
}
