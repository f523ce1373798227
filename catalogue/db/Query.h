// TQuery: a statement on a connection, with the behaviour the catalogue code was written against
// (a Jet query through ADO): `:Name` parameters in any letter case; Open runs a query and makes
// its first row current, Next steps on, reading rows only as they are reached; RecordCount is
// exact; fields by name (any letter case) or position read as text, strict 32-bit integers or
// OLE dates, a null or a missing row reading as "", 0 or 0.0; ExecSQL runs any other statement
// and yields the rows affected; Append, SetFieldText and Post add a row to a
// "select * from TABLE" result. Every statement stands alone unless a caller holds a
// TTransaction or TSavepoint around it.
//
// While a result is open the engine holds it (SQLite: a read snapshot): Close it, or let a
// TQueryCloser do it, when the row has been read.
//
// Thread safety: a query belongs to the one thread that uses it.
#pragma once

#include "Connection.h"
#include "DateTime.h"
#include "DbValue.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TQuery {
public:
    explicit TQuery(TConnection& AConnection);
    ~TQuery();

    TQuery(const TQuery&) = delete;
    TQuery& operator=(const TQuery&) = delete;

    // Replaces the statement text; the old statement, its parameters and any result go.
    void SetSQL(const std::string& ASQL);

    // Compiles the statement; binding, Open and ExecSQL prepare on demand as well.
    void Prepare();
    bool Prepared() const { return FStmt != nullptr; }

    // Parameters, by name without the colon, in any letter case. Binding closes an open result.
    void SetText(std::string_view AName, const std::string& AValue);
    void SetInteger(std::string_view AName, std::int32_t AValue);
    void SetBoolean(std::string_view AName, bool AValue);
    void SetNull(std::string_view AName);
    // Fails for NaN and values outside 1 January 100 .. 31 December 9999.
    void SetDate(std::string_view AName, TDateTime AValue);

    // Runs a query; its first row, if any, becomes current.
    void Open();
    // Lets go of the result.
    void Close();
    bool Active() const { return FActive; }
    // The next row becomes current (read from the engine now); Eof() once there is none.
    void Next();
    bool Eof() const { return !FActive || FCurrent >= FHeld; }
    // The rows of the result, exactly. The first call reads the rest of the result into memory,
    // keeping the current row: for a lookup or an existence check, one more step of the
    // statement, which finds the end (what Open cost before it stepped row by row).
    int RecordCount();

    // Runs any other statement; returns the rows affected.
    int ExecSQL();

    // Fields of the current row by name (any letter case) or by position.
    std::string FieldAsString(std::string_view AName) const;
    std::string FieldAsString(int AIndex) const;
    // Fails on null or empty text, text that is not a decimal integer, values outside 32 bits.
    std::int32_t FieldAsInteger(std::string_view AName) const;
    std::int32_t FieldAsInteger(int AIndex) const;
    TDateTime FieldAsDateTime(std::string_view AName) const;
    TDateTime FieldAsDateTime(int AIndex) const;
    // The value as the engine handed it over (null without a current row).
    const TDbValue& FieldValue(int AIndex) const;

    // Appending to an open "select * from TABLE ..." result: Append, set fields, Post. The
    // posted row becomes current, auto-number included, and counts in RecordCount.
    void Append();
    void SetFieldText(std::string_view AName, const std::string& AValue);
    void Post();

private:
    struct TField {
        std::string Name;
        TFieldKind Kind = TFieldKind::Untyped;
    };

    TDbStatement& Statement();
    int ParamIndex(std::string_view AName);
    // Reads the next row into the rows held; false (and the statement reset) at the end.
    bool StepRow();
    void ReadFields();
    int FieldIndex(std::string_view AName) const;
    [[noreturn]] void Fail(const std::string& AWhat) const;
    [[noreturn]] void Fail(const std::string& AWhat, const TDatabaseError& ACause) const;
    void RequireActive(const char* AOperation) const;

    TConnection& FConnection;
    std::string FSQL;
    std::unique_ptr<TDbStatement> FStmt;
    TSqlParameters FParams;
    std::size_t FParamHint = 0; // where the next name is looked for first
    bool FActive = false;
    // The result: the rows held (the current one while stepping; every row from the current on
    // once counted), FPassed rows before them stepped over, and whether the engine has more.
    // FRows keeps a few spare row buffers so stepping reuses their text.
    std::vector<std::vector<TDbValue>> FRows;
    std::size_t FHeld = 0;
    std::size_t FCurrent = 0;
    int FPassed = 0;
    bool FMore = false;
    // The columns, read again only when the engine has compiled the statement anew.
    std::vector<TField> FFields;
    bool FFieldsRead = false;
    int FFieldsGeneration = 0;
    std::string FTable; // the table of a "select * from TABLE" result, for Append
    bool FAppending = false;
    std::vector<std::pair<int, std::string>> FPostValues;
};

// Closes a query (its result goes) when the scope ends, also on error: what a query created for
// one operation gets by being released.
class TQueryCloser {
public:
    explicit TQueryCloser(TQuery& AQuery) : FQuery(AQuery) {}
    ~TQueryCloser() { FQuery.Close(); }
    TQueryCloser(const TQueryCloser&) = delete;
    TQueryCloser& operator=(const TQueryCloser&) = delete;

private:
    TQuery& FQuery;
};
