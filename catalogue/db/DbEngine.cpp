#include "DbEngine.h"

#include <atomic>

namespace {

std::atomic<TDatabaseNotice>& DatabaseNotice() {
    static std::atomic<TDatabaseNotice> Notice{nullptr};
    return Notice;
}

} // namespace

void SetDatabaseNotice(TDatabaseNotice ANotice) { DatabaseNotice().store(ANotice); }

void TellDatabaseNotice(const std::string& AText) {
    if (const TDatabaseNotice Notice = DatabaseNotice().load())
        Notice(AText);
}

std::string QuotedIdentifier(std::string_view AName) {
    std::string Result = "\"";
    for (const char C : AName) {
        Result += C;
        if (C == '"')
            Result += '"';
    }
    return Result + "\"";
}
