#pragma once
// A prepared SQLite statement, released on every path, with the binding,
// stepping and reading the history's code needs (columns and parameters
// numbered as SQLite numbers them: parameters from 1, columns from 0).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class SqlStatement {
public:
    // Throws std::runtime_error with SQLite's reason when the text does not
    // prepare (a table or column the file does not have).
    SqlStatement(sqlite3* db, const std::string& sql);
    ~SqlStatement();
    SqlStatement(SqlStatement&& other) noexcept;
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;
    SqlStatement& operator=(SqlStatement&&) = delete;

    sqlite3_stmt* get() const { return stmt_; }

    SqlStatement& Bind(int i, int64_t v);
    SqlStatement& Bind(int i, double v);
    SqlStatement& Bind(int i, const std::string& v);
    SqlStatement& Bind(int i, const std::optional<int64_t>& v);
    SqlStatement& BindBlob(int i, const void* data, std::size_t size);
    // Ready to run again with new parameters.
    SqlStatement& Reset();

    // true: a row is there to read; false: done.  Throws with SQLite's
    // reason on an error (SqlError, carrying its code).
    bool Step();
    // Runs a statement that returns no rows.
    void Run();

    bool Null(int col) const;
    int64_t Int(int col) const;
    std::optional<int64_t> OptionalInt(int col) const;
    double Real(int col) const;
    std::string Text(int col) const;
    std::vector<uint8_t> Blob(int col) const;

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};
