#include "PgStatement.h"

#include <libpq-fe.h>

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

void ClearResult(pg_result* AResult) { PQclear(AResult); }

// Type OIDs of the server's catalogue (pg_type), fixed since long ago.
constexpr unsigned BoolType = 16, Int8Type = 20, Int2Type = 21, Int4Type = 23, TextType = 25, OidType = 26,
                   Float4Type = 700, Float8Type = 701, BpCharType = 1042, VarCharType = 1043, NumericType = 1700,
                   NameType = 19, CharType = 18;

template <typename TNumber>
std::string NumberText(TNumber AValue) {
    char Buffer[64];
    const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, AValue);
    return std::string(Buffer, Result.ptr);
}

} // namespace

TPgStatement::TPgStatement(TPgEngine& AEngine, std::shared_ptr<TPgEngine::TPrepared> APrepared)
    : FEngine(AEngine), FPrepared(std::move(APrepared)),
      FValues(static_cast<std::size_t>(FPrepared->Parameters)),
      FNull(static_cast<std::size_t>(FPrepared->Parameters), 1), FResult(nullptr, &ClearResult) {}

TPgStatement::~TPgStatement() = default;

void TPgStatement::BindNull(int AParameter) { FNull[static_cast<std::size_t>(AParameter)] = 1; }

void TPgStatement::BindInteger(int AParameter, std::int64_t AValue) {
    FValues[static_cast<std::size_t>(AParameter)] = NumberText(AValue);
    FNull[static_cast<std::size_t>(AParameter)] = 0;
}

void TPgStatement::BindReal(int AParameter, double AValue) {
    std::string Text;
    // The server's own spellings of what to_chars writes as inf and nan.
    if (std::isnan(AValue))
        Text = "NaN";
    else if (std::isinf(AValue))
        Text = AValue > 0 ? "Infinity" : "-Infinity";
    else
        Text = NumberText(AValue); // the shortest text that reads back as the same double
    FValues[static_cast<std::size_t>(AParameter)] = std::move(Text);
    FNull[static_cast<std::size_t>(AParameter)] = 0;
}

void TPgStatement::BindText(int AParameter, std::string_view AValue) {
    FValues[static_cast<std::size_t>(AParameter)].assign(AValue);
    FNull[static_cast<std::size_t>(AParameter)] = 0;
}

void TPgStatement::TakeColumns() {
    std::vector<TColumn> Columns;
    const int Count = PQnfields(FResult.get());
    Columns.reserve(static_cast<std::size_t>(Count));
    for (int I = 0; I < Count; ++I)
        Columns.push_back({PQfname(FResult.get(), I), static_cast<unsigned>(PQftype(FResult.get(), I))});
    if (Columns != FColumns) {
        FColumns = std::move(Columns);
        ++FGeneration;
    }
}

bool TPgStatement::Step() {
    if (!FRan) {
        std::vector<const char*> Values(FValues.size());
        for (std::size_t I = 0; I < FValues.size(); ++I)
            Values[I] = FNull[I] ? nullptr : FValues[I].c_str();
        FResult = FEngine.RunPrepared(*FPrepared, Values);
        FRan = true;
        FRow = -1;
        FRows = PQntuples(FResult.get());
        TakeColumns();
        // What an insert, update or delete changed (with RETURNING too); a query changes nothing.
        const char* Status = PQcmdStatus(FResult.get());
        const bool Writes = std::strncmp(Status, "INSERT", 6) == 0 || std::strncmp(Status, "UPDATE", 6) == 0 ||
                            std::strncmp(Status, "DELETE", 6) == 0;
        FChanges = Writes ? std::atoi(PQcmdTuples(FResult.get())) : 0;
    }
    if (FRow + 1 < FRows) {
        ++FRow;
        return true;
    }
    FRow = FRows;
    return false;
}

void TPgStatement::Reset() noexcept {
    FResult.reset();
    FRan = false;
    FRow = -1;
    FRows = 0;
}

std::string TPgStatement::ColumnName(int AColumn) const { return FColumns[static_cast<std::size_t>(AColumn)].Name; }

TFieldKind TPgStatement::ColumnKind(int AColumn) const {
    return KindOfType(FColumns[static_cast<std::size_t>(AColumn)].Type);
}

TFieldKind TPgStatement::KindOfType(unsigned AType) {
    switch (AType) {
    case BoolType:
    case Int2Type:
    case Int4Type:
    case Int8Type:
    case OidType:
        return TFieldKind::Integer;
    case Float4Type:
    case Float8Type:
        return TFieldKind::Real;
    case NumericType:
        return TFieldKind::Numeric;
    case TextType:
    case VarCharType:
    case BpCharType:
    case CharType:
    case NameType:
        return TFieldKind::Text;
    default:
        return TFieldKind::Untyped;
    }
}

void TPgStatement::ReadColumn(int AColumn, TDbValue& AValue) const {
    if (!FResult || FRow < 0 || FRow >= FRows || PQgetisnull(FResult.get(), FRow, AColumn)) {
        AValue = std::monostate();
        return;
    }
    const char* Text = PQgetvalue(FResult.get(), FRow, AColumn);
    const auto Length = static_cast<std::size_t>(PQgetlength(FResult.get(), FRow, AColumn));
    const unsigned Type = FColumns[static_cast<std::size_t>(AColumn)].Type;
    if (Type == BoolType) {
        AValue = static_cast<std::int64_t>(Text[0] == 't' ? 1 : 0);
        return;
    }
    switch (KindOfType(Type)) {
    case TFieldKind::Integer: {
        std::int64_t Value = 0;
        if (std::from_chars(Text, Text + Length, Value).ec == std::errc())
            AValue = Value;
        else
            AValue = std::string(Text, Length);
        return;
    }
    case TFieldKind::Real:
    case TFieldKind::Numeric: {
        double Value = 0;
        if (std::from_chars(Text, Text + Length, Value).ec == std::errc())
            AValue = Value;
        else
            AValue = std::string(Text, Length);
        return;
    }
    default:
        if (auto* Held = std::get_if<std::string>(&AValue))
            Held->assign(Text, Length);
        else
            AValue.emplace<std::string>(Text, Length);
        return;
    }
}
