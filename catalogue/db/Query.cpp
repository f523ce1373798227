#include "Query.h"

#include "TextRules.h"

#include <algorithm>
#include <array>

namespace {

// Row buffers a closed query keeps for its next result; a larger result gives the rest back.
constexpr std::size_t SpareRows = 4;

// A name as the generated insert writes it: a plain name as it is, as the catalogue's own
// statements write names (each engine then folds its case its own way), any other quoted.
std::string Identifier(std::string_view AName) {
    const auto Plain = [](char C, bool AFirst) {
        return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || C == '_' || (!AFirst && C >= '0' && C <= '9');
    };
    bool IsPlain = !AName.empty();
    for (std::size_t I = 0; I < AName.size() && IsPlain; ++I)
        IsPlain = Plain(AName[I], I == 0);
    return IsPlain ? std::string(AName) : QuotedIdentifier(AName);
}

// The table of a "select * from TABLE ..." text, "" for any other.
std::string WholeTable(std::string_view ASQL) {
    std::string_view Rest = TrimControls(ASQL);
    std::array<std::string_view, 4> Words{};
    for (auto& Word : Words) {
        const auto End = Rest.find_first_of(" \t\r\n");
        Word = Rest.substr(0, End);
        Rest = End == std::string_view::npos ? std::string_view() : TrimControls(Rest.substr(End));
    }
    if (SameText(Words[0], "select") && Words[1] == "*" && SameText(Words[2], "from") &&
        !Words[3].empty() && Words[3].find_first_of(",()") == std::string_view::npos)
        return std::string(Words[3]);
    return {};
}

// 'TEXT', for values in messages. (Built by appending: "'" + text makes GCC 12 warn falsely.)
std::string InQuotes(const std::string& AText) {
    std::string Result(1, '\'');
    Result += AText;
    Result += '\'';
    return Result;
}

} // namespace

TQuery::TQuery(TConnection& AConnection) : FConnection(AConnection) {}

TQuery::~TQuery() { Close(); }

void TQuery::SetSQL(const std::string& ASQL) {
    Close();
    FStmt.reset();
    FParams = TSqlParameters();
    FFieldsRead = false;
    FSQL = ASQL;
}

void TQuery::Fail(const std::string& AWhat) const {
    throw StatementError(AWhat, FConnection.FileName(), FSQL);
}

void TQuery::Fail(const std::string& AWhat, const TDatabaseError& ACause) const {
    throw StatementError(AWhat + ": " + ACause.what(), FConnection.FileName(), FSQL, ACause.Code(),
                         ACause.Failure());
}

void TQuery::Prepare() { Statement(); }

TDbStatement& TQuery::Statement() {
    if (!FStmt) {
        TDbEngine& Engine = FConnection.Engine();
        TSqlParameters Params = FindSqlParameters(FSQL);
        try {
            FStmt = Engine.Prepare(FSQL, Params);
        } catch (const TDatabaseError& Error) {
            // The engine's own refusals (an empty text, two statements) are said as they are.
            if (Error.Code() == 0)
                Fail(Error.what());
            Fail("Cannot prepare the statement", Error);
        }
        FParams = std::move(Params);
        FParamHint = 0;
        FFieldsRead = false;
    }
    return *FStmt;
}

int TQuery::ParamIndex(std::string_view AName) {
    Statement();
    // The statement is reset whenever no result is open.
    if (FActive)
        Close();
    // Callers bind in the statement's order: the search starts after the last name found.
    const std::size_t Count = FParams.Names.size();
    for (std::size_t Step = 0; Step < Count; ++Step) {
        const std::size_t At = (FParamHint + Step) % Count;
        if (SameText(FParams.Names[At], AName)) {
            FParamHint = At + 1;
            return static_cast<int>(At);
        }
    }
    Fail("Unknown parameter " + Quoted(AName));
}

// ParamIndex prepares the statement: it is called before FStmt is looked at.
void TQuery::SetText(std::string_view AName, const std::string& AValue) {
    const int Index = ParamIndex(AName);
    FStmt->BindText(Index, AValue);
}

void TQuery::SetInteger(std::string_view AName, std::int32_t AValue) {
    const int Index = ParamIndex(AName);
    FStmt->BindInteger(Index, AValue);
}

void TQuery::SetBoolean(std::string_view AName, bool AValue) {
    const int Index = ParamIndex(AName);
    FStmt->BindInteger(Index, AValue ? 1 : 0);
}

void TQuery::SetNull(std::string_view AName) {
    const int Index = ParamIndex(AName);
    FStmt->BindNull(Index);
}

void TQuery::SetDate(std::string_view AName, TDateTime AValue) {
    const int Index = ParamIndex(AName);
    CheckDateTime(AValue);
    FStmt->BindReal(Index, AValue);
}

bool TQuery::StepRow() {
    if (!FStmt->Step()) {
        FMore = false;
        FStmt->Reset();
        return false;
    }
    if (FRows.size() <= FHeld)
        FRows.emplace_back();
    std::vector<TDbValue>& Row = FRows[FHeld];
    const int Columns = FStmt->ColumnCount();
    Row.resize(static_cast<std::size_t>(Columns));
    for (int I = 0; I < Columns; ++I)
        FStmt->ReadColumn(I, Row[static_cast<std::size_t>(I)]);
    ++FHeld;
    return true;
}

void TQuery::ReadFields() {
    // The field list belongs to the compiled statement: it is read again only after the engine
    // has compiled the statement anew (after a change of the schema).
    const int Generation = FStmt->Generation();
    if (FFieldsRead && Generation == FFieldsGeneration)
        return;
    FFields.clear();
    const int Columns = FStmt->ColumnCount();
    for (int I = 0; I < Columns; ++I)
        FFields.push_back({FStmt->ColumnName(I), FStmt->ColumnKind(I)});
    FTable = WholeTable(FSQL);
    FFieldsRead = true;
    FFieldsGeneration = Generation;
}

void TQuery::Open() {
    Statement();
    Close();
    FMore = true;
    try {
        StepRow();
    } catch (const TDatabaseError& Error) {
        FMore = false;
        FHeld = 0;
        Fail("Cannot open the query", Error);
    }
    // After the first step: a step may compile the statement anew.
    ReadFields();
    FActive = true;
}

void TQuery::Close() {
    FActive = false;
    FAppending = false;
    FPostValues.clear();
    if (FMore) {
        FStmt->Reset();
        FMore = false;
    }
    FHeld = 0;
    FCurrent = 0;
    FPassed = 0;
    if (FRows.size() > SpareRows) {
        FRows.resize(SpareRows);
        FRows.shrink_to_fit();
    }
}

void TQuery::RequireActive(const char* AOperation) const {
    if (!FActive)
        Fail(std::string("Cannot ") + AOperation + ": the query is not open");
}

void TQuery::Next() {
    RequireActive("move to the next record");
    if (FCurrent >= FHeld)
        return;
    ++FCurrent;
    if (FCurrent < FHeld || !FMore)
        return;
    // Stepping on: the row left behind is no longer held.
    FPassed += static_cast<int>(FHeld);
    FHeld = 0;
    FCurrent = 0;
    try {
        StepRow();
    } catch (const TDatabaseError& Error) {
        Fail("Cannot read the next record", Error);
    }
}

int TQuery::RecordCount() {
    RequireActive("count records");
    try {
        while (FMore)
            StepRow();
    } catch (const TDatabaseError& Error) {
        Fail("Cannot count the records", Error);
    }
    return FPassed + static_cast<int>(FHeld);
}

int TQuery::ExecSQL() {
    TDbStatement& Stmt = Statement();
    Close();
    try {
        while (Stmt.Step()) {
        }
    } catch (const TDatabaseError& Error) {
        Fail("Cannot execute the statement", Error);
    }
    const int Changes = Stmt.Changes();
    Stmt.Reset();
    return Changes;
}

int TQuery::FieldIndex(std::string_view AName) const {
    RequireActive("read fields");
    for (std::size_t I = 0; I < FFields.size(); ++I)
        if (SameText(FFields[I].Name, AName))
            return static_cast<int>(I);
    Fail("Unknown field " + Quoted(AName));
}

const TDbValue& TQuery::FieldValue(int AIndex) const {
    static const TDbValue Null;
    RequireActive("read fields");
    if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= FFields.size())
        Fail("There is no field number " + std::to_string(AIndex));
    if (FCurrent >= FHeld)
        return Null; // no current row reads as null
    const std::vector<TDbValue>& Row = FRows[FCurrent];
    return static_cast<std::size_t>(AIndex) < Row.size() ? Row[static_cast<std::size_t>(AIndex)] : Null;
}

std::string TQuery::FieldAsString(std::string_view AName) const {
    return FieldAsString(FieldIndex(AName));
}

std::string TQuery::FieldAsString(int AIndex) const { return ValueText(FieldValue(AIndex)); }

std::int32_t TQuery::FieldAsInteger(std::string_view AName) const {
    return FieldAsInteger(FieldIndex(AName));
}

std::int32_t TQuery::FieldAsInteger(int AIndex) const {
    const TDbValue& Value = FieldValue(AIndex);
    const TField& Field = FFields[static_cast<std::size_t>(AIndex)];
    const std::optional<std::int32_t> Result = ValueInteger(Value, Field.Kind);
    if (!Result)
        Fail(InQuotes(ValueText(Value)) + " is not a valid integer value for field " + Quoted(Field.Name));
    return *Result;
}

TDateTime TQuery::FieldAsDateTime(std::string_view AName) const {
    return FieldAsDateTime(FieldIndex(AName));
}

TDateTime TQuery::FieldAsDateTime(int AIndex) const {
    const TDbValue& Value = FieldValue(AIndex);
    const std::optional<TDateTime> Result = ValueDateTime(Value);
    if (!Result)
        Fail(InQuotes(ValueText(Value)) + " is not a valid date and time in field " +
             Quoted(FFields[static_cast<std::size_t>(AIndex)].Name));
    return *Result;
}

void TQuery::Append() {
    RequireActive("append a record");
    if (FTable.empty())
        Fail("Cannot append a record: the result is not a whole table");
    FAppending = true;
    FPostValues.clear();
}

void TQuery::SetFieldText(std::string_view AName, const std::string& AValue) {
    const int Index = FieldIndex(AName);
    if (!FAppending)
        Fail("Cannot set field " + Quoted(AName) + ": no record is being appended");
    FPostValues.emplace_back(Index, AValue);
}

void TQuery::Post() {
    if (!FAppending)
        Fail("Cannot post: no record is being appended");
    // The new row comes after every row of the result, which the count reads.
    RecordCount();
    std::string Columns, Marks;
    for (std::size_t I = 0; I < FPostValues.size(); ++I) {
        if (I > 0) {
            Columns += ",";
            Marks += ",";
        }
        Columns += Identifier(FFields[static_cast<std::size_t>(FPostValues[I].first)].Name);
        Marks += ":p" + std::to_string(I + 1);
    }
    const std::string Insert =
        "insert into " + Identifier(FTable) +
        (Columns.empty() ? std::string(" default values") : " (" + Columns + ") values (" + Marks + ")") +
        " returning *";
    std::vector<TDbValue> Row(FFields.size());
    try {
        const TSqlParameters Params = FindSqlParameters(Insert);
        const std::unique_ptr<TDbStatement> Stmt = FConnection.Engine().Prepare(Insert, Params);
        for (std::size_t I = 0; I < FPostValues.size(); ++I)
            Stmt->BindText(static_cast<int>(I), FPostValues[I].second);
        if (!Stmt->Step())
            throw TDatabaseError("the insert returned no row");
        for (int I = 0; I < Stmt->ColumnCount(); ++I) {
            const std::string Name = Stmt->ColumnName(I);
            const auto Found = std::find_if(FFields.begin(), FFields.end(),
                                            [&Name](const TField& F) { return SameText(F.Name, Name); });
            if (Found != FFields.end())
                Stmt->ReadColumn(I, Row[static_cast<std::size_t>(Found - FFields.begin())]);
        }
        if (Stmt->Step())
            throw TDatabaseError("the insert returned more than one row");
    } catch (const TDatabaseError& Error) {
        Fail("Cannot post the new record to table " + Quoted(FTable), Error);
    }
    if (FRows.size() <= FHeld)
        FRows.emplace_back();
    FRows[FHeld] = std::move(Row);
    FCurrent = FHeld++;
    FAppending = false;
    FPostValues.clear();
}
