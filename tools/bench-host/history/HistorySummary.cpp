#include "history/HistorySummary.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include <sqlite3.h>

#include "record/BatteryRecord.h"
#include "history/RecordSql.h"
#include "history/HistorySchema.h"
#include "history/SqlConnection.h"

namespace {

// A value of a round that has every value: a minute keeps one count of
// rounds, which divides its sums and bounds its lowest and highest, so a
// round with a value the monitor marked invalid is left out whole.
// no_value: the file's column, or what stands in for it in a file from
// before it.
std::string Whole(int what, const std::string& no_value) {
    return "CASE WHEN coalesce(" + no_value + ", 0) = 0 THEN record_value(record, " + std::to_string(what) +
           ", 32, 0) END";
}

}  // namespace

const char* const HistorySummary::kDevices =
    "WITH RECURSIVE d(id) AS (SELECT min(device_id) FROM history UNION ALL "
    "  SELECT (SELECT min(device_id) FROM history WHERE device_id > d.id) FROM d WHERE d.id IS NOT NULL) ";

namespace {

// Summarises the rounds from from_sql (an SQL expression) to before to_ms,
// replacing the summary of those minutes.
void Summarise(SqlConnection& db, const std::string& from_sql, int64_t to_ms) {
    constexpr int64_t kMinuteMs = HistorySummary::kMinuteMs;
    const std::string no_value = HistorySchema::ColumnsOf(db).no_value;
    const auto whole = [&](int what) { return Whole(what, no_value); };
    std::string values;
    for (int i = 1; i <= BatteryRecord::kCells; ++i) {
        const int cell = RecordSql::kCell0 + i - 1;
        values += ", sum(" + whole(cell) + "), min(" + whole(cell) + "), max(" + whole(cell) + ")";
    }
    std::string columns;
    for (int i = 1; i <= BatteryRecord::kCells; ++i)
        for (const char* what : {"sum", "min", "max"}) columns += ", " + HistorySummary::CellColumn(i, what);
    const std::string minute = "saved_ms / " + std::to_string(kMinuteMs) + " * " + std::to_string(kMinuteMs);
    db.Exec(std::string(HistorySummary::kDevices) +
                 "INSERT OR REPLACE INTO history_minutes(device_id, minute_ms, first_ms, rounds, decoded, "
                 "voltage_sum, current_sum, temperature_sum" + columns + ", current_min, last_ms) "
                 "SELECT device_id, " + minute + " AS m, min(saved_ms), count(*), count(" +
                 whole(RecordSql::kStringVoltage) + "), sum(" + whole(RecordSql::kStringVoltage) + "), sum(" +
                 whole(RecordSql::kCurrent) + "), sum(" + whole(RecordSql::kTemperature) + ")" + values + ", min(" +
                 whole(RecordSql::kCurrent) + "), max(saved_ms)" +
                 " FROM d, history WHERE d.id IS NOT NULL AND history.device_id = d.id "
                 "AND saved_ms >= (" + from_sql + ") AND saved_ms < " + std::to_string(to_ms) +
                 " GROUP BY device_id, m");
}

}  // namespace

std::string HistorySummary::CellColumn(int cell, const char* what) {
    return "c" + std::to_string(cell) + "_" + what;
}

void HistorySummary::Create(sqlite3* handle) {
    SqlConnection db(handle);
    std::string cols;
    for (int i = 1; i <= BatteryRecord::kCells; ++i) {
        for (const char* what : {"sum", "min", "max"}) cols += ", " + CellColumn(i, what) + " REAL";
    }
    db.Exec(
        "CREATE TABLE IF NOT EXISTS history_minutes(device_id INTEGER NOT NULL, minute_ms INTEGER NOT NULL, "
        "first_ms INTEGER NOT NULL, rounds INTEGER NOT NULL, decoded INTEGER NOT NULL, "
        "voltage_sum REAL, current_sum REAL, temperature_sum REAL" +
        cols +
        ", current_min REAL, last_ms INTEGER, PRIMARY KEY(device_id, minute_ms)) WITHOUT ROWID;"
        "CREATE TABLE IF NOT EXISTS history_minutes_through(through_ms INTEGER NOT NULL)");
}

void HistorySummary::Migrate(sqlite3* handle) {
    SqlConnection db(handle);
    // The lowest current tells a reader which minutes held a discharge;
    // minutes summarised before it was kept have none, and a reader reads
    // their rounds instead.
    if (db.HasTable("history_minutes") && !db.HasColumn("history_minutes", "current_min"))
        db.Exec("ALTER TABLE history_minutes ADD COLUMN current_min REAL");
    // The last round of a minute, so that a report ends at it and not at
    // the minute's end; NULL in minutes summarised before it was kept.
    if (db.HasTable("history_minutes") && !db.HasColumn("history_minutes", "last_ms"))
        db.Exec("ALTER TABLE history_minutes ADD COLUMN last_ms INTEGER");
}

void HistorySummary::CreateFrom(sqlite3* handle, int64_t now_ms) {
    Create(handle);
    const std::string since = std::to_string((now_ms / kMinuteMs + 1) * kMinuteMs);
    SqlConnection(handle).Exec(
        "CREATE TABLE IF NOT EXISTS history_minutes_since(since_ms INTEGER NOT NULL);"
        "DELETE FROM history_minutes_since; INSERT INTO history_minutes_since VALUES(" + since + ");"
        "DELETE FROM history_minutes_through; INSERT INTO history_minutes_through VALUES(" + since + ")");
}

bool HistorySummary::Present(sqlite3* handle) {
    try {
        return SqlConnection(handle).Prepare("SELECT through_ms FROM history_minutes_through").Step();
    } catch (const std::exception&) {
        return false;
    }
}

const char* const HistorySummary::kCreateReopened =
    "CREATE TABLE IF NOT EXISTS history_minutes_reopened(minute_ms INTEGER PRIMARY KEY)";

int64_t HistorySummary::Update(sqlite3* handle, int64_t now_ms) {
    RecordSql::Register(handle);
    SqlConnection db(handle);
    const int64_t now_minute = MinuteOf(now_ms);
    int64_t through = now_minute;
    db.InSavepoint("history_summary", [&] {
        const std::optional<int64_t> was = db.Int("SELECT max(through_ms) FROM history_minutes_through");
        // From the start of the last summarised minute (or the beginning);
        // the summary itself is never scanned.
        Summarise(db,
                  was ? std::to_string(*was - kMinuteMs) : std::string("-9223372036854775807"),
                  now_minute);
        // The minutes written again since (the clock was set back), but
        // the one still being written.
        std::vector<int64_t> reopened;
        if (db.HasTable("history_minutes_reopened")) {
            SqlStatement st = db.Prepare("SELECT minute_ms FROM history_minutes_reopened WHERE minute_ms <> ?");
            st.Bind(1, now_minute);
            while (st.Step()) reopened.push_back(st.Int(0));
        }
        for (const int64_t m : reopened) {
            Summarise(db, std::to_string(m), m + kMinuteMs);
            db.Prepare("DELETE FROM history_minutes_reopened WHERE minute_ms = ?").Bind(1, m).Run();
        }
        // Never back: the minutes up to it stay summarised, and one written
        // again is reopened instead.
        if (was) through = std::max(through, *was);
        db.Exec("DELETE FROM history_minutes_through; INSERT INTO history_minutes_through VALUES(" +
                std::to_string(through) + ")");
        return true;
    });
    return through;
}

void HistorySummary::Reopen(sqlite3* handle, int64_t minute_ms) {
    SqlConnection db(handle);
    db.InSavepoint("history_summary", [&] {
        // Made with the first minute reopened: a file whose clock never
        // stepped back spends no page on it.
        db.Exec(kCreateReopened);
        db.Prepare("DELETE FROM history_minutes WHERE minute_ms = ?").Bind(1, minute_ms).Run();
        db.Prepare("INSERT OR IGNORE INTO history_minutes_reopened VALUES(?)").Bind(1, minute_ms).Run();
        return true;
    });
}

bool HistorySummary::Backfill(sqlite3* handle, int max_minutes) {
    RecordSql::Register(handle);
    SqlConnection db(handle);
    if (!db.HasTable("history_minutes_since")) return false;
    return db.InSavepoint("history_summary", [&] {
        const std::optional<int64_t> since = db.Int("SELECT since_ms FROM history_minutes_since");
        if (!since) return false;
        // The newest round before since_ms, device by device over the index.
        const std::optional<int64_t> newest =
            db.Int(std::string(kDevices) +
                   "SELECT max((SELECT max(saved_ms) FROM history WHERE device_id = d.id AND saved_ms < " +
                   std::to_string(*since) + ")) FROM d WHERE d.id IS NOT NULL");
        if (!newest) {
            db.Exec("DELETE FROM history_minutes_since");
            return false;
        }
        // Minutes without rounds between it and since_ms cost nothing.
        const int64_t from = (*newest / kMinuteMs - std::max(max_minutes, 1) + 1) * kMinuteMs;
        Summarise(db, std::to_string(from), *since);
        db.Exec("UPDATE history_minutes_since SET since_ms = " + std::to_string(from));
        return true;
    });
}
