// What an engine gets from the database layer and what the layer keeps for itself: the `:Name`
// parameters found once (every place of a name, in any letter case, none inside quotes or
// comments), rows read only as they are reached, and the Jet rules for reading values. The
// engine here is a scripted one that numbers its parameters ($1, $2, ...) as a server does, and
// converts nothing.
#include "Connection.h"
#include "Query.h"
#include "SqlParameters.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string ErrorOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const TDatabaseError& Error) {
        return Error.what();
    }
    return "(no error)";
}

// -------------------------------------------------------------------------------------------
// The parameters of a text

struct TParamCase {
    const char* Name;
    const char* SQL;
    // Each parameter as NAME@PLACE,PLACE... joined by ' '.
    const char* Expected;
};

std::string Describe(const TSqlParameters& AParameters) {
    std::string Result;
    for (std::size_t P = 0; P < AParameters.Names.size(); ++P) {
        if (!Result.empty())
            Result += ' ';
        Result += AParameters.Names[P] + "@";
        bool First = true;
        for (const TSqlParameters::TMark& Mark : AParameters.Marks)
            if (Mark.Parameter == static_cast<int>(P)) {
                if (!First)
                    Result += ',';
                Result += std::to_string(Mark.Place);
                First = false;
            }
    }
    return Result;
}

class SqlParameterCases : public ::testing::TestWithParam<TParamCase> {};

TEST_P(SqlParameterCases, FoundOnceForEveryEngine) {
    EXPECT_EQ(Describe(FindSqlParameters(GetParam().SQL)), GetParam().Expected) << GetParam().SQL;
}

INSTANTIATE_TEST_SUITE_P(
    DbEngineSeam, SqlParameterCases,
    ::testing::Values(
        TParamCase{"OneName", "select * from T where A=:A", "A@24"},
        TParamCase{"OneNameInTwoCasesIsOneParameter", ":Path=:PATH or :path", "Path@0,6,15"},
        TParamCase{"OrderOfFirstAppearance", ":b,:a,:B", "b@0,6 a@3"},
        TParamCase{"NameEndsAtAnythingElse", ":a+:b_1)", "a@0 b_1@3"},
        TParamCase{"NonAsciiName", ":歌名=1", "歌名@0"},
        TParamCase{"QuotedTextMarksNothing", "':x' || :y || 'it''s :z'", "y@8"},
        TParamCase{"QuotedIdentifiersMarkNothing", "\":a\" [:b] `:c` :d", "d@15"},
        TParamCase{"CommentsMarkNothing", "-- :a\n:b /* :c */ :d", "b@6 d@18"},
        TParamCase{"UnclosedQuoteRunsToTheEnd", "'abc :x", ""},
        TParamCase{"CastIsNoParameter", "x::int = :v", "v@9"},
        TParamCase{"ColonAloneIsNoParameter", ": a :", ""}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// -------------------------------------------------------------------------------------------
// A scripted engine: one result for every query, parameters numbered.

struct TScript {
    std::vector<std::string> Columns;
    std::vector<TFieldKind> Kinds;
    std::vector<std::vector<TDbValue>> Rows;
    int FailAtRow = -1; // a step onto this row fails
    // What the engine saw.
    std::vector<std::string> Prepared; // the texts with $N marks
    std::map<int, std::string> Bound;  // parameter number (from 1) -> value as text
    int Steps = 0;
};

class TScriptedStatement final : public TDbStatement {
public:
    explicit TScriptedStatement(TScript& AScript) : FScript(AScript) {}
    void BindNull(int AParameter) override { FScript.Bound[AParameter + 1] = "null"; }
    void BindInteger(int AParameter, std::int64_t AValue) override {
        FScript.Bound[AParameter + 1] = std::to_string(AValue);
    }
    void BindReal(int AParameter, double AValue) override {
        FScript.Bound[AParameter + 1] = std::to_string(AValue);
    }
    void BindText(int AParameter, std::string_view AValue) override {
        FScript.Bound[AParameter + 1] = std::string(AValue);
    }
    bool Step() override {
        ++FScript.Steps;
        if (FRow + 1 == FScript.FailAtRow)
            throw TDatabaseError("the server went away", 7, TDbFailure::Unusable);
        return ++FRow < static_cast<int>(FScript.Rows.size());
    }
    void Reset() noexcept override { FRow = -1; }
    int Changes() const override { return 0; }
    int Generation() const override { return 0; }
    int ColumnCount() const override { return static_cast<int>(FScript.Columns.size()); }
    std::string ColumnName(int AColumn) const override {
        return FScript.Columns[static_cast<std::size_t>(AColumn)];
    }
    TFieldKind ColumnKind(int AColumn) const override {
        return FScript.Kinds[static_cast<std::size_t>(AColumn)];
    }
    void ReadColumn(int AColumn, TDbValue& AValue) const override {
        AValue = FScript.Rows[static_cast<std::size_t>(FRow)][static_cast<std::size_t>(AColumn)];
    }

private:
    TScript& FScript;
    int FRow = -1;
};

class TScriptedEngine final : public TDbEngine {
public:
    explicit TScriptedEngine(TScript& AScript) : FScript(AScript) {}
    const std::string& Name() const override { return FName; }
    std::unique_ptr<TDbStatement> Prepare(const std::string& ASQL,
                                          const TSqlParameters& AParameters) override {
        // As a server with numbered parameters takes the text: each mark replaced by $N, from
        // the last so that the places before it stay.
        std::string Text = ASQL;
        for (auto Mark = AParameters.Marks.rbegin(); Mark != AParameters.Marks.rend(); ++Mark)
            Text.replace(Mark->Place, Mark->Length, "$" + std::to_string(Mark->Parameter + 1));
        FScript.Prepared.push_back(Text);
        return std::make_unique<TScriptedStatement>(FScript);
    }
    void Execute(const std::string&) override {}
    std::int64_t LastInsertId() override { return 0; }
    void Begin() override {}
    void Commit() override {}
    void Rollback() noexcept override {}
    bool InTransaction() override { return false; }
    void Savepoint(const std::string&) override {}
    void ReleaseSavepoint(const std::string&) override {}
    void RollbackToSavepoint(const std::string&) override {}

private:
    TScript& FScript;
    std::string FName = "scripted://catalogue";
};

class ScriptedEngineTest : public ::testing::Test {
protected:
    ScriptedEngineTest() : FCnn(std::make_unique<TScriptedEngine>(FScript)) {}
    TScript FScript;
    TConnection FCnn;
};

TEST_F(ScriptedEngineTest, NamesBecomeTheEnginesNumberedParameters) {
    TQuery Query(FCnn);
    Query.SetSQL("select * from Songs where FilePath=:FilePath and Note<>':FilePath' and "
                 "(SongName=:Name or SingerName=:NAME or Path2=:filepath)");
    Query.SetText("filepath", "D:\\a.mpg");
    Query.SetText("name", "歌");
    EXPECT_EQ(FScript.Prepared, std::vector<std::string>{
                                    "select * from Songs where FilePath=$1 and Note<>':FilePath' and "
                                    "(SongName=$2 or SingerName=$2 or Path2=$1)"});
    EXPECT_EQ(FScript.Bound, (std::map<int, std::string>{{1, "D:\\a.mpg"}, {2, "歌"}}));
    EXPECT_NE(ErrorOf([&] { Query.SetText("Singer", "x"); }).find("Unknown parameter \"Singer\""),
              std::string::npos);
}

TEST_F(ScriptedEngineTest, RowsAreReadAsTheyAreReachedAndCountedOnlyWhenAsked) {
    FScript.Columns = {"N"};
    FScript.Kinds = {TFieldKind::Integer};
    for (std::int64_t I = 1; I <= 5; ++I)
        FScript.Rows.push_back({I});
    TQuery Query(FCnn);
    Query.SetSQL("select N from T");
    Query.Open();
    EXPECT_EQ(FScript.Steps, 1);
    Query.Next();
    EXPECT_EQ(Query.FieldAsInteger(0), 2);
    EXPECT_EQ(FScript.Steps, 2);
    // Counting reads the rest (one more step finds the end) and keeps the current row.
    EXPECT_EQ(Query.RecordCount(), 5);
    EXPECT_EQ(FScript.Steps, 6);
    EXPECT_EQ(Query.FieldAsInteger("n"), 2);
    std::vector<std::int32_t> Rest;
    for (Query.Next(); !Query.Eof(); Query.Next())
        Rest.push_back(Query.FieldAsInteger(0));
    EXPECT_EQ(Rest, (std::vector<std::int32_t>{3, 4, 5}));
    EXPECT_EQ(FScript.Steps, 6);
    EXPECT_EQ(Query.RecordCount(), 5);
}

// A step that fails part way is told when that row is reached, with the engine's code and
// failure kind, the database and the statement.
TEST_F(ScriptedEngineTest, AFailingStepIsToldWhenItsRowIsReached) {
    FScript.Columns = {"N"};
    FScript.Kinds = {TFieldKind::Integer};
    FScript.Rows = {{std::int64_t{1}}, {std::int64_t{2}}, {std::int64_t{3}}};
    FScript.FailAtRow = 2;
    TQuery Query(FCnn);
    Query.SetSQL("select N from T");
    Query.Open();
    Query.Next();
    try {
        Query.Next();
        FAIL() << "no error";
    } catch (const TDatabaseError& Error) {
        EXPECT_STREQ(Error.what(), "Cannot read the next record: the server went away (database "
                                   "\"scripted://catalogue\") in statement \"select N from T\"");
        EXPECT_EQ(Error.Code(), 7);
        EXPECT_TRUE(Error.DatabaseUnusable());
    }
}

// The engine hands values over as they are typed; the Jet rules are the layer's.
TEST_F(ScriptedEngineTest, TypedValuesAreReadByTheLayersRules) {
    FScript.Columns = {"Count", "Number", "Name", "Date", "Stamp"};
    FScript.Kinds = {TFieldKind::Integer, TFieldKind::Text, TFieldKind::Text, TFieldKind::Real,
                     TFieldKind::Text};
    FScript.Rows = {{std::monostate(), std::string("80000001"), std::monostate(), 45000.25,
                     std::string("2021-03-03 12:00")}};
    TQuery Query(FCnn);
    Query.SetSQL("select * from Songs");
    Query.Open();
    EXPECT_EQ(Query.FieldAsInteger("Count"), 0);
    EXPECT_EQ(Query.FieldAsInteger("Number"), 80000001);
    EXPECT_EQ(Query.FieldAsString("Name"), "");
    EXPECT_NE(ErrorOf([&] { Query.FieldAsInteger("Name"); }).find("'' is not a valid integer value"),
              std::string::npos);
    EXPECT_DOUBLE_EQ(Query.FieldAsDateTime("Date"), 45000.25);
    EXPECT_DOUBLE_EQ(Query.FieldAsDateTime("Stamp"), EncodeDateTime(2021, 3, 3, 12));
}

} // namespace
