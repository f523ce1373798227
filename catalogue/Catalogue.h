// The song catalogue: the name-to-identifier lookups (usable on any connection), the folded
// lookup of texts stored in another letter case, and the bindings of the song statements.
#pragma once

#include "QueryCache.h"
#include "SongRecord.h"
#include "SongStatements.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Binds an identifier as an integer, or null when absent.
void SetOptionalID(TQuery& AQuery, std::string_view AName, const TOptionalID& AValue);

// Binds every parameter of the song insert or update from the record of the same name.
void BindSongParameters(TQuery& AQuery, const TKtvSongInfo& AInfo);

// The stored text that equals AText under Unicode case folding where the database's own
// comparison (NOCASE: ASCII letters only) tells them apart, from ASQLFolded (one of the
// SqlFolded... texts); nullopt when there is none, and at once, without a query, when AText has
// no letter with case variants outside ASCII. It walks the column's NOCASE order from one
// possible spelling of AText to the next (each letter in each of its cases), so it reads a few
// rows and never the whole table. Only the letters outside ASCII are varied: a Kelvin sign
// stored for an ASCII k is not found. On an engine that folds every script's letter case itself
// (FoldsLetterCase: PostgreSQL with the schema's collation) there is nothing left to find:
// nullopt, without a query. Database errors propagate.
std::optional<std::string> FindFoldedText(TConnection& AConnection, const char* ASQLFolded,
                                          const std::string& AText, TQueryCache* ACache = nullptr);

// The existence check by path when the existence query found nothing: true when a Songs row
// holds AFilePath in another letter case outside ASCII; AFilePath then becomes the stored
// path, the key the song update needs.
bool FindFoldedSongPath(TConnection& AConnection, std::string& AFilePath,
                        TQueryCache* ACache = nullptr);

// Lookups as the wizard runs them: an empty name gives an absent identifier without touching
// the database; a missing type or language is added when AAutoInsert is true. Names are bound
// exactly as passed; a name stored in another letter case of any script is found
// (FindFoldedText) and not added again. Database errors propagate. With ACache the selects are
// taken from it (and compiled once for all calls); without, each call prepares its own.
TOptionalID GetTypeID(TConnection& AConnection, const std::string& ATypeName,
                      bool AAutoInsert = true, TQueryCache* ACache = nullptr);
TOptionalID GetLanguageID(TConnection& AConnection, const std::string& ALanguageName,
                          bool AAutoInsert = true, TQueryCache* ACache = nullptr);
// Never inserts: a name not in DiscoTypes gives 0.
TOptionalID GetDiscoTypeID(TConnection& AConnection, const std::string& ATypeName,
                           TQueryCache* ACache = nullptr);

// The plug-in's form: the result starts at 0, so an empty name gives 0; names are added.
std::int32_t PlugInTypeID(TConnection& AConnection, const std::string& ATypeName);
std::int32_t PlugInLanguageID(TConnection& AConnection, const std::string& ALanguageName);
