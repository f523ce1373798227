// Varnel: adds or updates one song through the song-request host's open connection. The one
// export is `_2DB`; the rest is internal and hidden.
#pragma once

#include "Catalogue.h"
#include "SongWriter.h"
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
inline constexpr std::int32_t VelSongNumberFloor = GeneratedSongNumberFloor;

// Host string as UTF-8; a lone surrogate becomes U+FFFD. Throws for a negative length.
std::string VelStringToUtf8(const TVelString AText);

// The host's record in the database layer's form; both identifiers are present (0 included).
TKtvSongInfo VelSongToKtv(const TVelSongInfo& AInfo);

// Looks the identifiers up as the plug-in does (a type only for a record that brings its own
// number) and writes the song with the plug-in's rules (PlugInWriteRules): false for an empty
// name (no database access) or when the song statement changes no row. Database errors
// propagate, those of the song statement included.
bool AddSong(TConnection& AConnection, TKtvSongInfo AInfo);

// 0 when the song was written, -1 when it was not. Never throws; holds a reference to every
// string of both records for the duration of the call and leaves the caller's floating-point
// environment as it found it.
extern "C" VARNEL_EXPORT std::int32_t VARNEL_STDCALL _2DB(TVodSoft ASoft, sqlite3* AConnection,
                                                          TVelSongInfo ASongInfo) noexcept;
