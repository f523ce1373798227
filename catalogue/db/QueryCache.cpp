#include "QueryCache.h"

TQuery& TQueryCache::Query(TConnection& AConnection, const char* ASQL) {
    for (TEntry& Entry : FEntries)
        if (Entry.Connection == &AConnection && Entry.SQL == ASQL) {
            Entry.Query->Close();
            return *Entry.Query;
        }
    auto Query = std::make_unique<TQuery>(AConnection);
    Query->SetSQL(ASQL);
    Query->Prepare();
    FEntries.push_back(TEntry{&AConnection, ASQL, std::move(Query)});
    return *FEntries.back().Query;
}
