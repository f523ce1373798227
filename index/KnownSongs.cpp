#include "KnownSongs.h"

#include "Query.h"

#include <variant>

std::string ReadKnownPaths(const TConnectionRef& ALocal, std::unordered_set<std::string>& APaths) {
    try {
        // Stepped row by row: only the paths are kept.
        TQuery Query(*ALocal);
        Query.SetSQL("select FilePath from Songs");
        for (Query.Open(); !Query.Eof(); Query.Next())
            if (!std::holds_alternative<std::monostate>(Query.FieldValue(0)))
                APaths.insert(Query.FieldAsString(0));
    } catch (const TDatabaseError& Error) {
        return std::string("cannot read the known songs: ") + Error.what();
    }
    return {};
}

bool HasSongRow(const TConnectionRef& ALocal, const std::string& APath) {
    try {
        TQuery Query(*ALocal);
        // The first comparison uses the column's index (letter case folded), the second is exact.
        Query.SetSQL("select 1 from Songs where FilePath = :Path and FilePath = :Path collate binary");
        Query.SetText("Path", APath);
        Query.Open();
        return !Query.Eof();
    } catch (const TDatabaseError&) {
        return true;
    }
}
