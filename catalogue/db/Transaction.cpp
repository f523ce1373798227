#include "Transaction.h"

#include "Connection.h"

TTransaction::TTransaction(TConnection& AConnection) : FConnection(AConnection) {
    FConnection.Engine().Begin();
    FActive = true;
}

TTransaction::~TTransaction() { Rollback(); }

void TTransaction::Commit() {
    if (!FActive)
        throw TDatabaseError("No transaction to commit");
    try {
        FConnection.Engine().Commit();
    } catch (...) {
        // A commit that fails (busy readers in rollback-journal mode, a full disk) leaves the
        // transaction open: end it here so the connection stays usable.
        Rollback();
        throw;
    }
    FActive = false;
}

void TTransaction::Rollback() noexcept {
    if (!FActive)
        return;
    FActive = false;
    try {
        FConnection.Engine().Rollback();
    } catch (...) {
    }
}
