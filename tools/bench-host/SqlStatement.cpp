#include "SqlStatement.h"

#include <sqlite3.h>

#include <stdexcept>

SqlStatement::SqlStatement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

SqlStatement::~SqlStatement() { sqlite3_finalize(stmt_); }
