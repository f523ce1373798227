// Access master catalogues, read in a child process: the program corvena-access-reader reads
// the file through libmdb (which a damaged file can crash, or send into a loop that eats memory)
// under memory and processor-time limits, and hands back the SQLite image of its copy.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;

// Reads the Access file AFileName whole, through the reader program, into a new private
// in-memory SQLite database and returns it open (serialised, writes refused): every user table,
// every column and row, text as TEXT COLLATE NOCASE in UTF-8, every FilePath column indexed.
// On this connection NOCASE ignores letter case in every script (CompareFolded), as Access
// does: È equals è.
// Throws TDatabaseError("Cannot open database \"FILE\": REASON") when the file cannot be read
// whole; REASON names what is damaged or unsupported, or what became of the reader (killed by
// a signal, out of memory, out of time).
sqlite3* LoadAccessDatabase(const std::string& AFileName);

// Lets every share-deny-none connection of this program read Access files with the above.
void InstallAccessReader();

// The reader program is looked for, first found wins, beside this program (the folder of
// /proc/self/exe), then in ../libexec/corvena/ from there, then (in a build tree) where the build
// made it. The tests' build can name another (SetAccessReaderProgram in AccessSeams.h).

// What the reader may use. Zero: scaled from the file's size (1 GiB of address space plus
// 8 bytes a byte of the file; 30 s plus 1 s for every 2 MB, of processor and of wall-clock time).
// The tests' build can set others (SetAccessReaderLimits in AccessSeams.h).
struct TAccessReaderLimits {
    std::uint64_t MemoryBytes = 0;
    unsigned Seconds = 0;
};
