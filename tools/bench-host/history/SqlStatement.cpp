#include "history/SqlStatement.h"

#include <sqlite3.h>

#include "history/SqlConnection.h"

SqlStatement::SqlStatement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
        const int code = sqlite3_extended_errcode(db);
        const int os = sqlite3_system_errno(db);
        const std::string why = sqlite3_errmsg(db);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        throw SqlError(code, why, os);
    }
}

SqlStatement::~SqlStatement() { sqlite3_finalize(stmt_); }

SqlStatement::SqlStatement(SqlStatement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
    other.stmt_ = nullptr;
}

SqlStatement& SqlStatement::Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
}

SqlStatement& SqlStatement::Bind(int i, double v) {
    sqlite3_bind_double(stmt_, i, v);
    return *this;
}

SqlStatement& SqlStatement::Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
}

SqlStatement& SqlStatement::Bind(int i, const std::optional<int64_t>& v) {
    if (v)
        sqlite3_bind_int64(stmt_, i, *v);
    else
        sqlite3_bind_null(stmt_, i);
    return *this;
}

SqlStatement& SqlStatement::BindBlob(int i, const void* data, std::size_t size) {
    sqlite3_bind_blob(stmt_, i, data, static_cast<int>(size), SQLITE_TRANSIENT);
    return *this;
}

SqlStatement& SqlStatement::Reset() {
    sqlite3_reset(stmt_);
    return *this;
}

bool SqlStatement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    // The statement's own code: sqlite3_step's is the generic one.
    const int code = sqlite3_extended_errcode(db_);
    const int os = sqlite3_system_errno(db_);
    const std::string why = sqlite3_errmsg(db_);
    sqlite3_reset(stmt_);
    throw SqlError(code, why, os);
}

void SqlStatement::Run() {
    while (Step()) {
    }
}

bool SqlStatement::Null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

int64_t SqlStatement::Int(int col) const { return sqlite3_column_int64(stmt_, col); }

std::optional<int64_t> SqlStatement::OptionalInt(int col) const {
    if (Null(col)) return std::nullopt;
    return Int(col);
}

double SqlStatement::Real(int col) const { return sqlite3_column_double(stmt_, col); }

std::string SqlStatement::Text(int col) const {
    const auto* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
}

std::vector<uint8_t> SqlStatement::Blob(int col) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
    return p ? std::vector<uint8_t>(p, p + sqlite3_column_bytes(stmt_, col)) : std::vector<uint8_t>();
}
