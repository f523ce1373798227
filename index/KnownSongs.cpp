#include "KnownSongs.h"

#include <sqlite3.h>

std::string ReadKnownPaths(const TConnectionRef& ALocal, std::unordered_set<std::string>& APaths) {
    sqlite3* Db = ALocal->Handle();
    sqlite3_stmt* Stmt = nullptr;
    std::string Error;
    int Result = sqlite3_prepare_v2(Db, "select FilePath from Songs", -1, &Stmt, nullptr);
    if (Result == SQLITE_OK)
        while ((Result = sqlite3_step(Stmt)) == SQLITE_ROW)
            if (const auto* Text = sqlite3_column_text(Stmt, 0))
                APaths.emplace(reinterpret_cast<const char*>(Text), static_cast<std::size_t>(sqlite3_column_bytes(Stmt, 0)));
    if (Result != SQLITE_DONE)
        Error = std::string("cannot read the known songs: ") + sqlite3_errmsg(Db);
    sqlite3_finalize(Stmt);
    return Error;
}

bool HasSongRow(const TConnectionRef& ALocal, const std::string& APath) {
    sqlite3* Db = ALocal->Handle();
    sqlite3_stmt* Stmt = nullptr;
    // The first comparison uses the column's index (letter case folded), the second is exact.
    if (sqlite3_prepare_v2(Db, "select 1 from Songs where FilePath = ?1 and FilePath = ?1 collate binary",
                           -1, &Stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(Stmt);
        return true;
    }
    sqlite3_bind_text(Stmt, 1, APath.data(), static_cast<int>(APath.size()), SQLITE_STATIC);
    const int Result = sqlite3_step(Stmt);
    sqlite3_finalize(Stmt);
    return Result != SQLITE_DONE;
}
