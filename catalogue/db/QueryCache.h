// TQueryCache: prepared queries kept for a run of many operations, one per connection and
// statement text, compiled on first use and re-bound by every later one, so a run compiles each
// statement once. Like its queries, a cache belongs to the one thread that uses it; it must go
// before the connections it holds statements of.
#pragma once

#include "Query.h"

#include <memory>
#include <string>
#include <vector>

class TQueryCache {
public:
    // The query holding ASQL on AConnection, prepared and closed; earlier bindings stay until
    // the caller binds again (every user binds every parameter).
    TQuery& Query(TConnection& AConnection, const char* ASQL);
    // Finalizes every statement.
    void Clear() { FEntries.clear(); }

private:
    struct TEntry {
        TConnection* Connection;
        std::string SQL;
        std::unique_ptr<TQuery> Query;
    };
    std::vector<TEntry> FEntries;
};
