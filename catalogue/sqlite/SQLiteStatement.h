// TSQLiteStatement: one compiled SQLite statement behind TDbStatement. SQLite reads `:Name`
// marks itself; the layer's parameters are matched to SQLite's numbers by name in any letter
// case, so the text SQLite runs (and a host's trace shows) is the statement as written.
//
// Thread safety: a statement belongs to the one thread that uses it; every call holds the
// connection's mutex for as long as it reads the connection's state.
#pragma once

#include "DbEngine.h"

#include <memory>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class TSQLiteStatement final : public TDbStatement {
public:
    // Takes AStmt over (compiled on ADb from a text with AParameters).
    TSQLiteStatement(sqlite3* ADb, sqlite3_stmt* AStmt, const TSqlParameters& AParameters);
    ~TSQLiteStatement() override;
    TSQLiteStatement(const TSQLiteStatement&) = delete;
    TSQLiteStatement& operator=(const TSQLiteStatement&) = delete;

    void BindNull(int AParameter) override;
    void BindInteger(int AParameter, std::int64_t AValue) override;
    void BindReal(int AParameter, double AValue) override;
    void BindText(int AParameter, std::string_view AValue) override;

    bool Step() override;
    void Reset() noexcept override;
    int Changes() const override { return FChanges; }

    int Generation() const override;
    int ColumnCount() const override;
    std::string ColumnName(int AColumn) const override;
    TFieldKind ColumnKind(int AColumn) const override;
    void ReadColumn(int AColumn, TDbValue& AValue) const override;

    // The kind of a declared column type by SQLite's affinity rules, so that the type names of
    // databases converted from Access (LONG, SHORT, BYTE, COUNTER, CURRENCY, DATETIME, ...) are
    // numbers.
    static TFieldKind KindOfDeclType(const char* ADeclType);

private:
    template <typename TBind>
    void ForEachNumber(int AParameter, TBind ABind);

    struct TFinalize {
        void operator()(sqlite3_stmt* AStmt) const noexcept;
    };

    sqlite3* FDb;
    std::unique_ptr<sqlite3_stmt, TFinalize> FStmt;
    // SQLite's number of each parameter (0: none), and the further numbers of a name written in
    // more than one letter case (SQLite takes those for other parameters) as (parameter, number).
    std::vector<int> FNumbers;
    std::vector<std::pair<int, int>> FMoreNumbers;
    int FChanges = 0;
};
