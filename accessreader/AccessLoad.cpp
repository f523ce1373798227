#include "AccessLoad.h"

#include "DbError.h"

#include <sqlite3.h>

// libmdb's header opens an extern "C" block around its own includes; glib and iconv must be
// seen first, as C++.
#include <glib.h>
#include <iconv.h>
#include <mdbtools.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

// Row offsets in a data page carry flags in their top bits.
constexpr int RowOffsetMask = 0x1fff;
constexpr int RowDeletedFlag = 0x4000;
// Memo and OLE values start with a 12-byte header: length and flags, then the first page/row.
constexpr guint32 LongValueLengthMask = 0x3fffffff;
// The ACE "Large Number" type (64-bit integer), newer than libmdb's list of types.
constexpr int AceBigInt = 0x13;

struct TMdbCloser {
    void operator()(MdbHandle* AHandle) const noexcept { mdb_close(AHandle); }
};
struct TTableFreer {
    void operator()(MdbTableDef* ATable) const noexcept { mdb_free_tabledef(ATable); }
};
struct TSqliteCloser {
    void operator()(sqlite3* ADb) const noexcept { sqlite3_close_v2(ADb); }
};
struct TStmtFinalizer {
    void operator()(sqlite3_stmt* AStmt) const noexcept { sqlite3_finalize(AStmt); }
};
struct TGFree {
    void operator()(char* AText) const noexcept { g_free(AText); }
};

std::string QuotedName(const std::string& AName) {
    std::string Result = "\"";
    for (const char C : AName) {
        if (C == '"')
            Result += '"';
        Result += C;
    }
    return Result + "\"";
}

bool IsFilePath(const char* AName) { return g_ascii_strcasecmp(AName, "FilePath") == 0; }

// Little-endian values straight from the page, as Access stores them.
template <typename T>
T ReadLe(const unsigned char* AData) {
    T Value;
    std::memcpy(&Value, AData, sizeof Value);
    return Value;
}

const char* SqlType(int AColType) {
    switch (AColType) {
    case MDB_BOOL:
    case MDB_BYTE:
    case MDB_INT:
    case MDB_LONGINT:
    case MDB_COMPLEX:
    case AceBigInt:
        return "INTEGER";
    case MDB_MONEY:
    case MDB_FLOAT:
    case MDB_DOUBLE:
    case MDB_NUMERIC:
    case MDB_DATETIME: // OLE Automation days, as the SQLite master keeps them
        return "REAL";
    case MDB_TEXT:
    case MDB_MEMO:
    case MDB_REPID:
        return "TEXT COLLATE NOCASE";
    default:
        return "BLOB";
    }
}

class TAccessLoader {
public:
    explicit TAccessLoader(const std::string& AFileName) : FFileName(AFileName) {}

    sqlite3* Load() {
        std::error_code Error;
        const auto Size = std::filesystem::file_size(FFileName, Error);
        if (Error)
            Fail("the file cannot be read: " + Error.message());

        FMdb.reset(mdb_open(FFileName.c_str(), MDB_NOFLAGS));
        if (!FMdb)
            Fail("it is a damaged Access database, or of a version that cannot be read");
        if (FMdb->fmt->pg_size <= 0 || Size % static_cast<std::uintmax_t>(FMdb->fmt->pg_size) != 0)
            Fail("it is a damaged Access database: the file ends inside a page");
        SetTextEncoding();

        sqlite3* Db = nullptr;
        const int Opened = sqlite3_open_v2(":memory:", &Db, SQLITE_OPEN_READWRITE, nullptr);
        FDb.reset(Db);
        if (Opened != SQLITE_OK)
            Fail(std::string("no in-memory database for its copy: ") + sqlite3_errstr(Opened));

        // The object table counts its rows; a list of objects cut short means missing pages.
        // (Looking it up reads the list too, so the list is read again after it.)
        std::unique_ptr<MdbTableDef, TTableFreer> Objects(
            mdb_read_table_by_name(FMdb.get(), const_cast<gchar*>("MSysObjects"), MDB_ANY));
        const unsigned ObjectCount = Objects ? Objects->num_rows : 0;
        Objects.reset();
        GPtrArray* Catalog = mdb_read_catalog(FMdb.get(), MDB_ANY);
        if (Catalog == nullptr || ObjectCount == 0)
            Fail("it is a damaged Access database: its list of tables cannot be read");
        if (Catalog->len < ObjectCount)
            Fail("it is a damaged Access database: its list of tables is incomplete");

        // One private transaction: the copy is nobody else's, and row-by-row commits would
        // make a large catalogue slow to open.
        Exec("begin");
        for (guint I = 0; I < Catalog->len; ++I) {
            auto* Entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(Catalog, I));
            if (mdb_is_user_table(Entry))
                CopyTable(Entry);
        }
        Exec("commit");
        FMdb.reset();
        return FDb.release();
    }

private:
    [[noreturn]] void Fail(const std::string& AReason) const {
        throw TDatabaseError("Cannot open database \"" + FFileName + "\": " + AReason);
    }

    [[noreturn]] void FailSql(const std::string& AWhat) const {
        Fail(AWhat + ": " + sqlite3_errmsg(FDb.get()));
    }

    void Exec(const std::string& ASql) {
        if (sqlite3_exec(FDb.get(), ASql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            FailSql("its copy in memory failed");
    }

    // Always UTF-8 out, whatever the environment tells libmdb. Jet 4 and ACE store UTF-16
    // (libmdb expands the compressed form first); Jet 3 stores the code page its header names.
    void SetTextEncoding() {
        MdbHandle* Mdb = FMdb.get();
        std::string Stored = "UTF-16LE";
        if (IS_JET3(Mdb)) {
            // A Jet 3 header without a code page is taken as Western European (1252), the
            // code page Access 97 wrote unless the system said otherwise.
            const unsigned CodePage = Mdb->f->code_page != 0 ? Mdb->f->code_page : 1252;
            Stored = "CP" + std::to_string(CodePage);
        }
        mdb_iconv_close(Mdb);
        Mdb->iconv_in = iconv_open("UTF-8", Stored.c_str());
        Mdb->iconv_out = iconv_open(Stored.c_str(), "UTF-8");
        if (Mdb->iconv_in == reinterpret_cast<iconv_t>(-1) ||
            Mdb->iconv_out == reinterpret_cast<iconv_t>(-1))
            Fail("its text is stored in code page " + Stored + ", which cannot be converted");
    }

    void CopyTable(MdbCatalogEntry* AEntry) {
        const std::string Name = AEntry->object_name;
        std::unique_ptr<MdbTableDef, TTableFreer> Table(mdb_read_table(AEntry));
        if (!Table || mdb_read_columns(Table.get()) == nullptr)
            Fail("it is a damaged Access database: table " + QuotedName(Name) +
                 " cannot be read");
        const unsigned Columns = Table->num_cols;
        if (Columns == 0 || Columns > MDB_MAX_COLS)
            Fail("it is a damaged Access database: table " + QuotedName(Name) + " has " +
                 std::to_string(Columns) + " columns");

        std::string Create = "create table " + QuotedName(Name) + " (";
        std::string Insert = "insert into " + QuotedName(Name) + " values (";
        std::vector<std::string> Indexed;
        for (unsigned C = 0; C < Columns; ++C) {
            const auto* Col = static_cast<MdbColumn*>(g_ptr_array_index(Table->columns, C));
            Create += (C ? ", " : "") + QuotedName(Col->name) + " " + SqlType(Col->col_type);
            Insert += C ? ",?" : "?";
            if (IsFilePath(Col->name))
                Indexed.emplace_back(Col->name);
        }
        Exec(Create + ")");
        sqlite3_stmt* Raw = nullptr;
        if (sqlite3_prepare_v2(FDb.get(), (Insert + ")").c_str(), -1, &Raw, nullptr) != SQLITE_OK)
            FailSql("table " + QuotedName(Name) + " cannot be copied");
        std::unique_ptr<sqlite3_stmt, TStmtFinalizer> Stmt(Raw);

        FValues.assign(Columns, std::string());
        mdb_rewind_table(Table.get());
        unsigned Rows = 0;
        while (mdb_fetch_row(Table.get())) {
            CopyRow(Table.get(), Stmt.get(), Name);
            if (sqlite3_step(Stmt.get()) != SQLITE_DONE)
                FailSql("table " + QuotedName(Name) + " cannot be copied");
            sqlite3_reset(Stmt.get());
            ++Rows;
        }
        // A scan that ends early means pages are missing: the table definition counts its rows.
        if (Rows < Table->num_rows)
            Fail("it is a damaged Access database: table " + QuotedName(Name) + " holds " +
                 std::to_string(Table->num_rows) + " rows, of which " + std::to_string(Rows) +
                 " could be read");

        // Table names cannot hold a full stop in Access, so these never meet a table's name.
        for (const std::string& Column : Indexed)
            Exec("create index " + QuotedName(Name + "." + Column) + " on " + QuotedName(Name) +
                 " (" + QuotedName(Column) + ")");
    }

    // Binds the row mdb_fetch_row has just read. Its field layout is read again here because
    // libmdb's own bindings give text only, and lose the difference between null and "".
    void CopyRow(MdbTableDef* ATable, sqlite3_stmt* AStmt, const std::string& ATableName) {
        MdbHandle* Mdb = FMdb.get();
        int Start = 0;
        size_t Length = 0;
        if (mdb_find_row(Mdb, static_cast<int>(ATable->cur_row) - 1, &Start, &Length) != 0 ||
            (Start & RowDeletedFlag) != 0)
            FailRow(ATableName);
        MdbField Fields[MDB_MAX_COLS];
        const int Count = mdb_crack_row(ATable, Start & RowOffsetMask, Length, Fields);
        if (Count < static_cast<int>(ATable->num_cols))
            FailRow(ATableName);

        sqlite3_clear_bindings(AStmt);
        for (unsigned I = 0; I < ATable->num_cols; ++I) {
            const MdbField& Field = Fields[I];
            if (Field.colnum < 0 || static_cast<unsigned>(Field.colnum) >= ATable->num_cols)
                FailRow(ATableName);
            auto* Col = static_cast<MdbColumn*>(g_ptr_array_index(ATable->columns, Field.colnum));
            const int Param = Field.colnum + 1;
            if (Col->col_type == MDB_BOOL) {
                // Yes/no lives in the null mask: a set bit ("not null") is yes.
                sqlite3_bind_int(AStmt, Param, Field.is_null ? 0 : 1);
                continue;
            }
            if (Field.is_null)
                continue; // cleared bindings are null
            // What libmdb located for this column must be what was found here.
            if (Field.siz > 0 &&
                (Field.start != Col->cur_value_start || Field.siz != Col->cur_value_len))
                FailRow(ATableName);
            if (Field.start < 0 || Field.siz < 0 ||
                Field.start + Field.siz > static_cast<int>(Mdb->fmt->pg_size))
                FailRow(ATableName);
            BindValue(AStmt, Param, Col, Field, ATableName);
        }
    }

    [[noreturn]] void FailRow(const std::string& ATableName) const {
        Fail("it is a damaged Access database: a row of table " + QuotedName(ATableName) +
             " cannot be read");
    }

    void BindValue(sqlite3_stmt* AStmt, int AParam, MdbColumn* ACol, const MdbField& AField,
                   const std::string& ATableName) {
        MdbHandle* Mdb = FMdb.get();
        const unsigned char* Data = Mdb->pg_buf + AField.start;
        const int Size = AField.siz;
        std::string& Value = FValues[static_cast<std::size_t>(AParam - 1)];
        const auto NeedSize = [&](int ASize) {
            if (Size < ASize)
                FailRow(ATableName);
        };
        switch (ACol->col_type) {
        case MDB_BYTE:
            NeedSize(1);
            sqlite3_bind_int(AStmt, AParam, Data[0]);
            return;
        case MDB_INT:
            NeedSize(2);
            sqlite3_bind_int(AStmt, AParam, ReadLe<std::int16_t>(Data));
            return;
        case MDB_LONGINT:
        case MDB_COMPLEX:
            NeedSize(4);
            sqlite3_bind_int(AStmt, AParam, ReadLe<std::int32_t>(Data));
            return;
        case AceBigInt:
            NeedSize(8);
            sqlite3_bind_int64(AStmt, AParam, ReadLe<std::int64_t>(Data));
            return;
        case MDB_MONEY: // a 64-bit count of ten-thousandths
            NeedSize(8);
            sqlite3_bind_double(AStmt, AParam,
                                static_cast<double>(ReadLe<std::int64_t>(Data)) / 10000.0);
            return;
        case MDB_FLOAT:
            NeedSize(4);
            sqlite3_bind_double(AStmt, AParam, ReadLe<float>(Data));
            return;
        case MDB_DOUBLE:
        case MDB_DATETIME: // the day value itself, never through libmdb's date formatting
            NeedSize(8);
            sqlite3_bind_double(AStmt, AParam, ReadLe<double>(Data));
            return;
        case MDB_NUMERIC: {
            NeedSize(17);
            std::unique_ptr<char, TGFree> Text(
                mdb_numeric_to_string(Mdb, AField.start, ACol->col_scale, ACol->col_prec));
            const char* Begin = Text ? Text.get() : "";
            const char* End = Begin + std::strlen(Begin);
            double Number = 0;
            if (std::from_chars(Begin, End, Number).ptr != End || Begin == End)
                FailRow(ATableName);
            sqlite3_bind_double(AStmt, AParam, Number);
            return;
        }
        case MDB_REPID: {
            NeedSize(16);
            std::unique_ptr<char, TGFree> Text(mdb_uuid_to_string(Mdb->pg_buf, AField.start));
            Value = Text ? Text.get() : "";
            break;
        }
        case MDB_TEXT:
            Decode(reinterpret_cast<const char*>(Data), static_cast<std::size_t>(Size), Value);
            break;
        case MDB_MEMO: {
            std::string Stored;
            ReadLongValue(ACol, AField, Stored, ATableName);
            Decode(Stored.data(), Stored.size(), Value);
            break;
        }
        case MDB_OLE:
            ReadLongValue(ACol, AField, Value, ATableName);
            sqlite3_bind_blob(AStmt, AParam, Value.data(), static_cast<int>(Value.size()),
                              SQLITE_STATIC);
            return;
        default: // binary, and types libmdb does not know: the bytes as stored
            Value.assign(reinterpret_cast<const char*>(Data), static_cast<std::size_t>(Size));
            sqlite3_bind_blob(AStmt, AParam, Value.data(), static_cast<int>(Value.size()),
                              SQLITE_STATIC);
            return;
        }
        // The value outlives the step that follows: one buffer per column.
        sqlite3_bind_text(AStmt, AParam, Value.data(), static_cast<int>(Value.size()),
                          SQLITE_STATIC);
    }

    // Stored text to UTF-8 through the converters set up above.
    void Decode(const char* AData, std::size_t ASize, std::string& AText) {
        if (ASize == 0) {
            AText.clear();
            return;
        }
        // One stored byte (a compressed or code-page character) becomes at most 3 bytes.
        FBuffer.resize(ASize * 3 + 4);
        const int Written =
            mdb_unicode2ascii(FMdb.get(), AData, ASize, FBuffer.data(), FBuffer.size());
        AText.assign(FBuffer.data(),
                     Written > 0 ? std::strlen(FBuffer.data()) : static_cast<std::size_t>(0));
    }

    // The whole of a memo or OLE value, as stored, following its chain of pages.
    void ReadLongValue(MdbColumn* ACol, const MdbField& AField, std::string& AValue,
                       const std::string& ATableName) {
        MdbHandle* Mdb = FMdb.get();
        AValue.clear();
        if (AField.siz < MDB_MEMO_OVERHEAD)
            FailRow(ATableName);
        unsigned char Header[MDB_MEMO_OVERHEAD];
        std::memcpy(Header, Mdb->pg_buf + AField.start, sizeof Header);
        const std::size_t Declared = ReadLe<guint32>(Header) & LongValueLengthMask;
        if (Declared == 0)
            return;

        // libmdb copies each piece into the column's bound buffer; at most a page at a time.
        std::vector<char> Piece(static_cast<std::size_t>(MDB_PGSIZE) * 2);
        ACol->cur_value_start = AField.start;
        ACol->cur_value_len = AField.siz;
        void* const SavedBind = ACol->bind_ptr;
        ACol->bind_ptr = Piece.data();
        struct TRestore {
            MdbColumn* Col;
            void* Bind;
            ~TRestore() { Col->bind_ptr = Bind; }
        } Restore{ACol, SavedBind};

        std::size_t Length = mdb_ole_read(Mdb, ACol, Header, Piece.size());
        while (Length > 0) {
            AValue.append(Piece.data(), Length);
            // A chain that runs past the declared length is damaged (and may loop).
            if (AValue.size() > Declared)
                break;
            Length = mdb_ole_read_next(Mdb, ACol, Header);
        }
        if (AValue.size() < Declared)
            Fail("it is a damaged Access database: a memo or OLE value in table " +
                 QuotedName(ATableName) + " is incomplete");
        AValue.resize(Declared);
    }

    std::string FFileName;
    std::unique_ptr<MdbHandle, TMdbCloser> FMdb;
    std::unique_ptr<sqlite3, TSqliteCloser> FDb;
    std::vector<std::string> FValues; // one bound text or blob per column of the current row
    std::vector<char> FBuffer;
};

} // namespace

sqlite3* LoadAccessFile(const std::string& AFileName) { return TAccessLoader(AFileName).Load(); }
