// TSongsThrd: the base of the wizard's catalogue workers. It owns the catalogue operations the
// workers run (lookups on the local database and the song writer) and has no thread body of
// its own.
//
// Lifetime rule for what a worker borrows: the window that opens the connections and collects
// the file list holds them through std::shared_ptr and hands copies to each worker. When the
// window closes it only drops its own references; a worker still running keeps the connection
// (and the list) alive, and the last holder closes the connection. So the window never waits
// for a worker (which may be blocked in a synchronous message to the window's thread), and a
// worker never touches a closed connection or freed list. Workers must not keep references
// beyond their own lifetime: they release themselves when they finish.
#pragma once

#include "Catalogue.h"
#include "SongWriter.h"

#include <QThread>

#include <cstdint>
#include <memory>
#include <string>

using TConnectionRef = std::shared_ptr<TConnection>;

class TSongsThrd : public QThread {
    Q_OBJECT
public:
    // Stores the three values; the thread is created not started and deletes itself (on the
    // creating thread's event loop) once it has finished. The creator starts it.
    TSongsThrd(std::uintptr_t AOwnerHandle, TConnectionRef ACnnLocal, TConnectionRef ACnnTotal);
    ~TSongsThrd() override;

    // A new query on the connection holding the statement, prepared.
    static std::unique_ptr<TQuery> CreateQuery(TConnection& AConnection, const std::string& ASQL);

    // Lookups on FCnnLocal; their selects are compiled once for the worker (FQueries).
    TOptionalID GetTypeID(const std::string& ATypeName, bool AAutoInsert = true);
    TOptionalID GetLanguageID(const std::string& ALanguageName, bool AAutoInsert = true);
    TOptionalID GetDiscoTypeID(const std::string& ATypeName);

    // Writes the song through TSongWriter with the index worker's rules (IndexerWriteRules):
    // into Songs (insert, or update of every row with its path when AOverWrite), with the disco
    // mirror. True when the song statement, or for a disco song the mirror's statement, changed
    // a row. Database errors propagate; a song row already written stays, the disco step is
    // undone whole. The caller's transaction, if any, decides when all of it is committed.
    // AWrite, when given, receives what happened to the Songs row, set as soon as it is written
    // (so it holds even when the disco step then fails).
    bool SaveSong(const TKtvSongInfo& AInfo, bool AOverWrite, TSongWrite* AWrite = nullptr);

protected:
    void run() override = 0;

    std::uintptr_t FOwnerHandle;
    TConnectionRef FCnnLocal;
    TConnectionRef FCnnTotal;
    // The lookups' and the writer's statements, prepared once and re-bound for every song.
    // Declared after the connections so its statements go first. A body clears it on its
    // own thread when it ends.
    TQueryCache FQueries;
};
