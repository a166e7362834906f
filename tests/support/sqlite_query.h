#pragma once
// Asks an SQLite file a question the way an operator would with sqlite3:
// read-only, first column of the first row, "<error>" when there is none.

#include <sqlite3.h>

#include <string>

namespace kelvaro::testing_support {

inline std::string sqliteQuery(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string value = "<error>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

}  // namespace kelvaro::testing_support
