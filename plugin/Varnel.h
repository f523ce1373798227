// Varnel: adds or updates one song through the song-request host's open connection. The one
// export is `_2DB`; the rest is internal and hidden.
#pragma once

#include "Catalogue.h"
#include "VelRecords.h"

#include <cstdint>
#include <string>

struct sqlite3;

#if defined(_WIN32)
// Exported through Varnel.def, which gives the undecorated name and ordinal 1.
#define VARNEL_EXPORT
#else
#define VARNEL_EXPORT __attribute__((visibility("default")))
#endif

// Generated song numbers start here.
inline constexpr std::int32_t VelSongNumberFloor = 80000000;

// Host string as UTF-8; a lone surrogate becomes U+FFFD. Throws for a negative length.
std::string VelStringToUtf8(const TVelString AText);

// The host's record in the database layer's form; both identifiers are present (0 included).
TKtvSongInfo VelSongToKtv(const TVelSongInfo& AInfo);

// Writes the song: false for an empty name (no database access) or when the final statement
// fails or changes no row. Failures before the final statement propagate.
bool AddSong(TConnection& AConnection, TKtvSongInfo AInfo);

// True when a Songs row has the path (any letter case). Errors propagate.
bool SongExists(TConnection& AConnection, const std::string& AFilePath);

// One above the greatest song number in text order when that reads as a 32-bit number of at
// least AFloor that has a 32-bit successor; AFloor in every other case, errors included.
std::string NextSongNumber(TConnection& AConnection, std::int32_t AFloor);

// 0 when the song was written, -1 when it was not. Never throws; holds a reference to every
// string of both records for the duration of the call and leaves the caller's floating-point
// environment as it found it.
extern "C" VARNEL_EXPORT std::int32_t VARNEL_STDCALL _2DB(TVodSoft ASoft, sqlite3* AConnection,
                                                          TVelSongInfo ASongInfo) noexcept;
