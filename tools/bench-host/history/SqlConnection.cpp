#include "history/SqlConnection.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

// A file name as an SQLite URI (file:...), for the open flags that only a
// URI can give.
std::string Uri(const std::string& path, const char* query) {
    std::string out = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static const char digits[] = "0123456789ABCDEF";
            out += '%';
            out += digits[static_cast<unsigned char>(c) >> 4];
            out += digits[c & 0x0F];
        } else {
            out += c;
        }
    }
    return out + "?" + query;
}

}  // namespace

std::string SqlConnection::WhyNotOpenable(const std::string& path, bool write) {
    const std::filesystem::path p(path);
    const std::string dir = p.parent_path().empty() ? "." : p.parent_path().string();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return "no such folder " + dir;
    if (!S_ISDIR(st.st_mode)) return dir + " is not a folder";
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return "is a directory";
        if (::access(path.c_str(), write ? R_OK | W_OK : R_OK) != 0) return std::strerror(errno);
        return {};
    }
    if (!write) return "no such file";
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return std::string(std::strerror(errno)) + " in " + dir;
    return {};
}

SqlConnection::SqlConnection(const std::string& path, Open open) : path_(path) {
    const char* query = open == Open::kCreate ? "mode=rwc" : open == Open::kReadOnly ? "mode=ro" : "mode=ro&immutable=1";
    const int flags = (open == Open::kCreate ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_URI;
    if (sqlite3_open_v2(Uri(path, query).c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        // SQLite says "unable to open database file" whatever the cause.
        std::string why = WhyNotOpenable(path, open == Open::kCreate);
        const int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_NOMEM;
        // The system's reason, when it was found above, is said once.
        const int os = db_ && why.empty() ? sqlite3_system_errno(db_) : 0;
        if (why.empty()) why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw SqlError(code, "cannot open history " + path + ": " + why, os);
    }
    // A reader may look at the file while a run writes, and a run may find
    // a reader in the middle of a read.
    sqlite3_busy_timeout(db_, 2000);
}

SqlConnection::SqlConnection(sqlite3* borrowed) : db_(borrowed), owned_(false) {
    if (const char* name = sqlite3_db_filename(borrowed, "main")) path_ = name;
}

SqlConnection::~SqlConnection() {
    if (owned_) sqlite3_close_v2(db_);
}

SqlError SqlConnection::LastError(const std::string& context) const {
    const std::string why = sqlite3_errmsg(db_);
    return SqlError(sqlite3_extended_errcode(db_), context.empty() ? why : context + ": " + why,
                    sqlite3_system_errno(db_));
}

void SqlConnection::Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        throw SqlError(sqlite3_extended_errcode(db_), why, sqlite3_system_errno(db_));
    }
}

std::optional<int64_t> SqlConnection::Int(const std::string& sql) {
    SqlStatement st = Prepare(sql);
    if (!st.Step()) return std::nullopt;
    return st.OptionalInt(0);
}

bool SqlConnection::HasRows(const std::string& table) { return Prepare("SELECT 1 FROM " + table + " LIMIT 1").Step(); }

bool SqlConnection::HasTable(const std::string& table) {
    return Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?").Bind(1, table).Step();
}

bool SqlConnection::HasColumn(const std::string& table, const std::string& column) {
    return Prepare("SELECT 1 FROM pragma_table_info(?) WHERE name = ?").Bind(1, table).Bind(2, column).Step();
}

void SqlConnection::RollBack() {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqlConnection::RollBackTo(const char* name) {
    const std::string sql = std::string("ROLLBACK TO ") + name + "; RELEASE " + name;
    sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}
