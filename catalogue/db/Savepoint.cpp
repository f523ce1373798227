#include "Savepoint.h"

#include "Connection.h"
#include "TextRules.h"

TSavepoint::TSavepoint(TConnection& AConnection, std::string AName)
    : FConnection(AConnection), FName(std::move(AName)) {
    TDbEngine& Engine = FConnection.Engine();
    FOutermost = !Engine.InTransaction();
    Engine.Savepoint(FName);
    FActive = true;
}

TSavepoint::~TSavepoint() { Rollback(); }

void TSavepoint::Release() {
    if (!FActive)
        throw TDatabaseError("No savepoint " + Quoted(FName) + " to release");
    try {
        FConnection.Engine().ReleaseSavepoint(FName);
    } catch (...) {
        // Releasing the outermost savepoint commits, which can fail (readers keeping a rollback
        // journal's file busy past the busy timeout, a full disk) and leave the transaction
        // open: end it, so that the connection is in autocommit again as it was.
        Rollback();
        throw;
    }
    FActive = false;
}

void TSavepoint::Rollback() noexcept {
    if (!FActive)
        return;
    FActive = false;
    try {
        TDbEngine& Engine = FConnection.Engine();
        // Gone already when the engine rolled back the whole transaction after an error.
        if (!Engine.InTransaction())
            return;
        // A savepoint that began the transaction ends it with a rollback, which always leaves
        // autocommit; rolling back to it and releasing it would be a commit, which can fail the
        // same way its release did.
        if (FOutermost)
            Engine.Rollback();
        else
            Engine.RollbackToSavepoint(FName);
    } catch (...) {
    }
}
