#include "ConnectionString.h"
#include "Query.h"
#include "SQLiteEngine.h"
#include "Savepoint.h"
#include "Transaction.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

namespace {

class DbAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        FFile = MakeDatabase(FDir, "local.db", TSchemaKind::Local);
        // The last columns carry the type names of databases converted from Access.
        RunSql(FFile, "create table T (Name TEXT COLLATE NOCASE, Num INTEGER, Flag BOOLEAN,"
                      " Stamp REAL, Code TEXT, L LONG, S SHORT, B BYTE, C COUNTER, Cur CURRENCY,"
                      " D DATETIME, Y YESNO, V VARCHAR(20))");
        FCnn.SetConnectionString(JetConnectionString(FFile));
        FCnn.SetConnected(true);
    }

    int Exec(const std::string& ASql) {
        TQuery Query(FCnn);
        Query.SetSQL(ASql);
        return Query.ExecSQL();
    }

    TTempDir FDir;
    std::string FFile;
    TConnection FCnn;
};

std::string ErrorOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const TDatabaseError& Error) {
        return Error.what();
    }
    return "(no error)";
}

// -------------------------------------------------------------------------------------------
// Parameters: every kind goes in through a :Name parameter and comes back with its storage.

struct TParamCase {
    const char* Name;
    std::function<void(TQuery&)> Bind;
    const char* Column;
    const char* StoredType; // sqlite typeof()
    const char* StoredText;
};

class ParamKinds : public DbAccessTest, public ::testing::WithParamInterface<TParamCase> {};

TEST_P(ParamKinds, StoredWithItsType) {
    const TParamCase& Case = GetParam();
    TQuery Query(FCnn);
    Query.SetSQL(std::string("insert into T (") + Case.Column + ") values (:value)");
    Query.Prepare();
    Case.Bind(Query);
    EXPECT_EQ(Query.ExecSQL(), 1);
    EXPECT_EQ(QueryText(FFile, std::string("select typeof(") + Case.Column + ") from T"),
              Case.StoredType);
    EXPECT_EQ(QueryText(FFile, std::string("select ") + Case.Column + " from T"), Case.StoredText);
}

INSTANTIATE_TEST_SUITE_P(
    DbAccess, ParamKinds,
    ::testing::Values(
        TParamCase{"Text", [](TQuery& Q) { Q.SetText("Value", "歌曲 Song"); }, "Name", "text",
                   "歌曲 Song"},
        TParamCase{"EmptyText", [](TQuery& Q) { Q.SetText("VALUE", ""); }, "Name", "text", ""},
        TParamCase{"Integer", [](TQuery& Q) { Q.SetInteger("value", -2147483647 - 1); }, "Num",
                   "integer", "-2147483648"},
        TParamCase{"BooleanTrue", [](TQuery& Q) { Q.SetBoolean("value", true); }, "Flag",
                   "integer", "1"},
        TParamCase{"BooleanFalse", [](TQuery& Q) { Q.SetBoolean("value", false); }, "Flag",
                   "integer", "0"},
        TParamCase{"Null", [](TQuery& Q) { Q.SetNull("value"); }, "Num", "null", ""},
        TParamCase{"DateWithTime", [](TQuery& Q) { Q.SetDate("value", 45000.75); }, "Stamp",
                   "real", "45000.75"},
        TParamCase{"DateZero", [](TQuery& Q) { Q.SetDate("value", 0.0); }, "Stamp", "real",
                   "0.0"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(DbAccessTest, DateKeepsTimeOfDayThroughARoundTrip) {
    const TDateTime Stamp = EncodeDateTime(2024, 2, 29, 18, 30, 15);
    TQuery Insert(FCnn);
    Insert.SetSQL("insert into T (Stamp) values (:Stamp)");
    Insert.SetDate("Stamp", Stamp);
    Insert.ExecSQL();
    TQuery Select(FCnn);
    Select.SetSQL("select Stamp from T");
    Select.Open();
    EXPECT_DOUBLE_EQ(Select.FieldAsDateTime("stamp"), Stamp);
    EXPECT_NEAR(Stamp - std::floor(Stamp), (18 * 3600 + 30 * 60 + 15) / 86400.0, 1e-9);
}

TEST_F(DbAccessTest, DateRangeIsCheckedBeforeBinding) {
    TQuery Query(FCnn);
    Query.SetSQL("insert into T (Stamp) values (:Stamp)");
    EXPECT_NO_THROW(Query.SetDate("Stamp", -657434.0));        // 100-01-01
    EXPECT_NO_THROW(Query.SetDate("Stamp", 2958465.99999));    // 9999-12-31 late
    EXPECT_EQ(ErrorOf([&] { Query.SetDate("Stamp", -657434.5); }),
              "'-657434' is not a valid date and time");
    EXPECT_EQ(ErrorOf([&] { Query.SetDate("Stamp", 2958466.0); }),
              "'2.95847e+06' is not a valid date and time");
    EXPECT_EQ(ErrorOf([&] { Query.SetDate("Stamp", std::nan("")); }),
              "'nan' is not a valid date and time");
}

TEST_F(DbAccessTest, EncodeDateTimeMatchesOleAutomationDates) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1), 2.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(100, 1, 1), -657434.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(9999, 12, 31), 2958465.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
}

TEST_F(DbAccessTest, ParameterSharedByTwoPlacesIsBoundInBoth) {
    Exec("insert into T (Name, Code) values ('a', 'a'), ('a', 'b')");
    TQuery Query(FCnn);
    Query.SetSQL("select * from T where Name=:X and Code=:x");
    Query.SetText("X", "a");
    Query.Open();
    EXPECT_EQ(Query.RecordCount(), 1);
}

// -------------------------------------------------------------------------------------------
// Results

TEST_F(DbAccessTest, RecordCountIsExact) {
    for (const int Rows : {0, 1, 257}) {
        Exec("delete from T");
        for (int I = 0; I < Rows; ++I)
            Exec("insert into T (Num) values (" + std::to_string(I) + ")");
        TQuery Query(FCnn);
        Query.SetSQL("select * from T");
        Query.Open();
        EXPECT_EQ(Query.RecordCount(), Rows) << Rows << " rows";
        EXPECT_EQ(Query.Eof(), Rows == 0);
    }
}

// Rows come from the engine as Next reaches them: a row that cannot be read fails when it is
// reached, not when the query opens; the rows before it are read.
TEST_F(DbAccessTest, RowsAreReadAsNextReachesThem) {
    Exec("insert into T (Num) values (1), (2), (3), (4)");
    TQuery Query(FCnn);
    // Rows in the order inserted (no sorting, which would read them all first).
    Query.SetSQL("select case when Num = 3 then json(Num || '{') else Num end as V from T");
    Query.Open();
    EXPECT_EQ(Query.FieldAsInteger("V"), 1);
    Query.Next();
    EXPECT_EQ(Query.FieldAsInteger("V"), 2);
    const std::string Error = ErrorOf([&] { Query.Next(); });
    EXPECT_NE(Error.find("Cannot read the next record: malformed JSON"), std::string::npos) << Error;
    EXPECT_NE(Error.find(FFile), std::string::npos) << Error;
}

// Counting reads the rest of the result and keeps the current row; Next goes on from it, and a
// posted row comes after every row of the result.
TEST_F(DbAccessTest, CountingKeepsTheCurrentRowAndPostingAddsAfterTheRest) {
    RunSql(FFile, "insert into SongTypes (TypeName) values ('a'), ('b'), ('c')");
    TQuery Query(FCnn);
    Query.SetSQL("select * from SongTypes order by TypeID");
    Query.Open();
    Query.Next();
    EXPECT_EQ(Query.RecordCount(), 3);
    EXPECT_EQ(Query.FieldAsString("TypeName"), "b");
    Query.Next();
    EXPECT_EQ(Query.FieldAsString("TypeName"), "c");
    Query.Append();
    Query.SetFieldText("TypeName", "d");
    Query.Post();
    EXPECT_EQ(Query.RecordCount(), 4);
    EXPECT_EQ(Query.FieldAsInteger("TypeID"), 4);
    Query.Next();
    EXPECT_TRUE(Query.Eof());
}

TEST_F(DbAccessTest, LastInsertIdIsTheNewRowsAutoNumber) {
    RunSql(FFile, "insert into Languages (LanguageName) values ('a'), ('b')");
    Exec("insert into Languages (LanguageName) values ('c')");
    EXPECT_EQ(FCnn.LastInsertId(), 3);
}

TEST_F(DbAccessTest, NullsAndMissingRowsReadAsEmptyZeroAndDateZero) {
    Exec("insert into T (Name, Num, Stamp) values (null, null, null)");
    for (const char* Sql : {"select * from T", "select * from T where Num = 99"}) {
        TQuery Query(FCnn);
        Query.SetSQL(Sql);
        Query.Open();
        EXPECT_EQ(Query.FieldAsString("Name"), "") << Sql;
        EXPECT_EQ(Query.FieldAsInteger("Num"), 0) << Sql;
        EXPECT_EQ(Query.FieldAsDateTime("Stamp"), 0.0) << Sql;
    }
}

struct TDateTextCase {
    const char* Name;
    const char* Text;
    bool Ok;
    TDateTime Expected;
};

class DateText : public DbAccessTest, public ::testing::WithParamInterface<TDateTextCase> {};

// Dates other tools stored as text: only real dates, with nothing after them.
TEST_P(DateText, ReadsOnlyWholeRealDates) {
    const TDateTextCase& Case = GetParam();
    TQuery Query(FCnn);
    Query.SetSQL("select :Text as Stamp");
    Query.SetText("Text", Case.Text);
    Query.Open();
    if (Case.Ok) {
        EXPECT_DOUBLE_EQ(Query.FieldAsDateTime("Stamp"), Case.Expected);
    } else {
        const std::string Error = ErrorOf([&] { Query.FieldAsDateTime("Stamp"); });
        EXPECT_NE(Error.find("is not a valid date and time"), std::string::npos) << Error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    DbAccess, DateText,
    ::testing::Values(
        TDateTextCase{"Date", "2021-03-03", true, EncodeDateTime(2021, 3, 3)},
        TDateTextCase{"DateAndMinutes", "2021-03-03 12:30", true, EncodeDateTime(2021, 3, 3, 12, 30)},
        TDateTextCase{"IsoSeconds", "2021-03-03T12:30:15", true,
                      EncodeDateTime(2021, 3, 3, 12, 30, 15)},
        TDateTextCase{"LeapDay", "2020-02-29", true, EncodeDateTime(2020, 2, 29)},
        TDateTextCase{"ThirtyFirstOfFebruary", "2021-02-31", false, 0},
        TDateTextCase{"LeapDayOfACommonYear", "2021-02-29", false, 0},
        TDateTextCase{"LeapDayOf1900", "1900-02-29", false, 0},
        TDateTextCase{"ThirtyFirstOfApril", "2021-04-31", false, 0},
        TDateTextCase{"TrailingText", "2021-01-01junk", false, 0},
        TDateTextCase{"TrailingAfterTime", "2021-01-01 10:00:00junk", false, 0},
        TDateTextCase{"TrailingBlank", "2021-01-01 ", false, 0},
        TDateTextCase{"HourOnly", "2021-01-01 10", false, 0},
        TDateTextCase{"Month13", "2021-13-01", false, 0},
        TDateTextCase{"Hour24", "2021-01-01 24:00", false, 0},
        TDateTextCase{"DayZero", "2021-01-00", false, 0},
        TDateTextCase{"Empty", "", false, 0}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(DbAccessTest, FieldsByNameInAnyCaseOrFirstByPosition) {
    Exec("insert into T (Name, Num) values ('周杰伦', 42)");
    TQuery Query(FCnn);
    Query.SetSQL("select Num, Name from T");
    Query.Open();
    EXPECT_EQ(Query.FieldAsString("NAME"), "周杰伦");
    EXPECT_EQ(Query.FieldAsInteger("num"), 42);
    EXPECT_EQ(Query.FieldAsInteger(0), 42);
    EXPECT_EQ(Query.FieldAsString(0), "42");
}

struct TIntCase {
    const char* Name;
    const char* Sql; // value of the first column
    bool Ok;
    std::int32_t Expected;
};

class IntegerConversion : public DbAccessTest, public ::testing::WithParamInterface<TIntCase> {};

TEST_P(IntegerConversion, FromTextAndNumbers) {
    const TIntCase& Case = GetParam();
    Exec("insert into T (Code, Num) values (null, null)");
    TQuery Query(FCnn);
    Query.SetSQL(std::string("select ") + Case.Sql + " from T");
    Query.Open();
    if (Case.Ok) {
        EXPECT_EQ(Query.FieldAsInteger(0), Case.Expected);
    } else {
        const std::string Error = ErrorOf([&] { Query.FieldAsInteger(0); });
        EXPECT_NE(Error.find("is not a valid integer value"), std::string::npos) << Error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    DbAccess, IntegerConversion,
    ::testing::Values(TIntCase{"Decimal", "'80000123'", true, 80000123},
                      TIntCase{"Signed", "'-42'", true, -42},
                      TIntCase{"Plus", "'+7'", true, 7},
                      TIntCase{"LeadingZeros", "'0007'", true, 7},
                      TIntCase{"Max", "'2147483647'", true, 2147483647},
                      TIntCase{"Min", "'-2147483648'", true, -2147483647 - 1},
                      TIntCase{"IntegerExpression", "length('abc') + 2", true, 5},
                      TIntCase{"NullNumberColumn", "Num", true, 0},
                      TIntCase{"NullLong", "L", true, 0},
                      TIntCase{"NullShort", "S", true, 0},
                      TIntCase{"NullByte", "B", true, 0},
                      TIntCase{"NullCounter", "C", true, 0},
                      TIntCase{"NullCurrency", "Cur", true, 0},
                      TIntCase{"NullDateTime", "D", true, 0},
                      TIntCase{"NullYesNo", "Y", true, 0},
                      TIntCase{"NullExpression", "max(Num)", true, 0},
                      TIntCase{"NullVarchar", "V", false, 0},
                      TIntCase{"Empty", "''", false, 0},
                      TIntCase{"NullText", "Code", false, 0},
                      TIntCase{"Letters", "'abc'", false, 0},
                      TIntCase{"Trailing", "'12a'", false, 0},
                      TIntCase{"Blank", "' 12'", false, 0},
                      TIntCase{"Hex", "'0x10'", false, 0},
                      TIntCase{"SignOnly", "'-'", false, 0},
                      TIntCase{"TooBig", "'2147483648'", false, 0},
                      TIntCase{"TooSmall", "'-2147483649'", false, 0},
                      TIntCase{"BigInteger", "5000000000", false, 0}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(DbAccessTest, ExecSqlReturnsRowsAffected) {
    EXPECT_EQ(Exec("insert into T (Num) values (1), (2), (3)"), 3);
    EXPECT_EQ(Exec("update T set Code = 'x' where Num >= 2"), 2);
    EXPECT_EQ(Exec("update T set Code = 'x' where Num = 99"), 0);
    EXPECT_EQ(Exec("delete from T"), 3);
}

TEST_F(DbAccessTest, ReplacingTheTextDropsTheOldResultAndParameters) {
    Exec("insert into T (Num) values (1)");
    TQuery Query(FCnn);
    Query.SetSQL("select * from T where Num=:Num");
    Query.SetInteger("Num", 1);
    Query.Open();
    ASSERT_EQ(Query.RecordCount(), 1);
    Query.SetSQL("select count(*) from T");
    EXPECT_FALSE(Query.Active());
    EXPECT_NE(ErrorOf([&] { Query.SetInteger("Num", 1); }).find("Unknown parameter"),
              std::string::npos);
    Query.Open();
    EXPECT_EQ(Query.FieldAsInteger(0), 1);
}

// -------------------------------------------------------------------------------------------
// Append and post

TEST_F(DbAccessTest, AppendPostMakesTheNewRowCurrentWithItsAutoNumber) {
    for (const char* Expected : {"1", "2"}) {
        TQuery Query(FCnn);
        Query.SetSQL("Select * from SongTypes where TypeName=:TypeName");
        Query.SetText("TypeName", "情歌");
        Query.Open();
        if (Query.RecordCount() > 0)
            break;
        Query.Append();
        Query.SetFieldText("typename", "情歌");
        Query.Post();
        EXPECT_EQ(Query.FieldAsString("TypeID"), Expected);
        EXPECT_EQ(Query.FieldAsString("TypeName"), "情歌");
        EXPECT_EQ(Query.RecordCount(), 1);
    }
    EXPECT_EQ(QueryText(FFile, "select count(*) from SongTypes"), "1");

    TQuery Second(FCnn);
    Second.SetSQL("select * from SongTypes where TypeName=:TypeName");
    Second.SetText("TypeName", "摇滚");
    Second.Open();
    Second.Append();
    Second.SetFieldText("TypeName", "摇滚");
    Second.Post();
    EXPECT_EQ(Second.FieldAsInteger("TypeID"), 2);
}

TEST_F(DbAccessTest, AppendNeedsAWholeTableResult) {
    TQuery Query(FCnn);
    Query.SetSQL("select TypeName from SongTypes");
    Query.Open();
    EXPECT_NE(ErrorOf([&] { Query.Append(); }).find("not a whole table"), std::string::npos);
}

// -------------------------------------------------------------------------------------------
// Letter case

TEST_F(DbAccessTest, WhereComparesNamesAndPathsWithoutLetterCase) {
    RunSql(FFile, "insert into Songs (FilePath, SongName) values ('D:\\Songs\\ABC.mpg', 'Hello');"
                  "insert into Languages (LanguageName) values ('English')");
    const struct {
        const char* Sql;
        const char* Param;
        const char* Value;
    } Cases[] = {
        {"select songnumber from songs where FilePath=:FilePath", "FilePath", "d:\\songs\\abc.MPG"},
        {"select * from songs where SongName=:N", "N", "HELLO"},
        {"Select * from Languages where LanguageName=:LanguageName", "LanguageName", "english"},
    };
    for (const auto& Case : Cases) {
        TQuery Query(FCnn);
        Query.SetSQL(Case.Sql);
        Query.SetText(Case.Param, Case.Value);
        Query.Open();
        EXPECT_EQ(Query.RecordCount(), 1) << Case.Sql;
    }
}

// -------------------------------------------------------------------------------------------
// Errors name what failed

TEST_F(DbAccessTest, StatementErrorsNameTheStatementAndTheFile) {
    const std::string Bad = ErrorOf([&] { Exec("selec * from T"); });
    EXPECT_NE(Bad.find("syntax error"), std::string::npos) << Bad;
    EXPECT_NE(Bad.find("\"selec * from T\""), std::string::npos) << Bad;
    EXPECT_NE(Bad.find(FFile), std::string::npos) << Bad;

    const std::string NoTable = ErrorOf([&] { Exec("select * from Nowhere"); });
    EXPECT_NE(NoTable.find("no such table: Nowhere"), std::string::npos) << NoTable;

    TQuery Query(FCnn);
    Query.SetSQL("select * from T where Num=:Num");
    const std::string Param = ErrorOf([&] { Query.SetInteger("Number", 1); });
    EXPECT_NE(Param.find("Unknown parameter \"Number\""), std::string::npos) << Param;
    Query.SetInteger("Num", 1);
    Query.Open();
    const std::string Field = ErrorOf([&] { Query.FieldAsString("Nope"); });
    EXPECT_NE(Field.find("Unknown field \"Nope\""), std::string::npos) << Field;
}

TEST_F(DbAccessTest, ConstraintViolationIsAnError) {
    Exec("create unique index TName on T (Name)");
    Exec("insert into T (Name) values ('a')");
    const std::string Error = ErrorOf([&] { Exec("insert into T (Name) values ('A')"); });
    EXPECT_EQ(Error, "Cannot execute the statement: UNIQUE constraint failed: T.Name (database \"" +
                         FFile + "\") in statement \"insert into T (Name) values ('A')\"");
    // The next error is told with its own words only.
    TQuery Query(FCnn);
    Query.SetSQL("select * from T");
    Query.Open();
    EXPECT_EQ(ErrorOf([&] { Query.FieldAsString("Nope"); }),
              "Unknown field \"Nope\" (database \"" + FFile + "\") in statement \"select * from T\"");
}

TEST_F(DbAccessTest, TwoStatementsInOneTextAreRefusedEveryTime) {
    TQuery Query(FCnn);
    Query.SetSQL("insert into T (Num) values (1); delete from T");
    for (int Try = 0; Try < 2; ++Try)
        EXPECT_NE(ErrorOf([&] { Query.ExecSQL(); }).find("Only one statement"), std::string::npos);
    EXPECT_EQ(QueryText(FFile, "select count(*) from T"), "0");
}

struct TOpenCase {
    const char* Name;
    std::function<void(const std::string&)> Make; // writes the file (or nothing)
    const char* Expected;
};

class OpenErrors : public ::testing::TestWithParam<TOpenCase> {};

TEST_P(OpenErrors, NameTheFileAndNeverCreateIt) {
    TTempDir Dir;
    const std::string File = Dir.File("songs.mdb");
    GetParam().Make(File);
    const bool Existed = std::filesystem::exists(File);
    TConnection Cnn;
    Cnn.SetConnectionString(JetConnectionString(File));
    const std::string Error = ErrorOf([&] { Cnn.SetConnected(true); });
    EXPECT_NE(Error.find("\"" + File + "\""), std::string::npos) << Error;
    EXPECT_NE(Error.find(GetParam().Expected), std::string::npos) << Error;
    EXPECT_FALSE(Cnn.Connected());
    EXPECT_EQ(std::filesystem::exists(File), Existed);
}

void WriteBytes(const std::string& AFile, const std::string& ABytes) {
    std::ofstream(AFile, std::ios::binary) << ABytes;
}

INSTANTIATE_TEST_SUITE_P(
    DbAccess, OpenErrors,
    ::testing::Values(
        TOpenCase{"Missing", [](const std::string&) {}, "does not exist"},
        TOpenCase{"Folder", [](const std::string& F) { std::filesystem::create_directory(F); },
                  "not a file"},
        TOpenCase{"EmptyFile", [](const std::string& F) { WriteBytes(F, ""); },
                  "not a database"},
        TOpenCase{"TextFile", [](const std::string& F) { WriteBytes(F, "hello, world\n"); },
                  "not a database"},
        TOpenCase{"Jet4", [](const std::string& F) {
                      WriteBytes(F, std::string("\x00\x01\x00\x00Standard Jet DB\x00\x01", 21));
                  }, "Access (Jet) database"},
        TOpenCase{"Ace", [](const std::string& F) {
                      WriteBytes(F, std::string("\x00\x01\x00\x00Standard ACE DB\x00\x02", 21));
                  }, "Access (Jet) database"},
        TOpenCase{"DamagedSQLite", [](const std::string& F) {
                      WriteBytes(F, std::string("SQLite format 3\0", 16) + std::string(200, 'x'));
                  }, "not a database"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(DbConnection, ConnectionStringKeysAreReadAndTheRestIgnored) {
    const std::string Cnn = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\KTV\\Ktv.mdb;"
                            "Persist Security Info=false;Jet OLEDB:Database Password=RivaPolte";
    EXPECT_EQ(ConnectionStringValue(Cnn, "data source"), "D:\\KTV\\Ktv.mdb");
    EXPECT_EQ(ConnectionStringValue(Cnn, "Jet OLEDB:Database Password"), "RivaPolte");
    EXPECT_EQ(ConnectionStringValue(Cnn, "User ID"), "");
    EXPECT_EQ(ConnectionStringValue("Data Source = \"a b.mdb\" ;", "Data Source"), "a b.mdb");
}

TEST(DbConnection, RelativeDataSourceResolvesAgainstTheCurrentDirectory) {
    TTempDir Dir;
    MakeDatabase(Dir, "Ktv.mdb", TSchemaKind::Local);
    const auto Saved = std::filesystem::current_path();
    std::filesystem::current_path(Dir.Path());
    TConnection Cnn;
    Cnn.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=Ktv.mdb;"
                            "Persist Security Info=false;Jet OLEDB:Database Password=RivaPolte");
    EXPECT_NO_THROW(Cnn.SetConnected(true));
    std::filesystem::current_path(Saved);
    EXPECT_EQ(Cnn.FileName(), Dir.File("Ktv.mdb"));
    EXPECT_EQ(QueryText(Dir.File("Ktv.mdb"), "pragma journal_mode"), "wal");
    Cnn.SetConnected(false);
    EXPECT_FALSE(Cnn.Connected());
}

TEST(DbConnection, ShareDenyNoneIsReadOnly) {
    TTempDir Dir;
    const std::string File = MakeDatabase(Dir, "Total.mdb", TSchemaKind::Master);
    TConnection Cnn;
    Cnn.SetMode(TConnectMode::ShareDenyNone);
    Cnn.SetConnectionString(JetConnectionString(File));
    Cnn.SetConnected(true);
    TQuery Query(Cnn);
    Query.SetSQL("select * from Songs");
    Query.Open();
    EXPECT_EQ(Query.RecordCount(), 0);
    Query.SetSQL("insert into Songs (SongName) values ('x')");
    EXPECT_NE(ErrorOf([&] { Query.ExecSQL(); }).find("readonly"), std::string::npos);
    // The owner of the file keeps writing while we read.
    EXPECT_NO_THROW(RunSql(File, "insert into Songs (SongName) values ('y')"));
}

TEST(DbConnection, OpenConnectionRefusesANewString) {
    TTempDir Dir;
    const std::string File = MakeDatabase(Dir, "Ktv.mdb", TSchemaKind::Local);
    TConnection Cnn;
    Cnn.SetConnectionString(JetConnectionString(File));
    Cnn.SetConnected(true);
    EXPECT_THROW(Cnn.SetConnectionString(JetConnectionString("other.mdb")), TDatabaseError);
}

TEST(DbConnection, BorrowedHandleIsNeitherClosedNorReconfigured) {
    TTempDir Dir;
    const std::string File = MakeDatabase(Dir, "Ktv.mdb", TSchemaKind::Local);
    sqlite3* Handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(File.c_str(), &Handle, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    {
        TConnection Cnn(TSQLiteEngine::Borrow(Handle));
        EXPECT_TRUE(Cnn.Connected());
        TQuery Query(Cnn);
        Query.SetSQL("insert into Languages (LanguageName) values (:N)");
        Query.SetText("N", "国语");
        EXPECT_EQ(Query.ExecSQL(), 1);
        Cnn.SetConnected(true);
    }
    sqlite3_stmt* Stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(Handle, "pragma journal_mode", -1, &Stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(Stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 0)), "delete");
    sqlite3_finalize(Stmt);
    EXPECT_EQ(sqlite3_close(Handle), SQLITE_OK);
}


// -------------------------------------------------------------------------------------------
// Transactions and savepoints

TEST_F(DbAccessTest, TransactionCommitsOrRollsBackWhenItGoesWithoutCommit) {
    {
        TTransaction Transaction(FCnn);
        Exec("insert into T (Name) values ('kept')");
        Transaction.Commit();
    }
    {
        TTransaction Transaction(FCnn);
        Exec("insert into T (Name) values ('lost')");
    }
    EXPECT_EQ(QueryText(FFile, "select group_concat(Name) from T"), "kept");
}

// A savepoint rolled back inside a transaction undoes only its own part; the transaction goes
// on and commits the rest.
TEST_F(DbAccessTest, SavepointRolledBackKeepsTheEnclosingTransaction) {
    TTransaction Transaction(FCnn);
    Exec("insert into T (Name) values ('song')");
    {
        TSavepoint Step(FCnn, "Step");
        Exec("insert into T (Name) values ('mirror')");
    }
    {
        TSavepoint Step(FCnn, "Step");
        Exec("insert into T (Name) values ('other')");
        Step.Release();
    }
    Transaction.Commit();
    EXPECT_EQ(QueryText(FFile, "select group_concat(Name) from T"), "song,other");
}

// BEGIN IMMEDIATE waits for another writer's lock (the busy timeout) and fails, naming the
// lock, when it is held longer.
TEST_F(DbAccessTest, TransactionWaitsForTheWriteLockThenFailsLocked) {
    sqlite3* Other = nullptr;
    ASSERT_EQ(sqlite3_open(FFile.c_str(), &Other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(Other, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto Start = std::chrono::steady_clock::now();
    try {
        TTransaction Transaction(FCnn);
        ADD_FAILURE() << "no error";
    } catch (const TDatabaseError& Error) {
        EXPECT_NE(std::string(Error.what()).find("database is locked"), std::string::npos);
        EXPECT_TRUE(Error.DatabaseUnusable());
    }
    EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::seconds(4));
    sqlite3_exec(Other, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(Other);
    TTransaction Transaction(FCnn); // free again: the failed attempt left nothing open
    Transaction.Commit();
}

// -------------------------------------------------------------------------------------------
// Network file systems: WAL needs memory shared on one machine, so a writable database there
// gets a rollback journal, said once through the notice.

std::optional<long> GFileSystem;
std::vector<std::string> GNotices;

struct TFileSystemCase {
    const char* Name;
    std::optional<long> Type;
    const char* JournalMode;
};

class FileSystems : public ::testing::TestWithParam<TFileSystemCase> {
protected:
    void SetUp() override {
        GNotices.clear();
        GFileSystem = GetParam().Type;
        SetFileSystemTypeQuery([](const std::string&) { return GFileSystem; });
        SetDatabaseNotice([](const std::string& AText) { GNotices.push_back(AText); });
    }
    void TearDown() override {
        SetFileSystemTypeQuery(nullptr);
        SetDatabaseNotice(nullptr);
    }
    TTempDir FDir;
};

TEST_P(FileSystems, NetworkFileSystemsGetARollbackJournal) {
    const std::string File = MakeDatabase(FDir, "Ktv.mdb", TSchemaKind::Local);
    {
        TConnection Cnn;
        Cnn.SetConnectionString(JetConnectionString(File));
        Cnn.SetConnected(true);
        EXPECT_EQ(QueryText(File, "pragma journal_mode"), GetParam().JournalMode);
        TQuery Query(Cnn);
        Query.SetSQL("insert into Languages (LanguageName) values ('国语')");
        EXPECT_EQ(Query.ExecSQL(), 1);
        EXPECT_EQ(std::filesystem::exists(File + "-shm"), GetParam().JournalMode == std::string("wal"));
    }
    if (GetParam().JournalMode == std::string("delete")) {
        ASSERT_EQ(GNotices.size(), 1u);
        EXPECT_NE(GNotices[0].find(File), std::string::npos) << GNotices[0];
        EXPECT_NE(GNotices[0].find("rollback journal"), std::string::npos) << GNotices[0];
    } else {
        EXPECT_TRUE(GNotices.empty());
    }
    // The master catalogue is only read: its file system is not asked, nothing is said.
    GNotices.clear();
    TConnection Master;
    Master.SetConnectionString(JetConnectionString(File));
    Master.SetMode(TConnectMode::ShareDenyNone);
    Master.SetConnected(true);
    EXPECT_TRUE(GNotices.empty());
}

INSTANTIATE_TEST_SUITE_P(
    DbConnection, FileSystems,
    ::testing::Values(TFileSystemCase{"Nfs", 0x6969, "delete"},
                      TFileSystemCase{"Cifs", 0xFF534D42L, "delete"},
                      TFileSystemCase{"Smb2", 0xFE534D42L, "delete"},
                      TFileSystemCase{"Smb", 0x517B, "delete"},
                      TFileSystemCase{"Fuse", 0x65735546, "delete"},
                      // f_type as a 32-bit system's signed word gives it
                      TFileSystemCase{"CifsSignedWord", static_cast<std::int32_t>(0xFF534D42u), "delete"},
                      TFileSystemCase{"Ext4", 0xEF53, "wal"},
                      TFileSystemCase{"Tmpfs", 0x01021994, "wal"},
                      TFileSystemCase{"Unknown", std::nullopt, "wal"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// -------------------------------------------------------------------------------------------
// WAL size: a reader holding one read transaction keeps every later commit in the WAL. Once it
// lets go, the file shrinks back (journal_size_limit), and closing leaves no WAL behind for the
// programs still holding the database.

std::uintmax_t WalSize(const std::string& AFile) {
    std::error_code Error;
    const auto Size = std::filesystem::file_size(AFile + "-wal", Error);
    return Error ? 0 : Size;
}

TEST(DbConnection, WalShrinksBackAfterALongReaderAndOnClose) {
    TTempDir Dir;
    const std::string File = MakeDatabase(Dir, "Ktv.mdb", TSchemaKind::Local);
    auto Cnn = std::make_unique<TConnection>();
    Cnn->SetConnectionString(JetConnectionString(File));
    Cnn->SetConnected(true);
    sqlite3* Reader = nullptr;
    ASSERT_EQ(sqlite3_open(File.c_str(), &Reader), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(Reader, "begin; select count(*) from Songs", nullptr, nullptr, nullptr),
              SQLITE_OK);
    const auto Commit = [&](int ANumber) {
        TTransaction Transaction(*Cnn);
        TQuery Query(*Cnn);
        Query.SetSQL("insert into Languages (LanguageName) values (:Name)");
        Query.SetText("Name", std::to_string(ANumber) + std::string(3000, 'x'));
        Query.ExecSQL();
        Transaction.Commit();
    };
    for (int I = 0; I < 3000; ++I)
        Commit(I);
    const auto Peak = WalSize(File);
    EXPECT_GT(Peak, 16u * 1024 * 1024) << "the reader held every commit in the WAL";

    // Checkpoints that got nowhere are put off while the WAL grows by a sixteenth, so the
    // shrinking comes within that many more commits.
    ASSERT_EQ(sqlite3_exec(Reader, "commit", nullptr, nullptr, nullptr), SQLITE_OK);
    int More = 0;
    while (WalSize(File) > 8u * 1024 * 1024 && More < 3000 / 16 + 10)
        Commit(-++More);
    EXPECT_LE(WalSize(File), 8u * 1024 * 1024) << "peak " << Peak << ", " << More << " commits later";

    Cnn.reset(); // the reader's connection stays open
    EXPECT_EQ(WalSize(File), 0u);
    EXPECT_EQ(QueryText(File, "select count(*) from Languages"), std::to_string(3000 + More));
    sqlite3_close(Reader);
}

} // namespace
