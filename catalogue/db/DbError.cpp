#include "DbError.h"

#include "TextRules.h"

TDatabaseError StatementError(const std::string& AWhat, const std::string& ADatabase,
                              const std::string& ASQL, int ACode, TDbFailure AFailure) {
    std::string Message = AWhat;
    if (!ADatabase.empty())
        Message += " (database " + Quoted(ADatabase) + ")";
    Message += " in statement " + Quoted(ASQL);
    return TDatabaseError(Message, ACode, AFailure);
}
