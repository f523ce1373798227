#include "SQLiteStatement.h"

#include "SQLiteSupport.h"
#include "TextRules.h"

#include <algorithm>
#include <cctype>

void TSQLiteStatement::TFinalize::operator()(sqlite3_stmt* AStmt) const noexcept {
    sqlite3_finalize(AStmt);
}

TSQLiteStatement::TSQLiteStatement(sqlite3* ADb, sqlite3_stmt* AStmt,
                                   const TSqlParameters& AParameters)
    : FDb(ADb), FStmt(AStmt), FNumbers(AParameters.Names.size(), 0) {
    const std::vector<std::string>& Names = AParameters.Names;
    const int Count = sqlite3_bind_parameter_count(AStmt);
    for (int I = 1; I <= Count; ++I) {
        const char* Name = sqlite3_bind_parameter_name(AStmt, I);
        if (Name == nullptr || Name[0] != ':')
            continue;
        const std::string_view Bare(Name + 1);
        // SQLite numbers names in the order they first appear, as the layer does, so the
        // parameter is almost always the one of the same place.
        std::size_t At = static_cast<std::size_t>(I - 1);
        if (At >= Names.size() || (Names[At] != Bare && !SameText(Names[At], Bare))) {
            const auto Same = std::find_if(Names.begin(), Names.end(),
                                           [Bare](const std::string& AName) { return SameText(AName, Bare); });
            if (Same == Names.end())
                continue;
            At = static_cast<std::size_t>(Same - Names.begin());
        }
        if (FNumbers[At] == 0)
            FNumbers[At] = I;
        else
            FMoreNumbers.emplace_back(static_cast<int>(At), I);
    }
}

TSQLiteStatement::~TSQLiteStatement() = default;

template <typename TBind>
void TSQLiteStatement::ForEachNumber(int AParameter, TBind ABind) {
    if (const int Number = FNumbers[static_cast<std::size_t>(AParameter)])
        ABind(Number);
    for (const auto& [Parameter, Number] : FMoreNumbers)
        if (Parameter == AParameter)
            ABind(Number);
}

void TSQLiteStatement::BindNull(int AParameter) {
    ForEachNumber(AParameter, [this](int ANumber) { sqlite3_bind_null(FStmt.get(), ANumber); });
}

void TSQLiteStatement::BindInteger(int AParameter, std::int64_t AValue) {
    ForEachNumber(AParameter, [&](int ANumber) { sqlite3_bind_int64(FStmt.get(), ANumber, AValue); });
}

void TSQLiteStatement::BindReal(int AParameter, double AValue) {
    ForEachNumber(AParameter, [&](int ANumber) { sqlite3_bind_double(FStmt.get(), ANumber, AValue); });
}

void TSQLiteStatement::BindText(int AParameter, std::string_view AValue) {
    ForEachNumber(AParameter, [&](int ANumber) {
        sqlite3_bind_text(FStmt.get(), ANumber, AValue.data(), static_cast<int>(AValue.size()),
                          SQLITE_TRANSIENT);
    });
}

bool TSQLiteStatement::Step() {
    const TSQLiteLock Lock(FDb);
    const int Result = sqlite3_step(FStmt.get());
    if (Result == SQLITE_ROW)
        return true;
    if (Result == SQLITE_DONE) {
        FChanges = sqlite3_changes(FDb);
        return false;
    }
    // The message belongs to this step: read before the reset and the unlock.
    TDatabaseError Error = SQLiteError(FDb);
    sqlite3_reset(FStmt.get());
    throw Error;
}

void TSQLiteStatement::Reset() noexcept { sqlite3_reset(FStmt.get()); }

int TSQLiteStatement::Generation() const {
    return sqlite3_stmt_status(FStmt.get(), SQLITE_STMTSTATUS_REPREPARE, 0);
}

int TSQLiteStatement::ColumnCount() const { return sqlite3_column_count(FStmt.get()); }

std::string TSQLiteStatement::ColumnName(int AColumn) const {
    const char* Name = sqlite3_column_name(FStmt.get(), AColumn);
    return Name != nullptr ? Name : "";
}

TFieldKind TSQLiteStatement::ColumnKind(int AColumn) const {
    return KindOfDeclType(sqlite3_column_decltype(FStmt.get(), AColumn));
}

void TSQLiteStatement::ReadColumn(int AColumn, TDbValue& AValue) const {
    sqlite3_stmt* Stmt = FStmt.get();
    switch (sqlite3_column_type(Stmt, AColumn)) {
    case SQLITE_INTEGER:
        AValue = static_cast<std::int64_t>(sqlite3_column_int64(Stmt, AColumn));
        return;
    case SQLITE_FLOAT:
        AValue = sqlite3_column_double(Stmt, AColumn);
        return;
    case SQLITE_NULL:
        AValue = std::monostate();
        return;
    default: {
        const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, AColumn));
        const auto Size = static_cast<std::size_t>(sqlite3_column_bytes(Stmt, AColumn));
        const std::string_view View(Text != nullptr ? Text : "", Text != nullptr ? Size : 0);
        if (auto* Held = std::get_if<std::string>(&AValue))
            Held->assign(View);
        else
            AValue.emplace<std::string>(View);
        return;
    }
    }
}

TFieldKind TSQLiteStatement::KindOfDeclType(const char* ADeclType) {
    if (ADeclType == nullptr || ADeclType[0] == '\0')
        return TFieldKind::Untyped;
    std::string Type(ADeclType);
    std::transform(Type.begin(), Type.end(), Type.begin(),
                   [](char C) { return static_cast<char>(std::toupper(static_cast<unsigned char>(C))); });
    const auto Has = [&Type](const char* APart) { return Type.find(APart) != std::string::npos; };
    if (Has("INT"))
        return TFieldKind::Integer;
    if (Has("CHAR") || Has("CLOB") || Has("TEXT"))
        return TFieldKind::Text;
    if (Has("BLOB"))
        return TFieldKind::Untyped;
    if (Has("REAL") || Has("FLOA") || Has("DOUB"))
        return TFieldKind::Real;
    return TFieldKind::Numeric;
}
