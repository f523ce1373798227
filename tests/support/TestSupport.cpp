#include "TestSupport.h"

#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

TTempDir::TTempDir() {
    static std::atomic<int> Counter{0};
    FPath = std::filesystem::temp_directory_path() /
            ("corvena-test-" + std::to_string(::getpid()) + "-" + std::to_string(Counter++));
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
}

TTempDir::~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
}

std::string TTempDir::File(const std::string& AName) const { return (FPath / AName).string(); }

std::string MakeDatabase(const TTempDir& ADir, const std::string& AName, TSchemaKind AKind) {
    const std::string Name = ADir.File(AName);
    CreateDatabase(Name, AKind);
    return Name;
}

namespace {
struct TDb {
    sqlite3* Handle = nullptr;
    explicit TDb(const std::string& AFileName) {
        if (sqlite3_open_v2(AFileName.c_str(), &Handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + AFileName);
        // Checks may read while a program under test writes.
        sqlite3_busy_timeout(Handle, 5000);
    }
    ~TDb() { sqlite3_close(Handle); }
};
} // namespace

void RunSql(const std::string& AFileName, const std::string& ASql) {
    TDb Db(AFileName);
    char* Message = nullptr;
    if (sqlite3_exec(Db.Handle, ASql.c_str(), nullptr, nullptr, &Message) != SQLITE_OK) {
        const std::string Text = Message ? Message : "?";
        sqlite3_free(Message);
        throw std::runtime_error(Text + " in " + ASql);
    }
}

std::string QueryText(const std::string& AFileName, const std::string& ASql) {
    TDb Db(AFileName);
    sqlite3_stmt* Stmt = nullptr;
    if (sqlite3_prepare_v2(Db.Handle, ASql.c_str(), -1, &Stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string(sqlite3_errmsg(Db.Handle)) + " in " + ASql);
    std::string Result;
    const int Step = sqlite3_step(Stmt);
    if (Step == SQLITE_ROW && sqlite3_column_type(Stmt, 0) != SQLITE_NULL)
        Result = reinterpret_cast<const char*>(sqlite3_column_text(Stmt, 0));
    const std::string Error = sqlite3_errmsg(Db.Handle);
    sqlite3_finalize(Stmt);
    if (Step != SQLITE_ROW && Step != SQLITE_DONE)
        throw std::runtime_error(Error + " in " + ASql);
    return Result;
}

std::string JetConnectionString(const std::string& AFileName) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + AFileName +
           ";Persist Security Info=false;";
}

std::string DecodeEscapes(std::string_view ALine) {
    const auto IsHex = [](char AChar) { return std::isxdigit(static_cast<unsigned char>(AChar)) != 0; };
    std::string Bytes;
    for (std::size_t I = 0; I < ALine.size(); ++I) {
        if (ALine[I] == '\\' && I + 3 < ALine.size() && ALine[I + 1] == 'x' && IsHex(ALine[I + 2]) &&
            IsHex(ALine[I + 3])) {
            Bytes += static_cast<char>(std::stoi(std::string(ALine.substr(I + 2, 2)), nullptr, 16));
            I += 3;
        } else {
            Bytes += ALine[I];
        }
    }
    return Bytes;
}

std::string ReadFile(const std::string& AFileName) {
    std::ifstream In(AFileName, std::ios::binary);
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

void TouchFile(const std::filesystem::path& APath) {
    std::filesystem::create_directories(APath.parent_path());
    std::ofstream(APath, std::ios::binary).put('\0');
}
