// TSongWriter: the one song write of the system (exists -> update or insert, and the disco
// mirror), without Qt. The index worker (the wizard and corvena-index, through
// TSongsThrd::SaveSong) and the plug-in's _2DB both write through it; what differs between them
// is given as TSongWriteRules, and the rest (the identifier lookups, the result code, the
// transaction and what a failure leaves of it) is the caller's.
//
// The writer never begins or ends a transaction: it works in autocommit, in the caller's
// transaction, or in a savepoint per song inside a caller's transaction (whole files committed in
// groups). Its own disco step is a savepoint nested in whatever the caller holds.
//
// Thread safety: a writer belongs to the one thread that uses it, as do its queries.
#pragma once

#include "QueryCache.h"
#include "SongRecord.h"

#include <cstdint>
#include <string>

// Numbers the plug-in generates for songs without one start here.
inline constexpr std::int32_t GeneratedSongNumberFloor = 80000000;

// What a write did with the song's Songs row.
enum class TSongWrite {
    Kept,     // present and not to be overwritten: nothing written
    Inserted, // a new row
    Updated,  // the rows with its path rewritten
};

struct TSongWriteRules {
    // A song already there (by path, in any letter case) is rewritten: every Songs row with its
    // path gets the record, the path itself unchanged. False keeps it as it is.
    bool OverWrite = true;
    // A record without a song number gets one above the greatest in use, from this floor on
    // (NextSongNumber); 0 writes numbers as given.
    std::int32_t NumberFloor = 0;
    // Keeps one Discos mirror for a song of a disco type and none for any other song written;
    // false leaves Discos alone.
    bool DiscoMirror = false;
};

// The index worker's writes: numbers as the master gives them, the disco mirror kept, songs
// already there rewritten only when AOverWrite.
TSongWriteRules IndexerWriteRules(bool AOverWrite);
// _2DB's writes: a song already there is rewritten, a missing number generated from
// GeneratedSongNumberFloor, Discos left alone.
TSongWriteRules PlugInWriteRules();

struct TSongWriteResult {
    TSongWrite Write = TSongWrite::Kept; // set as soon as the Songs row is written
    // The last statement that counts changed a row: the song statement, or for a song of a disco
    // type with the mirror kept, the mirror's statement.
    bool Changed = false;
};

class TSongWriter {
public:
    // Writes through AConnection by ARules. AQueries keeps the statements compiled for later
    // songs (a run); without it the writer compiles its own, which go with it (the plug-in keeps
    // nothing on the host's connection between calls).
    TSongWriter(TConnection& AConnection, const TSongWriteRules& ARules, TQueryCache* AQueries = nullptr);

    // Writes AInfo as the rules say. The path is compared as the database compares it, and in
    // every script's letter case (a song stored as é.mpg is the song of É.MPG; the statements then
    // use the stored path). The disco mirror of a written song of a disco type is updated, or
    // inserted when there is none (one left without its song row is taken over), and repeats
    // left by older versions go; a written song of another type, or of none, loses its mirror.
    // Database errors propagate; AResult then holds what had been done: a song row written stays,
    // the disco step is undone whole.
    void Write(const TKtvSongInfo& AInfo, TSongWriteResult& AResult);

private:
    TQuery& Query(const char* ASQL);
    // The mirror of a written song; true when its statement changed a row.
    bool WriteMirror(const TKtvSongInfo& AInfo, std::int32_t ADiscoTypeID);

    TConnection& FConnection;
    TSongWriteRules FRules;
    TQueryCache FOwnQueries;
    TQueryCache& FQueries;
};

// One above the greatest song number in text order when that reads as a 32-bit number of at
// least AFloor that has a 32-bit successor; AFloor in every other case, errors included.
std::string NextSongNumber(TConnection& AConnection, std::int32_t AFloor, TQueryCache* AQueries = nullptr);
