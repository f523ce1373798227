#include "Schema.h"

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

void CreateDatabase(const std::string& AFileName, TSchemaKind AKind) {
    if (std::filesystem::exists(AFileName))
        throw std::runtime_error("Cannot create database \"" + AFileName + "\": it exists already");
    sqlite3* Db = nullptr;
    int Result = sqlite3_open_v2(AFileName.c_str(), &Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                 nullptr);
    char* Message = nullptr;
    if (Result == SQLITE_OK)
        Result = sqlite3_exec(Db, SchemaText(AKind), nullptr, nullptr, &Message);
    if (Result != SQLITE_OK) {
        const std::string Text = Message ? Message : (Db ? sqlite3_errmsg(Db) : sqlite3_errstr(Result));
        sqlite3_free(Message);
        sqlite3_close(Db);
        throw std::runtime_error("Cannot create database \"" + AFileName + "\": " + Text);
    }
    sqlite3_close(Db);
}
