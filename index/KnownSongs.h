// The song rows corvena-index asks the local database about directly: the paths that have one
// (for --skip-known and the watch's passes), and whether one path has one.
#pragma once

#include "SongsThrd.h"

#include <string>
#include <unordered_set>

// Every FilePath of Songs into APaths; "" when read, else the error (ALost, when given, says
// whether it was the connection to the server breaking).
std::string ReadKnownPaths(const TConnectionRef& ALocal, std::unordered_set<std::string>& APaths,
                           bool* ALost = nullptr);
// Whether the local database has a song row for exactly APath (true when it cannot tell).
bool HasSongRow(const TConnectionRef& ALocal, const std::string& APath);
