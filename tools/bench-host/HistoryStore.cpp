#include "HistoryStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <sstream>

#include "HistorySummary.h"
#include "SqlStatement.h"

namespace {

std::string Text(sqlite3_stmt* stmt, int col) {
    const auto* p = sqlite3_column_text(stmt, col);
    return p ? reinterpret_cast<const char*>(p) : std::string();
}

std::optional<int64_t> OptionalInt(sqlite3_stmt* stmt, int col) {
    if (sqlite3_column_type(stmt, col) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(stmt, col);
}

void BindOptional(sqlite3_stmt* stmt, int col, const std::optional<int64_t>& v) {
    if (v)
        sqlite3_bind_int64(stmt, col, *v);
    else
        sqlite3_bind_null(stmt, col);
}

// The milliseconds of a time stored before offsets were: local time of the
// bench, which SQLite's 'utc' modifier takes it as.
std::string LocalTextToMs(const char* column) {
    return std::string("CAST(strftime('%s', ") + column + ", 'utc') AS INTEGER) * 1000";
}

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

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool FolderWritable(const std::string& path) {
    const auto dir = std::filesystem::path(path).parent_path();
    return ::access(dir.empty() ? "." : dir.c_str(), W_OK) == 0;
}

// Opens by URI; closes and throws on failure.
sqlite3* OpenUri(const std::string& uri, int flags, const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(uri.c_str(), &db, flags | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error("cannot open history " + path + ": " + why);
    }
    return db;
}

// SQLite's own check of every page, on a connection that cannot write.
// Without a write-ahead log beside the file the connection is immutable:
// it takes no lock and makes no -wal or -shm file.  With one (a run was
// killed), the log is part of the database and is read with it.
void CheckIntegrity(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) || std::filesystem::file_size(path, ec) == 0) return;
    const bool wal = Exists(path + "-wal");
    sqlite3* db = OpenUri(Uri(path, wal ? "mode=ro" : "mode=ro&immutable=1"), SQLITE_OPEN_READONLY, path);
    std::string verdict;
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            if (!verdict.empty()) continue;
            // The first problem, on one line: "Page 2: btreeInitPage() ..."
            // without SQLite's "*** in database main ***" heading.
            std::istringstream lines(Text(st, 0));
            for (std::string line; std::getline(lines, line);)
                if (line != "ok" && line.rfind("***", 0) != 0 && verdict.empty()) verdict = line;
        }
    }
    if (rc != SQLITE_DONE && verdict.empty()) verdict = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (!verdict.empty())
        throw std::runtime_error("history " + path + " fails SQLite's integrity check (" + verdict +
                                 "); it is left unchanged: repair it or name another with --db");
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path, Access access) : path_(path) {
    try {
        if (access == Access::kReadOnly)
            OpenReadOnly();
        else
            OpenReadWrite();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw;
    }
}

HistoryStore::~HistoryStore() {
    sqlite3_finalize(insert_record_);
    sqlite3_finalize(insert_alarm_);
    sqlite3_close(db_);
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

sqlite3* HistoryStore::OpenReader(const std::string& path, std::string* unread) {
    if (!Exists(path)) throw std::runtime_error("cannot open history " + path + ": no such file");
    // A write-ahead-log file needs its -shm index, which a reader makes
    // beside it; in a folder it cannot write to, the file is read as it
    // stands (immutable), unless a writer left both behind.
    const bool use_log = FolderWritable(path) || (Exists(path + "-wal") && Exists(path + "-shm"));
    if (unread && !use_log && Exists(path + "-wal"))
        *unread = path + "-wal (the last writes of a run that did not end) cannot be read without " + path +
                  "-shm in a folder that cannot be written; they are not shown";
    sqlite3* db = OpenUri(Uri(path, use_log ? "mode=ro" : "mode=ro&immutable=1"), SQLITE_OPEN_READONLY, path);
    // A reader may look at the file while a run writes.
    sqlite3_busy_timeout(db, 2000);
    return db;
}

void HistoryStore::OpenReadOnly() {
    db_ = OpenReader(path_, &unread_);
    try {
        // Fails early, with a clear message, on a file that is not a history.
        SqlStatement probe(db_, "SELECT device_id, saved_at, record FROM history LIMIT 0");
        if (!HasColumn("history", "saved_ms")) saved_ms_expr_ = LocalTextToMs("saved_at");
        if (!HasColumn("history", "run_id")) history_run_expr_ = "NULL";
        if (HasTable("alarms") && !HasColumn("alarms", "at_ms")) at_ms_expr_ = LocalTextToMs("at");
        if (HasTable("alarms") && !HasColumn("alarms", "run_id")) alarm_run_expr_ = "NULL";
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot use history " + path_ + ": " + e.what());
    }
}

void HistoryStore::OpenReadWrite() {
    CheckIntegrity(path_);
    db_ = OpenUri(Uri(path_, "mode=rwc"), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, path_);
    sqlite3_busy_timeout(db_, 2000);
    try {
        TakeForThisRun();
        Exec("PRAGMA journal_mode=WAL");
        Exec("BEGIN IMMEDIATE");
        Exec(
            "CREATE TABLE IF NOT EXISTS runs(run_id INTEGER PRIMARY KEY, started_at TEXT NOT NULL, "
            "started_ms INTEGER NOT NULL, ended_at TEXT, ended_ms INTEGER, plugin_path TEXT, plugin_size INTEGER, "
            "plugin_sha256 TEXT, site_file TEXT, bench_host_version TEXT)");
        Exec(
            "CREATE TABLE IF NOT EXISTS history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER, "
            "run_id INTEGER REFERENCES runs(run_id))");
        Exec(
            "CREATE TABLE IF NOT EXISTS alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT, "
            "bound TEXT, value REAL, limit_value REAL, at_ms INTEGER, run_id INTEGER REFERENCES runs(run_id))");
        Migrate();
        Exec("CREATE INDEX IF NOT EXISTS history_device_time ON history(device_id, saved_ms)");
        Exec("CREATE INDEX IF NOT EXISTS alarms_device_time ON alarms(device_id, at_ms)");
        // Summarised a minute at a time from the first round on.  A file
        // with rounds from before the summary existed is summarised from
        // now on: its earlier rounds would take minutes to summarise, which
        // a run must not spend before it polls.  They are read as they are
        // until Backfill, a minute at a time as rounds are stored, has
        // summarised them too.
        if (!HistorySummary::Present(db_)) {
            if (HasRows("history"))
                HistorySummary::CreateFrom(db_, TimeStamp::Now().Ms());
            else
                HistorySummary::Create(db_);
        }
        Exec("COMMIT");
        Summarise(TimeStamp::Now().Ms());
        backfilled_second_ = std::numeric_limits<int64_t>::min();
    } catch (const std::runtime_error& e) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw std::runtime_error("cannot use history " + path_ + ": " + e.what());
    }
}

void HistoryStore::Migrate() {
    // Histories from before the numeric times and the runs: the columns are
    // added and the times filled in from their text, taken as local time.
    if (!HasColumn("history", "saved_ms")) {
        Exec("ALTER TABLE history ADD COLUMN saved_ms INTEGER");
        Exec(("UPDATE history SET saved_ms = " + LocalTextToMs("saved_at")).c_str());
    }
    if (!HasColumn("history", "run_id")) Exec("ALTER TABLE history ADD COLUMN run_id INTEGER REFERENCES runs(run_id)");
    if (!HasColumn("alarms", "at_ms")) {
        Exec("ALTER TABLE alarms ADD COLUMN at_ms INTEGER");
        Exec(("UPDATE alarms SET at_ms = " + LocalTextToMs("at")).c_str());
    }
    if (!HasColumn("alarms", "run_id")) Exec("ALTER TABLE alarms ADD COLUMN run_id INTEGER REFERENCES runs(run_id)");
    // The (device_id, saved_ms) index serves every lookup the old one did.
    Exec("DROP INDEX IF EXISTS history_device");
}

void HistoryStore::TakeForThisRun() {
    // Two runs writing one file would close each other's alarms and mix
    // their rounds; an advisory lock on the file keeps one writer (readers
    // do not take it).  SQLite's own locks are fcntl locks, which flock does
    // not touch.
    lock_fd_ = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) Fail("cannot open for locking");
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("another bench-host run is writing to it");
}

bool HistoryStore::HasRows(const char* table) {
    SqlStatement st(db_, std::string("SELECT 1 FROM ") + table + " LIMIT 1");
    return sqlite3_step(st.get()) == SQLITE_ROW;
}

bool HistoryStore::HasTable(const char* table) {
    SqlStatement st(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    sqlite3_bind_text(st.get(), 1, table, -1, SQLITE_STATIC);
    return sqlite3_step(st.get()) == SQLITE_ROW;
}

bool HistoryStore::HasColumn(const char* table, const char* column) {
    SqlStatement st(db_, std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?");
    sqlite3_bind_text(st.get(), 1, column, -1, SQLITE_STATIC);
    return sqlite3_step(st.get()) == SQLITE_ROW;
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

void HistoryStore::FailWrite(long& count, const std::string& what) {
    ++count;
    Fail(what);
}

int64_t HistoryStore::BeginRun(const Run& run, const TimeStamp& at) {
    SqlStatement st(db_,
                    "INSERT INTO runs(started_at, started_ms, plugin_path, plugin_size, plugin_sha256, site_file, "
                    "bench_host_version) VALUES(?, ?, ?, ?, ?, ?, ?)");
    sqlite3_bind_text(st.get(), 1, at.Text().c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st.get(), 2, at.Ms());
    sqlite3_bind_text(st.get(), 3, run.plugin_path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st.get(), 4, static_cast<int64_t>(run.plugin_size));
    sqlite3_bind_text(st.get(), 5, run.plugin_sha256.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.get(), 6, run.site_file.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.get(), 7, run.version.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st.get()) != SQLITE_DONE) Fail("cannot record the run");
    run_id_ = sqlite3_last_insert_rowid(db_);
    return *run_id_;
}

void HistoryStore::Summarise(int64_t now_ms) {
    summarised_minute_ = now_ms / HistorySummary::kMinuteMs;
    // A cache of the rounds: when it cannot be written, readers read the
    // rounds after its last minute instead, and the next minute tries again.
    try {
        HistorySummary::Update(db_, now_ms);
    } catch (const std::runtime_error&) {
    }
}

void HistoryStore::Backfill(int64_t now_ms) {
    // At most a minute of the past (5-11 ms for 8 devices) once a
    // second: about 1% of the bus loop's time, a week caught up in about
    // three hours of a run.  Like the summary itself, a step that cannot
    // be written is tried again.
    backfilled_second_ = now_ms / 1000;
    try {
        if (!HistorySummary::Backfill(db_, 1)) backfilled_second_.reset();
    } catch (const std::runtime_error&) {
    }
}

void HistoryStore::EndRun(const TimeStamp& at) {
    if (summarised_minute_) Summarise(at.Ms() + HistorySummary::kMinuteMs);
    if (!run_id_) return;
    SqlStatement st(db_, "UPDATE runs SET ended_at = ?, ended_ms = ? WHERE run_id = ?");
    sqlite3_bind_text(st.get(), 1, at.Text().c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st.get(), 2, at.Ms());
    sqlite3_bind_int64(st.get(), 3, *run_id_);
    if (sqlite3_step(st.get()) != SQLITE_DONE) FailWrite(other_not_stored_, "cannot record the end of the run");
}

int HistoryStore::CloseAlarmsLeftRaised(const TimeStamp& at) {
    try {
        Exec("BEGIN IMMEDIATE");
        // An alarm stands when the newest row of its device and name raised it.
        SqlStatement st(
            db_,
            "INSERT INTO alarms(device_id, at, name, label, state, bound, value, limit_value, at_ms, run_id) "
            "SELECT device_id, ?, name, label, 'closed', bound, value, limit_value, ?, ? FROM alarms "
            "WHERE rowid IN (SELECT max(rowid) FROM alarms GROUP BY device_id, name) AND state = 'raised' "
            "ORDER BY rowid");
        sqlite3_bind_text(st.get(), 1, at.Text().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st.get(), 2, at.Ms());
        BindOptional(st.get(), 3, run_id_);
        if (sqlite3_step(st.get()) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
        const int closed = sqlite3_changes(db_);
        Exec("COMMIT");
        return closed;
    } catch (const std::runtime_error& e) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        ++other_not_stored_;
        throw std::runtime_error("history " + path_ + ": cannot close the alarms left raised: " + e.what());
    }
}

void HistoryStore::SaveRecord(uint32_t device_id, const uint8_t* data, std::size_t size, const TimeStamp& at) {
    if (!insert_record_ &&
        sqlite3_prepare_v2(db_,
                           "INSERT INTO history(device_id, saved_at, record, saved_ms, run_id) VALUES(?, ?, ?, ?, ?)",
                           -1, &insert_record_, nullptr) != SQLITE_OK)
        FailWrite(records_not_stored_, "cannot store a record");
    sqlite3_reset(insert_record_);
    sqlite3_bind_int64(insert_record_, 1, device_id);
    sqlite3_bind_text(insert_record_, 2, at.Text().c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert_record_, 3, data, static_cast<int>(size), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_record_, 4, at.Ms());
    BindOptional(insert_record_, 5, run_id_);
    if (sqlite3_step(insert_record_) != SQLITE_DONE) FailWrite(records_not_stored_, "cannot store a record");
    if (summarised_minute_ && at.Ms() / HistorySummary::kMinuteMs > *summarised_minute_)
        Summarise(at.Ms());
    else if (backfilled_second_ && at.Ms() / 1000 != *backfilled_second_)
        Backfill(at.Ms());
}

namespace {

HistoryStore::Row ReadRow(sqlite3_stmt* st) {
    HistoryStore::Row row;
    row.device_id = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
    row.saved_at = Text(st, 1);
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 2));
    row.record.assign(p, p + sqlite3_column_bytes(st, 2));
    row.saved_ms = sqlite3_column_int64(st, 3);
    row.run_id = OptionalInt(st, 4);
    return row;
}

}  // namespace

std::optional<HistoryStore::Row> HistoryStore::Newest(uint32_t device_id) {
    SqlStatement st(db_, "SELECT device_id, saved_at, record, " + saved_ms_expr_ + ", " + history_run_expr_ +
                             " FROM history WHERE device_id = ? ORDER BY rowid DESC LIMIT 1");
    sqlite3_bind_int64(st.get(), 1, device_id);
    const int rc = sqlite3_step(st.get());
    if (rc == SQLITE_ROW) return ReadRow(st.get());
    if (rc != SQLITE_DONE) Fail("cannot read the history");
    return std::nullopt;
}

void HistoryStore::ForEachRow(std::optional<uint32_t> device_id, const std::function<void(const Row&)>& visit) {
    const std::string ms = saved_ms_expr_;
    SqlStatement st(db_, "SELECT device_id, saved_at, record, " + ms + ", " + history_run_expr_ + " FROM history" +
                             (device_id ? " WHERE device_id = ?" : "") + " ORDER BY " + ms + ", rowid");
    if (device_id) sqlite3_bind_int64(st.get(), 1, *device_id);
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) visit(ReadRow(st.get()));
    if (rc != SQLITE_DONE) Fail("cannot read the history");
}

void HistoryStore::SaveAlarm(const Alarm& a) {
    if (!insert_alarm_ &&
        sqlite3_prepare_v2(db_,
                           "INSERT INTO alarms(device_id, at, name, label, state, bound, value, limit_value, at_ms, "
                           "run_id) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &insert_alarm_, nullptr) != SQLITE_OK)
        FailWrite(alarms_not_stored_, "cannot store an alarm");
    sqlite3_reset(insert_alarm_);
    sqlite3_bind_int64(insert_alarm_, 1, a.device_id);
    sqlite3_bind_text(insert_alarm_, 2, a.at.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 3, a.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 4, a.label.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 5, a.state.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_alarm_, 6, a.bound.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert_alarm_, 7, a.value);
    sqlite3_bind_double(insert_alarm_, 8, a.limit);
    sqlite3_bind_int64(insert_alarm_, 9, a.at_ms);
    BindOptional(insert_alarm_, 10, a.run_id ? a.run_id : run_id_);
    if (sqlite3_step(insert_alarm_) != SQLITE_DONE) FailWrite(alarms_not_stored_, "cannot store an alarm");
}

std::vector<HistoryStore::Alarm> HistoryStore::Alarms(std::optional<uint32_t> device_id) {
    std::vector<Alarm> out;
    // Histories written before alarms were kept have no such table.
    if (!HasTable("alarms")) return out;
    SqlStatement st(db_, "SELECT device_id, at, name, label, state, bound, value, limit_value, " + at_ms_expr_ + ", " +
                             alarm_run_expr_ + " FROM alarms" + (device_id ? " WHERE device_id = ?" : "") +
                             " ORDER BY " + at_ms_expr_ + ", rowid");
    if (device_id) sqlite3_bind_int64(st.get(), 1, *device_id);
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        Alarm a;
        a.device_id = static_cast<uint32_t>(sqlite3_column_int64(st.get(), 0));
        a.at = Text(st.get(), 1);
        a.name = Text(st.get(), 2);
        a.label = Text(st.get(), 3);
        a.state = Text(st.get(), 4);
        a.bound = Text(st.get(), 5);
        a.value = sqlite3_column_double(st.get(), 6);
        a.limit = sqlite3_column_double(st.get(), 7);
        a.at_ms = sqlite3_column_int64(st.get(), 8);
        a.run_id = OptionalInt(st.get(), 9);
        out.push_back(a);
    }
    if (rc != SQLITE_DONE) Fail("cannot read the alarms");
    return out;
}

std::vector<HistoryStore::Run> HistoryStore::Runs() {
    std::vector<Run> out;
    if (!HasTable("runs")) return out;
    SqlStatement st(db_,
                    "SELECT run_id, started_at, ended_at, plugin_path, plugin_size, plugin_sha256, site_file, "
                    "bench_host_version FROM runs ORDER BY started_ms, run_id");
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        Run r;
        r.id = sqlite3_column_int64(st.get(), 0);
        r.started_at = Text(st.get(), 1);
        r.ended_at = Text(st.get(), 2);
        r.plugin_path = Text(st.get(), 3);
        r.plugin_size = static_cast<uint64_t>(sqlite3_column_int64(st.get(), 4));
        r.plugin_sha256 = Text(st.get(), 5);
        r.site_file = Text(st.get(), 6);
        r.version = Text(st.get(), 7);
        out.push_back(r);
    }
    if (rc != SQLITE_DONE) Fail("cannot read the runs");
    return out;
}
