#include "HistoryStore.h"

#include <sqlite3.h>

#include <stdexcept>

namespace {

// A prepared statement released on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::string Text(sqlite3_stmt* stmt, int col) {
    const auto* p = sqlite3_column_text(stmt, col);
    return p ? reinterpret_cast<const char*>(p) : std::string();
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path, Access access) : path_(path) {
    const int flags = access == Access::kReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open history " + path + ": " + why);
    }
    // A reader (bench-host history) may look at the file while a run writes.
    sqlite3_busy_timeout(db_, 2000);
    try {
        if (access == Access::kReadWrite) {
            Exec("PRAGMA journal_mode=WAL");
            Exec("CREATE TABLE IF NOT EXISTS history(device_id INTEGER, saved_at TEXT, record BLOB)");
            Exec("CREATE INDEX IF NOT EXISTS history_device ON history(device_id)");
            Exec("CREATE TABLE IF NOT EXISTS alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, "
                 "state TEXT, bound TEXT, value REAL, limit_value REAL)");
        } else {
            // Fails early, with a clear message, on a file that is not a history.
            Statement probe(db_, "SELECT device_id, saved_at, record FROM history LIMIT 0");
        }
    } catch (const std::runtime_error& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot use history " + path + ": " + e.what());
    }
}

HistoryStore::~HistoryStore() {
    sqlite3_finalize(insert_record_);
    sqlite3_finalize(insert_alarm_);
    sqlite3_close(db_);
}

void HistoryStore::Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        throw std::runtime_error(why);
    }
}

void HistoryStore::Fail(const std::string& what) {
    throw std::runtime_error("history " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

void HistoryStore::SaveRecord(uint32_t device_id, const uint8_t* data, std::size_t size, const std::string& saved_at) {
    if (!insert_record_ &&
        sqlite3_prepare_v2(db_, "INSERT INTO history(device_id, saved_at, record) VALUES(?, ?, ?)", -1,
                           &insert_record_, nullptr) != SQLITE_OK)
        Fail("cannot store a record");
    sqlite3_reset(insert_record_);
    sqlite3_bind_int64(insert_record_, 1, device_id);
    sqlite3_bind_text(insert_record_, 2, saved_at.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert_record_, 3, data, static_cast<int>(size), SQLITE_TRANSIENT);
    if (sqlite3_step(insert_record_) != SQLITE_DONE) Fail("cannot store a record");
}

std::optional<HistoryStore::Row> HistoryStore::Newest(uint32_t device_id) {
    Statement st(db_, "SELECT device_id, saved_at, record FROM history WHERE device_id = ? ORDER BY rowid DESC LIMIT 1");
    sqlite3_bind_int64(st.get(), 1, device_id);
    if (sqlite3_step(st.get()) != SQLITE_ROW) return std::nullopt;
    Row row;
    row.device_id = static_cast<uint32_t>(sqlite3_column_int64(st.get(), 0));
    row.saved_at = Text(st.get(), 1);
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st.get(), 2));
    row.record.assign(p, p + sqlite3_column_bytes(st.get(), 2));
    return row;
}

void HistoryStore::ForEachRow(std::optional<uint32_t> device_id, const std::function<void(const Row&)>& visit) {
    Statement st(db_, device_id ? "SELECT device_id, saved_at, record FROM history WHERE device_id = ? ORDER BY rowid"
                                : "SELECT device_id, saved_at, record FROM history ORDER BY rowid");
    if (device_id) sqlite3_bind_int64(st.get(), 1, *device_id);
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        Row row;
        row.device_id = static_cast<uint32_t>(sqlite3_column_int64(st.get(), 0));
        row.saved_at = Text(st.get(), 1);
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st.get(), 2));
        row.record.assign(p, p + sqlite3_column_bytes(st.get(), 2));
        visit(row);
    }
    if (rc != SQLITE_DONE) Fail("cannot read the history");
}

void HistoryStore::SaveAlarm(const Alarm& a) {
    if (!insert_alarm_ &&
        sqlite3_prepare_v2(db_,
                           "INSERT INTO alarms(device_id, at, name, label, state, bound, value, limit_value) "
                           "VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &insert_alarm_, nullptr) != SQLITE_OK)
        Fail("cannot store an alarm");
    sqlite3_reset(insert_alarm_);
    sqlite3_bind_int64(insert_alarm_, 1, a.device_id);
    sqlite3_bind_text(insert_alarm_, 2, a.at.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 3, a.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 4, a.label.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 5, a.state.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 6, a.bound.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert_alarm_, 7, a.value);
    sqlite3_bind_double(insert_alarm_, 8, a.limit);
    if (sqlite3_step(insert_alarm_) != SQLITE_DONE) Fail("cannot store an alarm");
}

std::vector<HistoryStore::Alarm> HistoryStore::Alarms(std::optional<uint32_t> device_id) {
    std::vector<Alarm> out;
    // Histories written before alarms were kept have no such table.
    Statement exists(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'alarms'");
    if (sqlite3_step(exists.get()) != SQLITE_ROW) return out;
    Statement st(db_, device_id ? "SELECT device_id, at, name, label, state, bound, value, limit_value FROM alarms "
                                  "WHERE device_id = ? ORDER BY rowid"
                                : "SELECT device_id, at, name, label, state, bound, value, limit_value FROM alarms "
                                  "ORDER BY rowid");
    if (device_id) sqlite3_bind_int64(st.get(), 1, *device_id);
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
        Alarm a;
        a.device_id = static_cast<uint32_t>(sqlite3_column_int64(st.get(), 0));
        a.at = Text(st.get(), 1);
        a.name = Text(st.get(), 2);
        a.label = Text(st.get(), 3);
        a.state = Text(st.get(), 4);
        a.bound = Text(st.get(), 5);
        a.value = sqlite3_column_double(st.get(), 6);
        a.limit = sqlite3_column_double(st.get(), 7);
        out.push_back(a);
    }
    return out;
}

std::string HistoryStore::IsoLocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}
