#pragma once
// A prepared SQLite statement, released on every path.
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class SqlStatement {
public:
    // Throws std::runtime_error with SQLite's reason when the text does not
    // prepare (a table or column the file does not have).
    SqlStatement(sqlite3* db, const std::string& sql);
    ~SqlStatement();
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};
