#include "KnownSongs.h"

#include "Query.h"

#include <variant>

std::string ReadKnownPaths(const TConnectionRef& ALocal, std::unordered_set<std::string>& APaths, bool* ALost) {
    try {
        // Stepped row by row: only the paths are kept.
        TQuery Query(*ALocal);
        Query.SetSQL("select FilePath from Songs");
        for (Query.Open(); !Query.Eof(); Query.Next())
            if (!std::holds_alternative<std::monostate>(Query.FieldValue(0)))
                APaths.insert(Query.FieldAsString(0));
    } catch (const TDatabaseError& Error) {
        if (ALost != nullptr)
            *ALost = Error.ConnectionLost();
        return std::string("cannot read the known songs: ") + Error.what();
    }
    return {};
}

bool HasSongRow(const TConnectionRef& ALocal, const std::string& APath) {
    try {
        TQuery Query(*ALocal);
        // The database compares through the column's index, letter case folded; the path
        // itself is compared here, byte for byte, on every engine.
        Query.SetSQL("select FilePath from Songs where FilePath = :Path");
        Query.SetText("Path", APath);
        for (Query.Open(); !Query.Eof(); Query.Next())
            if (Query.FieldAsString(0) == APath)
                return true;
        return false;
    } catch (const TDatabaseError&) {
        return true;
    }
}
