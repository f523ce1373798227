// TSavepoint: a part of the work that is undone as a whole. It works inside a transaction (the
// caller's, or a host's on a borrowed handle) and outside one, where it begins a transaction
// that its release commits. Going without a release, or a release that fails, undoes it: inside
// a transaction it is rolled back to and released, so nothing of it stays and the enclosing
// transaction goes on; a savepoint that began the transaction ends it with a rollback. Either
// way the connection is left in or out of a transaction as the savepoint found it.
// Belongs to the thread that made it.
#pragma once

#include <string>

class TConnection;

class TSavepoint {
public:
    TSavepoint(TConnection& AConnection, std::string AName);
    ~TSavepoint();
    TSavepoint(const TSavepoint&) = delete;
    TSavepoint& operator=(const TSavepoint&) = delete;

    void Release();
    void Rollback() noexcept;
    bool Active() const { return FActive; }

private:
    TConnection& FConnection;
    std::string FName;
    bool FActive = false;
    bool FOutermost = false; // began the transaction
};
