#include "history/HistorySchema.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "history/HistorySummary.h"
#include "history/SqlConnection.h"
#include "basics/TimeStamp.h"

namespace {

// The milliseconds of a time stored before offsets were: local time of the
// bench, which SQLite's 'utc' modifier takes it as.
std::string LocalTextToMs(const char* column) {
    return std::string("CAST(strftime('%s', ") + column + ", 'utc') AS INTEGER) * 1000";
}

// Histories from before the numeric times and the runs: the columns are
// added and the times filled in from their text, taken as local time.
void Migrate(SqlConnection& db) {
    if (!db.HasColumn("history", "saved_ms")) {
        db.Exec("ALTER TABLE history ADD COLUMN saved_ms INTEGER");
        db.Exec("UPDATE history SET saved_ms = " + LocalTextToMs("saved_at"));
    }
    if (!db.HasColumn("history", "run_id")) db.Exec("ALTER TABLE history ADD COLUMN run_id INTEGER REFERENCES runs(run_id)");
    // The string's charge state judged with each round; NULL in rows from
    // before it was.
    if (!db.HasColumn("history", "charge_state")) db.Exec("ALTER TABLE history ADD COLUMN charge_state TEXT");
    if (!db.HasColumn("alarms", "at_ms")) {
        db.Exec("ALTER TABLE alarms ADD COLUMN at_ms INTEGER");
        db.Exec("UPDATE alarms SET at_ms = " + LocalTextToMs("at"));
    }
    if (!db.HasColumn("alarms", "run_id")) db.Exec("ALTER TABLE alarms ADD COLUMN run_id INTEGER REFERENCES runs(run_id)");
    // Durations measured on the monotonic clock, which a step of the wall
    // clock does not move; NULL in rows from before they were kept.
    for (const char* table : {"alarms", "health", "runs"})
        if (!db.HasColumn(table, "lasted_ms")) db.Exec(std::string("ALTER TABLE ") + table + " ADD COLUMN lasted_ms INTEGER");
    if (!db.HasColumn("runs", "test_note")) db.Exec("ALTER TABLE runs ADD COLUMN test_note TEXT");
    // Each round's moment on the run's monotonic clock, so that the gaps
    // between rounds are not made of the wall clock's steps; NULL in rows
    // from before it was kept.
    if (!db.HasColumn("history", "mono_ms")) db.Exec("ALTER TABLE history ADD COLUMN mono_ms INTEGER");
    // So are the alarms' and health changes' moments: an alarm or a trouble
    // still open at a report's edge is measured on the run's clock too.
    if (!db.HasColumn("alarms", "mono_ms")) db.Exec("ALTER TABLE alarms ADD COLUMN mono_ms INTEGER");
    if (!db.HasColumn("health", "since_mono_ms")) db.Exec("ALTER TABLE health ADD COLUMN since_mono_ms INTEGER");
    // The values of each round the monitor marked invalid (BatteryRecord's
    // no_value bits); the record keeps the plug-in's own image, which cannot
    // tell them.  NULL in rows from before it was kept: every value read.
    if (!db.HasColumn("history", "no_value")) db.Exec("ALTER TABLE history ADD COLUMN no_value INTEGER");
    // The (device_id, saved_ms) index serves every lookup the old one did.
    db.Exec("DROP INDEX IF EXISTS history_device");
}

}  // namespace

std::string HistorySchema::Damage(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) || std::filesystem::file_size(path, ec) == 0) return "";
    // Without a write-ahead log beside the file the connection is
    // immutable: it takes no lock and makes no -wal or -shm file.  With one
    // (a run was killed), the log is part of the database and is read with
    // it.
    const bool wal = std::filesystem::exists(path + "-wal", ec);
    SqlConnection db(path, wal ? SqlConnection::Open::kReadOnly : SqlConnection::Open::kImmutable);
    std::string verdict;
    try {
        SqlStatement st = db.Prepare("PRAGMA quick_check");
        while (st.Step()) {
            if (!verdict.empty()) continue;
            // The first problem, on one line: "Page 2: btreeInitPage() ..."
            // without SQLite's "*** in database main ***" heading.
            std::istringstream lines(st.Text(0));
            for (std::string line; std::getline(lines, line);)
                if (line != "ok" && line.rfind("***", 0) != 0 && verdict.empty()) verdict = line;
        }
    } catch (const SqlError& e) {
        // A log that cannot be read here for want of room for its index is
        // the writer's problem, which it reports as such.
        if (e.NoRoom()) throw;
        if (verdict.empty()) verdict = e.what();
    }
    return verdict;
}

void HistorySchema::CreateOrMigrate(SqlConnection& db) {
    db.Exec("BEGIN IMMEDIATE");
    try {
        db.Exec(
            "CREATE TABLE IF NOT EXISTS runs(run_id INTEGER PRIMARY KEY, started_at TEXT NOT NULL, "
            "started_ms INTEGER NOT NULL, ended_at TEXT, ended_ms INTEGER, plugin_path TEXT, plugin_size INTEGER, "
            "plugin_sha256 TEXT, site_file TEXT, bench_host_version TEXT)");
        db.Exec(
            "CREATE TABLE IF NOT EXISTS history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER, "
            "run_id INTEGER REFERENCES runs(run_id))");
        db.Exec(
            "CREATE TABLE IF NOT EXISTS alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT, "
            "bound TEXT, value REAL, limit_value REAL, at_ms INTEGER, run_id INTEGER REFERENCES runs(run_id))");
        db.Exec(
            "CREATE TABLE IF NOT EXISTS health(device_id INTEGER, at TEXT, at_ms INTEGER, state TEXT, was TEXT, "
            "since TEXT, since_ms INTEGER, cycles_lost INTEGER, reason TEXT, run_id INTEGER REFERENCES runs(run_id))");
        db.Exec(
            "CREATE TABLE IF NOT EXISTS run_devices(run_id INTEGER NOT NULL REFERENCES runs(run_id), "
            "device_id INTEGER NOT NULL, cycles INTEGER, completed INTEGER, lost INTEGER, resends INTEGER, "
            "late_polls INTEGER, updated_ms INTEGER, PRIMARY KEY(run_id, device_id))");
        db.Exec(
            "CREATE TABLE IF NOT EXISTS run_settings(run_id INTEGER NOT NULL REFERENCES runs(run_id), "
            "device_id INTEGER NOT NULL, battery TEXT, limits TEXT, PRIMARY KEY(run_id, device_id))");
        Migrate(db);
        db.Exec("CREATE INDEX IF NOT EXISTS history_device_time ON history(device_id, saved_ms)");
        db.Exec("CREATE INDEX IF NOT EXISTS alarms_device_time ON alarms(device_id, at_ms)");
        db.Exec("CREATE INDEX IF NOT EXISTS health_device_time ON health(device_id, at_ms)");
        // Summarised a minute at a time from the first round on.  A file
        // with rounds from before the summary existed is summarised from
        // now on: its earlier rounds would take minutes to summarise, which
        // a run must not spend before it polls.  They are read as they are
        // until the writer's backfill, a minute at a time as rounds are
        // stored, has summarised them too.
        if (!HistorySummary::Present(db.get())) {
            if (db.HasRows("history"))
                HistorySummary::CreateFrom(db.get(), TimeStamp::Now().Ms());
            else
                HistorySummary::Create(db.get());
        }
        HistorySummary::Migrate(db.get());
        db.Exec("COMMIT");
    } catch (...) {
        db.RollBack();
        throw;
    }
}

HistorySchema::Columns HistorySchema::ColumnsOf(SqlConnection& db) {
    Columns c;
    // Fails early, with a clear message, on a file that is not a history.
    db.Prepare("SELECT device_id, saved_at, record FROM history LIMIT 0");
    if (!db.HasColumn("history", "saved_ms")) c.saved_ms = LocalTextToMs("saved_at");
    if (!db.HasColumn("history", "run_id")) c.history_run = "NULL";
    if (!db.HasColumn("history", "charge_state")) c.charge_state = "NULL";
    if (!db.HasColumn("history", "mono_ms")) c.mono_ms = "NULL";
    if (!db.HasColumn("history", "no_value")) c.no_value = "0";
    // Histories written before alarms, runs or health were kept have no
    // such table.
    c.alarms = db.HasTable("alarms");
    c.runs = db.HasTable("runs");
    c.health = db.HasTable("health");
    if (c.alarms && !db.HasColumn("alarms", "at_ms")) c.at_ms = LocalTextToMs("at");
    if (c.alarms && !db.HasColumn("alarms", "run_id")) c.alarm_run = "NULL";
    const auto lasted = [&](bool has, const char* table, std::string& column) {
        if (!has || !db.HasColumn(table, "lasted_ms")) column = "NULL";
    };
    lasted(c.alarms, "alarms", c.alarm_lasted);
    lasted(c.health, "health", c.health_lasted);
    lasted(c.runs, "runs", c.run_lasted);
    if (!c.alarms || !db.HasColumn("alarms", "mono_ms")) c.alarm_mono = "NULL";
    if (!c.health || !db.HasColumn("health", "since_mono_ms")) c.health_mono = "NULL";
    if (!c.runs || !db.HasColumn("runs", "test_note")) c.test_note = "NULL";
    c.run_devices = db.HasTable("run_devices");
    c.run_settings = db.HasTable("run_settings");
    // Made with a run's first note; its device column came later.
    c.notes = db.HasTable("run_notes");
    if (!c.notes || !db.HasColumn("run_notes", "device_id")) c.note_device = "NULL";
    c.summary = HistorySummary::Present(db.get()) && db.HasColumn("history_minutes", "current_min");
    if (!c.summary || !db.HasColumn("history_minutes", "last_ms")) c.minute_last = "NULL";
    return c;
}

std::optional<int64_t> HistorySchema::PrunedBefore(SqlConnection& db) {
    try {
        return db.Int("SELECT max(before_ms) FROM history_pruned");
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

history::Summary HistorySchema::SummaryExtent(SqlConnection& db) {
    history::Summary s;
    s.through_ms = db.Int("SELECT through_ms FROM history_minutes_through").value_or(0);
    if (db.HasTable("history_minutes_since")) s.since_ms = db.Int("SELECT since_ms FROM history_minutes_since");
    s.pruned_before_ms = PrunedBefore(db);
    if (db.HasTable("history_minutes_reopened")) {
        SqlStatement st = db.Prepare("SELECT minute_ms FROM history_minutes_reopened ORDER BY minute_ms");
        while (st.Step()) s.reopened.push_back(st.Int(0));
    }
    return s;
}
