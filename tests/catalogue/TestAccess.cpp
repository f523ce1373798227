// Real Access files (Jet 3, Jet 4, ACE) opened as a master catalogue: read whole into memory
// and queried through the same connection and query types as an SQLite master.
#include "AccessSeams.h"
#include "DamagedAccess.h"
#include "Query.h"
#include "SQLiteEngine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include <sys/stat.h>

namespace {

// This program reads Access master catalogues, as the wizard does.
const bool AccessReaderInstalled = (InstallAccessReader(), true);

const std::string DataDir = ACCESS_TEST_DATA;
const std::string Jet3File = DataDir + "/nwind.mdb";
const std::string Jet4File = DataDir + "/DateTestDatabase.mdb";
const std::string AceFile = DataDir + "/ASampleDatabase.accdb";

std::string ErrorOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const TDatabaseError& Error) {
        return Error.what();
    }
    return "(no error)";
}

std::string ReadAll(const std::string& AFile) {
    std::ifstream In(AFile, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& AFile, const std::string& ABytes) {
    std::ofstream(AFile, std::ios::binary) << ABytes;
}

// A master connection to an Access file, as step 2 of the wizard opens it.
class TMaster {
public:
    explicit TMaster(const std::string& AFile) {
        FCnn.SetMode(TConnectMode::ShareDenyNone);
        FCnn.SetConnectionString(JetConnectionString(AFile));
        FCnn.SetConnected(true);
    }
    TConnection& Cnn() { return FCnn; }

private:
    TConnection FCnn;
};

int CountOf(TConnection& ACnn, const std::string& ATable) {
    TQuery Query(ACnn);
    Query.SetSQL("select * from \"" + ATable + "\"");
    Query.Open();
    return Query.RecordCount();
}

struct TCountCase {
    const char* Name;
    const std::string* File;
    const char* Table;
    int Rows; // as mdb-export lists them
};

class AccessRecordCounts : public ::testing::TestWithParam<TCountCase> {};

TEST_P(AccessRecordCounts, EveryRowOfTheTableIsRead) {
    TMaster Master(*GetParam().File);
    EXPECT_EQ(CountOf(Master.Cnn(), GetParam().Table), GetParam().Rows);
}

INSTANTIATE_TEST_SUITE_P(
    Access, AccessRecordCounts,
    ::testing::Values(TCountCase{"Jet3Customers", &Jet3File, "Customers", 91},
                      TCountCase{"Jet3Orders", &Jet3File, "Orders", 830},
                      TCountCase{"Jet3OrderDetails", &Jet3File, "Order Details", 2155},
                      TCountCase{"Jet3Employees", &Jet3File, "Employees", 9},
                      TCountCase{"Jet3NonAsciiTableName", &Jet3File, "Umsätze", 830},
                      TCountCase{"Jet4DateTest", &Jet4File, "DateTest", 6},
                      TCountCase{"AceAssetItems", &AceFile, "Asset Items", 65}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(Access, ParameterLookupIgnoresLetterCaseAndReadsAccentedTextExactly) {
    TMaster Master(Jet3File);
    TQuery Query(Master.Cnn());
    Query.SetSQL("select CompanyName, City, Address, Region from Customers where CustomerID = :Id");
    Query.Prepare();
    struct TRow {
        const char* Id;
        const char* Company;
        const char* City;
        const char* Address;
    };
    for (const TRow& Row : {TRow{"anatr", "Ana Trujillo Emparedados y helados", "México D.F.",
                                 "Avda. de la Constitución 2222"},
                            TRow{"Bergs", "Berglunds snabbköp", "Luleå", "Berguvsvägen  8"},
                            TRow{"BLONP", "Blondel père et fils", "Strasbourg", "24, place Kléber"},
                            TRow{"folko", "Folk och fä HB", "Bräcke", "Åkergatan 24"}}) {
        Query.SetText("id", Row.Id);
        Query.Open();
        ASSERT_EQ(Query.RecordCount(), 1) << Row.Id;
        EXPECT_EQ(Query.FieldAsString("companyname"), Row.Company);
        EXPECT_EQ(Query.FieldAsString("City"), Row.City);
        EXPECT_EQ(Query.FieldAsString("Address"), Row.Address);
        EXPECT_EQ(Query.FieldAsString("Region"), "");
        Query.Close();
    }

    TMaster Ace(AceFile);
    TQuery AceQuery(Ace.Cnn());
    // The file itself spells this model "220ZX" once and "220zx" five times.
    AceQuery.SetSQL("select * from [Asset Items] where Model = :Name order by [Asset No]");
    AceQuery.SetText("Name", "220Zx");
    AceQuery.Open();
    ASSERT_EQ(AceQuery.RecordCount(), 6);
    EXPECT_EQ(AceQuery.FieldAsString("Asset No"), "30050");
    EXPECT_EQ(AceQuery.FieldAsString("Model"), "220ZX");
    EXPECT_EQ(AceQuery.FieldAsDateTime("Acquired"), EncodeDateTime(1997, 9, 2));
}

TEST(Access, TableWithANonAsciiNameIsQueried) {
    TMaster Master(Jet3File);
    TQuery Query(Master.Cnn());
    Query.SetSQL("select ShipCity, OrderDate from Umsätze where OrderID = :Id");
    Query.SetInteger("Id", 10248);
    Query.Open();
    ASSERT_EQ(Query.RecordCount(), 1);
    EXPECT_EQ(Query.FieldAsString("ShipCity"), "Reims");
    EXPECT_EQ(Query.FieldAsDateTime("OrderDate"), EncodeDateTime(1994, 8, 4));
}

// The day values as the file stores them (found as these exact doubles in the file's bytes),
// far outside the years that date formatting handles.
TEST(Access, DatesAreTheStoredDayValues) {
    TMaster Master(Jet4File);
    TQuery Query(Master.Cnn());
    Query.SetSQL("select * from DateTest where IDCol = :Id");
    struct TRow {
        int Id;
        TDateTime DateTime, Date, Time;
    };
    for (const TRow& Row : {TRow{1, EncodeDateTime(2021, 12, 2), EncodeDateTime(2021, 12, 2),
                                 EncodeDateTime(2021, 12, 2)},
                            TRow{2, EncodeDateTime(9999, 1, 1), EncodeDateTime(9999, 1, 1),
                                 EncodeDateTime(9999, 1, 1)},
                            TRow{3, EncodeDateTime(1898, 1, 1), EncodeDateTime(1899, 1, 1),
                                 EncodeDateTime(1900, 1, 1)},
                            TRow{4, EncodeDateTime(632, 1, 1), EncodeDateTime(633, 1, 1),
                                 EncodeDateTime(634, 1, 1)}}) {
        Query.SetInteger("Id", Row.Id);
        Query.Open();
        ASSERT_EQ(Query.RecordCount(), 1) << Row.Id;
        EXPECT_EQ(Query.FieldAsDateTime("DateTimeCol"), Row.DateTime) << Row.Id;
        EXPECT_EQ(Query.FieldAsDateTime("DateCol"), Row.Date) << Row.Id;
        EXPECT_EQ(Query.FieldAsDateTime("TimeCol"), Row.Time) << Row.Id;
        Query.Close();
    }
    EXPECT_EQ(EncodeDateTime(9999, 1, 1), 2958101.0);
    EXPECT_EQ(EncodeDateTime(632, 1, 1), -463126.0);

    Query.SetInteger("Id", 6);
    Query.Open();
    EXPECT_EQ(Query.FieldAsString("LongTextCol"), "New line\r\nin field");
    EXPECT_EQ(Query.FieldAsString("ShortTextCol"), "No new line");
}

// What each kind of Access column becomes, as SQLite stores it.
TEST(Access, ColumnsKeepTheirKindOfValue) {
    TMaster Master(Jet3File);
    sqlite3* Db = SQLiteHandle(Master.Cnn());
    struct TCase {
        const char* Sql;
        const char* Expected;
    };
    for (const TCase& Case : {
             TCase{"select typeof(OrderDate) || ' ' || OrderDate from Orders where OrderID = 10248",
                   "real 34550.0"},
             TCase{"select typeof(UnitPrice) || ' ' || UnitPrice from Products where ProductID = 5",
                   "real 21.35"},
             TCase{"select group_concat(Discontinued) from Products where ProductID in (1, 5)",
                   "0,1"},
             TCase{"select typeof(Quantity) || ' ' || Quantity from [Order Details] "
                   "where OrderID = 10248 and ProductID = 11", "integer 12"},
             TCase{"select typeof(Picture) || ' ' || length(Picture) from Categories "
                   "where CategoryID = 1", "blob 10746"},
             TCase{"select count(*) from Customers where Region is null", "60"},
             TCase{"select count(*) from Customers where city = 'LONDON'", "6"},
         }) {
        sqlite3_stmt* Stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(Db, Case.Sql, -1, &Stmt, nullptr), SQLITE_OK) << Case.Sql;
        ASSERT_EQ(sqlite3_step(Stmt), SQLITE_ROW) << Case.Sql;
        const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 0));
        EXPECT_EQ(std::string(Text ? Text : "(null)"), Case.Expected) << Case.Sql;
        sqlite3_finalize(Stmt);
    }
}

TEST(Access, FilePathColumnsAreIndexed) {
    // The Jet 3 file with its "Discount" column renamed "FilePath" (same length, in place).
    TTempDir Dir;
    std::string Bytes = ReadAll(Jet3File);
    const std::string From("\x08" "Discount"), To("\x08" "FilePath");
    for (auto At = Bytes.find(From); At != std::string::npos; At = Bytes.find(From, At))
        Bytes.replace(At, From.size(), To);
    const std::string File = Dir.File("Total.mdb");
    WriteAll(File, Bytes);

    TMaster Master(File);
    TQuery Query(Master.Cnn());
    Query.SetSQL("select name from sqlite_master where type = 'index' and tbl_name = :Table");
    Query.SetText("Table", "Order Details");
    Query.Open();
    ASSERT_EQ(Query.RecordCount(), 1);
    EXPECT_EQ(Query.FieldAsString(0), "Order Details.FilePath");
    Query.SetSQL("select count(*) from sqlite_master where type = 'index'");
    Query.Open();
    EXPECT_EQ(Query.FieldAsInteger(0), 1);
}

// Access compares text without regard to letter case in every script; so does the copy, in
// its queries and through its FilePath index (built by the reader under SQLite's ASCII rule).
TEST(Access, LetterCaseOfEveryScriptIsIgnoredAndTheIndexAgrees) {
    // The Jet 3 file with Orders' "ShipName" column renamed "FilePath", which the copy indexes,
    // and one customer's ship name (code page 1252) spelt in turn as two names whose order
    // under SQLite's ASCII rule (Ä before ä) is not their order ignoring case (äb before äp).
    TTempDir Dir;
    std::string Bytes = ReadAll(Jet3File);
    const auto ReplaceAll = [&Bytes](const std::string& AFrom, const std::vector<std::string>& ATo) {
        std::size_t Count = 0;
        for (auto At = Bytes.find(AFrom); At != std::string::npos; At = Bytes.find(AFrom, At))
            Bytes.replace(At, AFrom.size(), ATo[Count++ % ATo.size()]);
        return Count;
    };
    ReplaceAll(std::string("\x08" "ShipName"), {std::string("\x08" "FilePath")});
    ASSERT_GT(ReplaceAll("K\xF6niglich Essen",
                         {"\xC4" "pfel und Birne", "\xE4" "btissin Z\xFC" "rich"}),
              20u);
    const std::string File = Dir.File("Total.mdb");
    WriteAll(File, Bytes);

    TMaster Master(File);
    TQuery Index(Master.Cnn());
    Index.SetSQL("select count(*) from sqlite_master where type = 'index' and tbl_name = 'Orders'");
    Index.Open();
    ASSERT_EQ(Index.FieldAsInteger(0), 1);

    // Through the index, and reading every row.
    TQuery Seek(Master.Cnn());
    Seek.SetSQL("select count(*) from Orders where FilePath = :Name");
    TQuery Scan(Master.Cnn());
    Scan.SetSQL("select count(*) from Orders where (FilePath || '') collate nocase = :Name");
    struct TCase {
        const char* Name;
        int Orders; // 0: some, as many as the file has
    };
    for (const TCase& Case : {TCase{"Blondel père et fils", 11}, TCase{"BLONDEL PÈRE ET FILS", 11},
                              TCase{"blondel PÈRE et FILS", 11}, TCase{"FOLK OCH FÄ HB", 19},
                              TCase{"BERGLUNDS SNABBKÖP", 18}, TCase{"blondel pere et fils", -1},
                              TCase{"ÄPFEL UND BIRNE", 0}, TCase{"äbtissin zürich", 0},
                              TCase{"Äbtissin Zürich", 0}}) {
        Seek.SetText("Name", Case.Name);
        Seek.Open();
        Scan.SetText("Name", Case.Name);
        Scan.Open();
        EXPECT_EQ(Seek.FieldAsInteger(0), Scan.FieldAsInteger(0)) << Case.Name;
        if (Case.Orders > 0)
            EXPECT_EQ(Seek.FieldAsInteger(0), Case.Orders) << Case.Name;
        else if (Case.Orders == 0)
            EXPECT_GT(Seek.FieldAsInteger(0), 0) << Case.Name;
        else
            EXPECT_EQ(Seek.FieldAsInteger(0), 0) << Case.Name;
    }
}

TEST(Access, TheCopyIsReadOnlyAndNamesTheAccessFile) {
    TMaster Master(Jet3File);
    EXPECT_EQ(Master.Cnn().FileName(), std::filesystem::path(Jet3File).lexically_normal().string());
    TQuery Query(Master.Cnn());
    Query.SetSQL("delete from Customers");
    const std::string Error = ErrorOf([&] { Query.ExecSQL(); });
    EXPECT_NE(Error.find("readonly"), std::string::npos) << Error;
    EXPECT_EQ(CountOf(Master.Cnn(), "Customers"), 91);
}

TEST(Access, ALocalSongDatabaseThatIsAnAccessFileIsRefused) {
    TConnection Cnn;
    Cnn.SetConnectionString(JetConnectionString(Jet4File));
    const std::string Error = ErrorOf([&] { Cnn.SetConnected(true); });
    std::string Name = "\"";
    Name += std::filesystem::path(Jet4File).lexically_normal().string();
    Name += "\"";
    EXPECT_NE(Error.find(Name), std::string::npos) << Error;
    EXPECT_NE(Error.find("Access (Jet) database; Access files are only read"), std::string::npos)
        << Error;
    EXPECT_FALSE(Cnn.Connected());
}

struct TDamageCase {
    const char* Name;
    const std::string* File;
    std::size_t KeepBytes; // the copy keeps this many leading bytes
    const char* Expected;
};

class AccessDamaged : public ::testing::TestWithParam<TDamageCase> {};

TEST_P(AccessDamaged, FailsNamingTheFileAndWhatIsWrong) {
    TTempDir Dir;
    const std::string File = Dir.File("Total.mdb");
    WriteAll(File, ReadAll(*GetParam().File).substr(0, GetParam().KeepBytes));
    TConnection Cnn;
    Cnn.SetMode(TConnectMode::ShareDenyNone);
    Cnn.SetConnectionString(JetConnectionString(File));
    const std::string Error = ErrorOf([&] { Cnn.SetConnected(true); });
    EXPECT_EQ(Error.rfind("Cannot open database \"" + File + "\": it is a damaged Access database", 0),
              0u)
        << Error;
    EXPECT_NE(Error.find(GetParam().Expected), std::string::npos) << Error;
    EXPECT_FALSE(Cnn.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Access, AccessDamaged,
    ::testing::Values(
        TDamageCase{"HeaderOnly", &Jet4File, 21, "the file ends inside a page"},
        TDamageCase{"CutInsideAPage", &Jet3File, 1500000, "the file ends inside a page"},
        TDamageCase{"FirstPageOnly", &Jet3File, 2048, "its list of tables cannot be read"},
        TDamageCase{"CutAtAPage", &Jet3File, 2048 * 700, "its list of tables is incomplete"},
        TDamageCase{"AceCutAtAPage", &AceFile, 4096 * 60, "its list of tables is incomplete"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// Files that crashed libmdb, or sent it into a loop, inside the wizard and corvena-index: the
// reader program takes the blow and the caller gets the usual error naming the file.
struct TReproducerCase {
    const char* Name;     // tests/data/access/damaged/NAME.txt
    const char* Expected; // a part of the error; "" when the file opens
};

class AccessReproducers : public ::testing::TestWithParam<TReproducerCase> {};

TEST_P(AccessReproducers, TheReaderFailsAloneAndTheErrorNamesTheFile) {
    TTempDir Dir;
    const std::string File = Dir.File("Total.mdb");
    MakeDamagedAccess(DataDir, GetParam().Name, File);
    TConnection Cnn;
    Cnn.SetMode(TConnectMode::ShareDenyNone);
    Cnn.SetConnectionString(JetConnectionString(File));
    const std::string Error = ErrorOf([&] { Cnn.SetConnected(true); });
    if (*GetParam().Expected == '\0') {
        // The damage lies in a property libmdb reads past; the rows themselves are whole.
        EXPECT_EQ(Error, "(no error)");
        EXPECT_EQ(CountOf(Cnn, "DateTest"), 6);
        return;
    }
    EXPECT_EQ(Error.rfind("Cannot open database \"" + File + "\": it is a damaged Access database: ", 0),
              0u)
        << Error;
    EXPECT_NE(Error.find(GetParam().Expected), std::string::npos) << Error;
    EXPECT_FALSE(Cnn.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Access, AccessReproducers,
    ::testing::Values(
        TReproducerCase{"UsageMapPointer", "the reader was killed by signal 11 (Segmentation fault)"},
        TReproducerCase{"CutOnAPage", "the reader printed more than 16 MB of warnings"},
        TReproducerCase{"PropertyNameLength", ""}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// How each way a reader can fail reaches the caller: stand-in readers that crash, hang, run out
// of memory or hand back a short copy.
struct TReaderCase {
    const char* Name;
    const char* Script; // the body of a shell script run as the reader
    TAccessReaderLimits Limits;
    const char* Expected; // "%R" stands for the reader's file
    bool Executable = true;
};

class AccessReaderFails : public ::testing::TestWithParam<TReaderCase> {
protected:
    void TearDown() override {
        SetAccessReaderProgram(ACCESS_READER_PROGRAM);
        SetAccessReaderLimits({});
    }
};

TEST_P(AccessReaderFails, BecomesAnOpenErrorNamingTheCause) {
    TTempDir Dir;
    const std::string Reader = Dir.File("reader.sh");
    if (GetParam().Script != nullptr) {
        WriteAll(Reader, std::string("#!/bin/sh\n") + GetParam().Script + "\n");
        ASSERT_EQ(::chmod(Reader.c_str(), GetParam().Executable ? 0755 : 0644), 0);
    }
    SetAccessReaderProgram(Reader);
    SetAccessReaderLimits(GetParam().Limits);

    TConnection Cnn;
    Cnn.SetMode(TConnectMode::ShareDenyNone);
    Cnn.SetConnectionString(JetConnectionString(Jet4File));
    const std::string Error = ErrorOf([&] { Cnn.SetConnected(true); });
    const std::string Name = std::filesystem::path(Jet4File).lexically_normal().string();
    std::string Expected = GetParam().Expected;
    if (const auto At = Expected.find("%R"); At != std::string::npos)
        Expected.replace(At, 2, Reader);
    EXPECT_EQ(Error, "Cannot open database \"" + Name + "\": " + Expected);
    EXPECT_FALSE(Cnn.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Access, AccessReaderFails,
    ::testing::Values(
        TReaderCase{"Crash", "kill -SEGV $$", {},
                    "it is a damaged Access database: the reader was killed by signal 11 "
                    "(Segmentation fault)"},
        TReaderCase{"Hangs", "exec sleep 60", {0, 1},
                    "it is a damaged Access database: the reader took longer than 1 s"},
        TReaderCase{"GlibOutOfMemory", "echo 'GLib: failed to allocate 25345 bytes' >&2; kill -ABRT $$",
                    {}, "it is a damaged Access database: the reader ran out of memory"},
        TReaderCase{"OutOfMemoryStatus", "exit 3", {},
                    "it is a damaged Access database: the reader ran out of memory"},
        TReaderCase{"ShortCopy", "printf 'SQLite format 3\\000'; head -c 4080 /dev/zero", {},
                    "it is a damaged Access database: the reader's copy is incomplete (4096 bytes)"},
        TReaderCase{"BadExit", "echo 'warning'; echo 'libmdb gave up' >&2; exit 7", {},
                    "it is a damaged Access database: the reader ended with status 7: libmdb gave up"},
        TReaderCase{"EndlessWarnings", "exec yes 'Warning: unsupported data type 0.' >&2", {},
                    "it is a damaged Access database: the reader printed more than 16 MB of warnings"},
        TReaderCase{"CopyTooLarge", "exec head -c 3000000 /dev/zero", {1 << 20, 0},
                    "it is a damaged Access database: the reader's copy grew beyond 1 MB"},
        TReaderCase{"ItsOwnMessage",
                    "printf 'Cannot open database \"%s\": it is a damaged Access database: x' \"$6\"; "
                    "exit 1", {}, "it is a damaged Access database: x"},
        TReaderCase{"Missing", nullptr, {},
                    "Access files are read by the program corvena-access-reader, which is not "
                    "installed beside this program"},
        // The reader's own faults are not blamed on the master.
        TReaderCase{"NotExecutable", "exit 0", {}, "the Access reader %R cannot be run: it is not executable",
                    false},
        TReaderCase{"NoOutput", "exit 0", {}, "the Access reader %R ended without handing over a copy of the file"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

} // namespace
