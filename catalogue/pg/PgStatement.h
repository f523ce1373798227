// TPgStatement: one statement on a PostgreSQL connection behind TDbStatement. Its text is
// compiled once on the server for the whole connection (TPgEngine::TPrepared); the statement
// keeps its parameters as text, which the server reads by the type of the place each goes
// (an integer 1 read into a boolean column is true), and runs on its first Step after a Reset,
// taking the whole result at once: the catalogue's statements answer one row, or a few.
//
// Thread safety: a statement belongs to the one thread that uses it.
#pragma once

#include "PgEngine.h"

#include <memory>
#include <string>
#include <vector>

class TPgStatement final : public TDbStatement {
public:
    TPgStatement(TPgEngine& AEngine, std::shared_ptr<TPgEngine::TPrepared> APrepared);
    ~TPgStatement() override;
    TPgStatement(const TPgStatement&) = delete;
    TPgStatement& operator=(const TPgStatement&) = delete;

    void BindNull(int AParameter) override;
    void BindInteger(int AParameter, std::int64_t AValue) override;
    void BindReal(int AParameter, double AValue) override;
    void BindText(int AParameter, std::string_view AValue) override;

    bool Step() override;
    void Reset() noexcept override;
    int Changes() const override { return FChanges; }

    // Changes when a run answers with other columns than the one before (the schema changed).
    int Generation() const override { return FGeneration; }
    // The columns of the last run's answer (none before the first).
    int ColumnCount() const override { return static_cast<int>(FColumns.size()); }
    std::string ColumnName(int AColumn) const override;
    TFieldKind ColumnKind(int AColumn) const override;
    void ReadColumn(int AColumn, TDbValue& AValue) const override;

    // The kind of a column of the server's type AType (an OID).
    static TFieldKind KindOfType(unsigned AType);

private:
    void TakeColumns();

    struct TColumn {
        std::string Name;
        unsigned Type = 0;
        bool operator==(const TColumn&) const = default;
    };

    TPgEngine& FEngine;
    std::shared_ptr<TPgEngine::TPrepared> FPrepared;
    std::vector<std::string> FValues;
    std::vector<char> FNull;
    std::unique_ptr<pg_result, void (*)(pg_result*)> FResult;
    bool FRan = false;
    int FRow = -1;
    int FRows = 0;
    int FChanges = 0;
    std::vector<TColumn> FColumns;
    int FGeneration = 0;
};
