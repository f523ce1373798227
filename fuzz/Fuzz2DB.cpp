// The plug-in's export with arbitrary records (strings of any length, null or with a negative
// length, any integers, NaN, infinities, huge and negative dates) on a real database of the
// reference schema: the result is 0 exactly when the record is writable, a 0 leaves every
// Songs row of the path holding what the record supplied, and the strings' reference counts
// are as they were.
#include "CaseFold.h"
#include "FuzzSupport.h"
#include "Schema.h"
#include "Varnel.h"
#include "VelTestSupport.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

// The host's connection, on a database made once for the process.
sqlite3* HostConnection() {
    static const TFuzzDir Dir("2db");
    static sqlite3* const Db = [] {
        const std::string Name = Dir.File("Ktv.mdb");
        CreateDatabase(Name, TSchemaKind::Local);
        sqlite3* Handle = nullptr;
        FUZZ_CHECK(sqlite3_open_v2(Name.c_str(), &Handle, SQLITE_OPEN_READWRITE, nullptr) ==
                   SQLITE_OK);
        return Handle;
    }();
    return Db;
}

void Exec(sqlite3* ADb, const char* ASql) {
    FUZZ_CHECK(sqlite3_exec(ADb, ASql, nullptr, nullptr, nullptr) == SQLITE_OK);
}

// A host string the input describes, with what the plug-in should make of it.
struct THostString {
    TVelString Text = nullptr;
    std::u16string Units;
    bool NegativeLength = false;
};

// The two letters outside ASCII that fold to an ASCII one (the Kelvin sign, the long s) are
// found only when the song's own text has them, not when it has the ASCII letter: one
// comparison in the oracle cannot say that, so the inputs go without them.
char16_t WithoutFoldingIntoAscii(char16_t AUnit) {
    return AUnit >= 0x80 && FoldCodePoint(AUnit) < 0x80 ? u'?' : AUnit;
}

THostString MakeString(FuzzedDataProvider& AInput, TVelStringPool& APool) {
    THostString Result;
    const int Kind = AInput.ConsumeIntegralInRange(0, 15);
    if (Kind == 0)
        return Result; // null
    if (Kind <= 6) {
        // Bytes as characters: plain names, likely to meet rows already stored.
        for (const char Byte : AInput.ConsumeRandomLengthString(24))
            Result.Units.push_back(static_cast<unsigned char>(Byte));
    } else if (Kind <= 12) {
        const std::size_t Length = AInput.ConsumeIntegralInRange(0, 24);
        for (std::size_t I = 0; I < Length && AInput.remaining_bytes() > 0; ++I)
            Result.Units.push_back(WithoutFoldingIntoAscii(AInput.ConsumeIntegral<char16_t>()));
    } else if (Kind == 13) {
        // Long: a piece repeated up to tens of thousands of characters.
        const std::u16string Piece(1, WithoutFoldingIntoAscii(AInput.ConsumeIntegral<char16_t>()));
        const std::size_t Length = AInput.ConsumeIntegralInRange<std::size_t>(1, 70000);
        for (std::size_t I = 0; I < Length; ++I)
            Result.Units += Piece;
    }
    // Kind 14 is the empty string passed as a string rather than as null.
    const bool Constant = AInput.ConsumeBool();
    Result.Text = APool.Make(Result.Units, Constant ? -1 : AInput.ConsumeIntegralInRange(1, 1000),
                             false);
    if (Kind == 15) {
        Result.NegativeLength = true;
        TVelStringPool::Header(Result.Text).Length = -AInput.ConsumeIntegralInRange(1, 1 << 30);
    }
    return Result;
}

double MakeDate(FuzzedDataProvider& AInput) {
    static const double Specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                   -std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::max(),
                                   -std::numeric_limits<double>::max(),
                                   std::numeric_limits<double>::denorm_min(),
                                   0.0,
                                   -0.0,
                                   -657434.0,
                                   std::nextafter(-657434.0, -1e9),
                                   2958465.99999,
                                   std::nextafter(2958466.0, 0.0),
                                   2958466.0,
                                   45000.75,
                                   -1.5};
    if (AInput.ConsumeBool())
        return Specials[AInput.ConsumeIntegralInRange<std::size_t>(0, std::size(Specials) - 1)];
    const auto Bits = AInput.ConsumeIntegral<std::uint64_t>();
    double Value;
    std::memcpy(&Value, &Bits, sizeof Value);
    return Value;
}

// UTF-8 of host text: pairs of surrogates joined, a lone one as U+FFFD.
std::string Utf8(const std::u16string& AUnits) {
    std::string Out;
    const auto Put = [&Out](char32_t C) {
        if (C < 0x80) {
            Out += static_cast<char>(C);
        } else if (C < 0x800) {
            Out += static_cast<char>(0xC0 | (C >> 6));
            Out += static_cast<char>(0x80 | (C & 0x3F));
        } else if (C < 0x10000) {
            Out += static_cast<char>(0xE0 | (C >> 12));
            Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (C & 0x3F));
        } else {
            Out += static_cast<char>(0xF0 | (C >> 18));
            Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
            Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (C & 0x3F));
        }
    };
    for (std::size_t I = 0; I < AUnits.size(); ++I) {
        const char32_t U = AUnits[I];
        const bool High = U >= 0xD800 && U <= 0xDBFF;
        if (High && I + 1 < AUnits.size() && AUnits[I + 1] >= 0xDC00 && AUnits[I + 1] <= 0xDFFF) {
            Put(0x10000 + ((U - 0xD800) << 10) + (AUnits[I + 1] - 0xDC00));
            ++I;
        } else {
            Put(U >= 0xD800 && U <= 0xDFFF ? 0xFFFD : U);
        }
    }
    return Out;
}

struct TStatement {
    sqlite3_stmt* Stmt = nullptr;
    TStatement(sqlite3* ADb, const char* ASql) {
        FUZZ_CHECK(sqlite3_prepare_v2(ADb, ASql, -1, &Stmt, nullptr) == SQLITE_OK);
    }
    ~TStatement() { sqlite3_finalize(Stmt); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    void BindText(int AIndex, const std::string& AText) {
        FUZZ_CHECK(sqlite3_bind_text(Stmt, AIndex, AText.data(), static_cast<int>(AText.size()),
                                     SQLITE_TRANSIENT) == SQLITE_OK);
    }
    bool Step() {
        const int Code = sqlite3_step(Stmt);
        FUZZ_CHECK(Code == SQLITE_ROW || Code == SQLITE_DONE);
        return Code == SQLITE_ROW;
    }
    std::string Text(int AColumn) {
        FUZZ_CHECK(sqlite3_column_type(Stmt, AColumn) == SQLITE_TEXT);
        const auto* Bytes = static_cast<const char*>(sqlite3_column_blob(Stmt, AColumn));
        return std::string(Bytes ? Bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(Stmt, AColumn)));
    }
    std::int64_t Integer(int AColumn) {
        FUZZ_CHECK(sqlite3_column_type(Stmt, AColumn) == SQLITE_INTEGER);
        return sqlite3_column_int64(Stmt, AColumn);
    }
};

// The rowids and identifiers (first column) of the rows whose name (second column) is AName as
// the plug-in finds it: as the database compares (ASCII letter case; text up to a shared NUL at
// the same place), else, for text without a NUL, in every script's letter case.
std::vector<std::int64_t> RowsNamed(sqlite3* ADb, const std::string& ATable, const std::string& AColumns,
                                    const std::string& ANameColumn, const std::string& AName) {
    std::vector<std::int64_t> Result;
    const std::string Select = "select " + AColumns + " from " + ATable;
    TStatement Exact(ADb, (Select + " where " + ANameColumn + "=?1").c_str());
    Exact.BindText(1, AName);
    while (Exact.Step())
        Result.push_back(Exact.Integer(0));
    if (!Result.empty() || AName.find('\0') != std::string::npos)
        return Result;
    TStatement All(ADb, Select.c_str());
    const std::string Folded = FoldCase(AName);
    while (All.Step())
        if (FoldCase(All.Text(1)) == Folded)
            Result.push_back(All.Integer(0));
    return Result;
}

std::int64_t CountRows(sqlite3* ADb, const std::string& AFilePath) {
    return static_cast<std::int64_t>(RowsNamed(ADb, "Songs", "rowid,FilePath", "FilePath", AFilePath).size());
}

// The identifier the lookup table holds for the name (it must hold one): the first row found.
std::int64_t IdOf(sqlite3* ADb, const char* ATable, const char* AIdColumn, const char* ANameColumn,
                  const std::string& AName) {
    const auto Rows = RowsNamed(ADb, ATable, std::string(AIdColumn) + "," + ANameColumn, ANameColumn, AName);
    FUZZ_CHECK(!Rows.empty());
    return Rows.front();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    sqlite3* const Db = HostConnection();
    // The database stays small, so that runs keep their speed.
    static unsigned Runs = 0;
    if (++Runs % 200 == 0)
        Exec(Db, "delete from Songs; delete from Languages; delete from SongTypes;");

    FuzzedDataProvider Input(AData, ASize);
    TVelStringPool Pool;
    std::vector<THostString> Strings;
    const auto String = [&]() -> TVelString {
        Strings.push_back(MakeString(Input, Pool));
        return Strings.back().Text;
    };

    TVodSoft Soft{};
    Soft.FactoryCode = Input.ConsumeIntegral<std::int32_t>();
    Soft.FactoryName = String();
    Soft.VersionCode = String();
    Soft.VersionName = String();
    const std::size_t Converted = Strings.size();

    TVelSongInfo Info{};
    Info.SongID = Input.ConsumeIntegral<std::int32_t>();
    const auto Field = [&](TVelString& AField) {
        AField = String();
        return Strings.size() - 1;
    };
    const std::size_t SongNumber = Field(Info.SongNumber);
    const std::size_t SongName = Field(Info.SongName);
    const std::size_t FilePath = Field(Info.FilePath);
    const std::size_t SingerName = Field(Info.SingerName);
    const std::size_t PYCode = Field(Info.PYCode);
    Info.CharsCount = Input.ConsumeIntegral<std::int32_t>();
    Info.StrokesNumber = Input.ConsumeIntegral<std::int32_t>();
    Info.LanguageID = Input.ConsumeBool() ? 0 : Input.ConsumeIntegral<std::int32_t>();
    const std::size_t LanguageName = Field(Info.LanguageName);
    Info.TypeID = Input.ConsumeBool() ? 0 : Input.ConsumeIntegral<std::int32_t>();
    const std::size_t TypeName = Field(Info.TypeName);
    const std::size_t Unused = Strings.size();
    Info.SongTag = String();
    Info.MtvStyle = String();
    Info.MusicStyle = String();
    Info.PublishDate = MakeDate(Input);
    Info.Track = Input.ConsumeIntegral<std::int32_t>();
    Info.Sound = Input.ConsumeIntegral<std::int32_t>();
    const std::size_t MediaType = Field(Info.MediaType);
    Info.FileSize = Input.ConsumeIntegral<std::int32_t>();
    const std::size_t Special = Field(Info.Special);
    Info.IsNew = Input.ConsumeIntegral<std::uint8_t>();
    Info.DemandTimes = Input.ConsumeIntegral<std::int32_t>();

    // Only the strings the song needs are read; a negative length in any of them fails.
    bool BadLength = false;
    for (std::size_t I = Converted; I < Strings.size(); ++I)
        if (I < Unused || I > Unused + 2)
            BadLength = BadLength || Strings[I].NegativeLength;
    const auto Text = [&](std::size_t AIndex) { return Utf8(Strings[AIndex].Units); };
    const bool ValidDate = Info.PublishDate >= -657434.0 && Info.PublishDate < 2958466.0;
    const bool Writable = !BadLength && !Text(SongName).empty() && ValidDate;
    const std::string Path = Text(FilePath);
    const std::int64_t RowsBefore = BadLength ? 0 : CountRows(Db, Path);

    const std::int32_t Result = _2DB(Soft, Db, Info);
    FUZZ_CHECK(Result == 0 || Result == -1);
    FUZZ_CHECK(Pool.CountsAsMade());
    FUZZ_CHECK((Result == 0) == Writable);
    if (Result != 0)
        return 0;

    std::int64_t LanguageID = Info.LanguageID;
    if (LanguageID == 0 && !Text(LanguageName).empty())
        LanguageID = IdOf(Db, "Languages", "LanguageID", "LanguageName", Text(LanguageName));
    std::int64_t TypeID = Info.TypeID;
    if (TypeID == 0 && !Text(SongNumber).empty() && !Text(TypeName).empty())
        TypeID = IdOf(Db, "SongTypes", "TypeID", "TypeName", Text(TypeName));

    const auto Written = RowsNamed(Db, "Songs", "rowid,FilePath", "FilePath", Path);
    TStatement Rows(Db, "select SongNumber,SongName,FilePath,SingerName,PYCode,CharsCount,"
                        "StrokesNumber,LanguageID,TypeID,Special,Track,Sound,IsNew,DemandTimes,"
                        "MediaType,FileSize,PublishDate from Songs where rowid=?1");
    std::int64_t Count = 0;
    for (const std::int64_t RowId : Written) {
        sqlite3_reset(Rows.Stmt);
        FUZZ_CHECK(sqlite3_bind_int64(Rows.Stmt, 1, RowId) == SQLITE_OK);
        FUZZ_CHECK(Rows.Step());
        ++Count;
        const std::string Number = Rows.Text(0);
        if (Text(SongNumber).empty()) {
            // Generated: a decimal number from the floor up.
            FUZZ_CHECK(!Number.empty() && Number.size() <= 10 &&
                       Number.find_first_not_of("0123456789") == std::string::npos);
            FUZZ_CHECK(std::stoll(Number) >= VelSongNumberFloor);
        } else {
            FUZZ_CHECK(Number == Text(SongNumber));
        }
        FUZZ_CHECK(Rows.Text(1) == Text(SongName));
        if (RowsBefore == 0)
            FUZZ_CHECK(Rows.Text(2) == Path);
        FUZZ_CHECK(Rows.Text(3) == Text(SingerName));
        FUZZ_CHECK(Rows.Text(4) == Text(PYCode));
        FUZZ_CHECK(Rows.Integer(5) == Info.CharsCount);
        FUZZ_CHECK(Rows.Integer(6) == Info.StrokesNumber);
        FUZZ_CHECK(Rows.Integer(7) == LanguageID);
        FUZZ_CHECK(Rows.Integer(8) == TypeID);
        FUZZ_CHECK(Rows.Text(9) == Text(Special));
        FUZZ_CHECK(Rows.Integer(10) == Info.Track);
        FUZZ_CHECK(Rows.Integer(11) == Info.Sound);
        FUZZ_CHECK(Rows.Integer(12) == (Info.IsNew != 0 ? 1 : 0));
        FUZZ_CHECK(Rows.Integer(13) == Info.DemandTimes);
        FUZZ_CHECK(Rows.Text(14) == Text(MediaType));
        FUZZ_CHECK(Rows.Integer(15) == Info.FileSize);
        FUZZ_CHECK(sqlite3_column_type(Rows.Stmt, 16) == SQLITE_FLOAT);
        FUZZ_CHECK(sqlite3_column_double(Rows.Stmt, 16) == Info.PublishDate);
    }
    // An update rewrites the rows already there; an insert adds the one row.
    FUZZ_CHECK(Count == (RowsBefore == 0 ? 1 : RowsBefore));
    return 0;
}
