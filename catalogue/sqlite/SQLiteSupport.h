// What the SQLite engine's connection and statements share; included by them only, so that
// sqlite3.h stays out of every other header.
#pragma once

#include "DbError.h"

#include <sqlite3.h>

// Holds a connection's mutex, so that a step and what is read after it (the change count, the
// error message) belong together even when another thread shares the connection.
class TSQLiteLock {
public:
    explicit TSQLiteLock(sqlite3* ADb) : FMutex(sqlite3_db_mutex(ADb)) { sqlite3_mutex_enter(FMutex); }
    ~TSQLiteLock() { sqlite3_mutex_leave(FMutex); }
    TSQLiteLock(const TSQLiteLock&) = delete;
    TSQLiteLock& operator=(const TSQLiteLock&) = delete;

private:
    sqlite3_mutex* FMutex;
};

// Whether an extended result code means the database has stopped working (locked past the busy
// timeout, disk full, I/O error, damaged or read-only file, out of memory) or a statement failed.
inline TDbFailure SQLiteFailure(int ACode) {
    switch (ACode & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
    case SQLITE_PROTOCOL:
        return TDbFailure::Unusable;
    default:
        return TDbFailure::Statement;
    }
}

// The connection's last error in its own words, with its code; read under TSQLiteLock.
inline TDatabaseError SQLiteError(sqlite3* ADb) {
    const int Code = sqlite3_extended_errcode(ADb);
    return TDatabaseError(sqlite3_errmsg(ADb), Code, SQLiteFailure(Code));
}
