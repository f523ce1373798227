// TTransaction: a transaction that holds the write lock from its start (SQLite: BEGIN
// IMMEDIATE, waiting out the busy timeout), so reads inside it cannot be overtaken by another
// writer between a lookup and the insert it leads to. Rolled back when it goes without a commit.
// Belongs to the thread that began it.
#pragma once

class TConnection;

class TTransaction {
public:
    explicit TTransaction(TConnection& AConnection);
    ~TTransaction();
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;

    // A commit that fails ends the transaction (rolled back) and throws.
    void Commit();
    // Never fails; also fine when the engine has already rolled back after an error.
    void Rollback() noexcept;
    bool Active() const { return FActive; }

private:
    TConnection& FConnection;
    bool FActive = false;
};
