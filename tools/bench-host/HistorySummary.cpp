#include "HistorySummary.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include <sqlite3.h>

#include "BatteryRecord.h"
#include "RecordSql.h"

namespace {

void Exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string what = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("history summary: " + what);
    }
}

std::string Rv(int what) { return "record_value(record, " + std::to_string(what) + ", 32)"; }

// The first row's first column of sql, if any.
std::optional<int64_t> Int(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::optional<int64_t> out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        const std::string what = sqlite3_errmsg(db);
        sqlite3_finalize(st);
        throw std::runtime_error("history summary: " + what);
    }
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) out = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw std::runtime_error("history summary: " + std::string(sqlite3_errmsg(db)));
    return out;
}

// Each device's rows of history, one range of the (device_id, saved_ms)
// index each: d(id) lists the devices without reading the table.
const char* const kDevices =
    "WITH RECURSIVE d(id) AS (SELECT min(device_id) FROM history UNION ALL "
    "  SELECT (SELECT min(device_id) FROM history WHERE device_id > d.id) FROM d WHERE d.id IS NOT NULL) ";

// Summarises the rounds from from_sql (an SQL expression) to before to_ms,
// replacing the summary of those minutes.
void Summarise(sqlite3* db, const std::string& from_sql, int64_t to_ms) {
    constexpr int64_t kMinuteMs = HistorySummary::kMinuteMs;
    std::string values;
    for (int i = 1; i <= BatteryRecord::kCells; ++i) {
        const std::string v = Rv(RecordSql::kCell0 + i - 1);
        values += ", sum(" + v + "), min(" + v + "), max(" + v + ")";
    }
    const std::string minute = "saved_ms / " + std::to_string(kMinuteMs) + " * " + std::to_string(kMinuteMs);
    Exec(db, std::string(kDevices) +
                 "INSERT OR REPLACE INTO history_minutes "
                 "SELECT device_id, " + minute + " AS m, min(saved_ms), count(*), count(" +
                 Rv(RecordSql::kStringVoltage) + "), sum(" + Rv(RecordSql::kStringVoltage) + "), sum(" +
                 Rv(RecordSql::kCurrent) + "), sum(" + Rv(RecordSql::kTemperature) + ")" + values +
                 " FROM d, history WHERE d.id IS NOT NULL AND history.device_id = d.id "
                 "AND saved_ms >= (" + from_sql + ") AND saved_ms < " + std::to_string(to_ms) +
                 " GROUP BY device_id, m");
}

// Runs work in a savepoint: all of it or none.
template <typename Work>
auto InSavepoint(sqlite3* db, Work work) {
    Exec(db, "SAVEPOINT history_summary");
    try {
        auto out = work();
        Exec(db, "RELEASE history_summary");
        return out;
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK TO history_summary; RELEASE history_summary", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace

std::string HistorySummary::CellColumn(int cell, const char* what) {
    return "c" + std::to_string(cell) + "_" + what;
}

void HistorySummary::Create(sqlite3* db) {
    std::string cols;
    for (int i = 1; i <= BatteryRecord::kCells; ++i) {
        for (const char* what : {"sum", "min", "max"}) cols += ", " + CellColumn(i, what) + " REAL";
    }
    Exec(db,
         "CREATE TABLE IF NOT EXISTS history_minutes(device_id INTEGER NOT NULL, minute_ms INTEGER NOT NULL, "
         "first_ms INTEGER NOT NULL, rounds INTEGER NOT NULL, decoded INTEGER NOT NULL, "
         "voltage_sum REAL, current_sum REAL, temperature_sum REAL" +
             cols + ", PRIMARY KEY(device_id, minute_ms)) WITHOUT ROWID;"
                    "CREATE TABLE IF NOT EXISTS history_minutes_through(through_ms INTEGER NOT NULL)");
}

void HistorySummary::CreateFrom(sqlite3* db, int64_t now_ms) {
    Create(db);
    const std::string since = std::to_string((now_ms / kMinuteMs + 1) * kMinuteMs);
    Exec(db,
         "CREATE TABLE IF NOT EXISTS history_minutes_since(since_ms INTEGER NOT NULL);"
         "DELETE FROM history_minutes_since; INSERT INTO history_minutes_since VALUES(" + since + ");"
         "DELETE FROM history_minutes_through; INSERT INTO history_minutes_through VALUES(" + since + ")");
}

bool HistorySummary::Present(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    const bool ok = sqlite3_prepare_v2(db, "SELECT through_ms FROM history_minutes_through", -1, &st, nullptr) ==
                        SQLITE_OK &&
                    sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return ok;
}

void HistorySummary::Update(sqlite3* db, int64_t now_ms) {
    RecordSql::Register(db);
    const int64_t through = now_ms / kMinuteMs * kMinuteMs;
    InSavepoint(db, [&] {
        // From the start of the last summarised minute (or the beginning);
        // the summary itself is never scanned.
        Summarise(db,
                  "coalesce((SELECT max(through_ms) FROM history_minutes_through) - " + std::to_string(kMinuteMs) +
                      ", -9223372036854775807)",
                  through);
        Exec(db, "DELETE FROM history_minutes_through; INSERT INTO history_minutes_through VALUES(" +
                     std::to_string(through) + ")");
        return true;
    });
}

bool HistorySummary::Backfill(sqlite3* db, int max_minutes) {
    RecordSql::Register(db);
    if (!Int(db, "SELECT count(*) FROM sqlite_master WHERE name = 'history_minutes_since'").value_or(0)) return false;
    return InSavepoint(db, [&] {
        const std::optional<int64_t> since = Int(db, "SELECT since_ms FROM history_minutes_since");
        if (!since) return false;
        // The newest round before since_ms, device by device over the index.
        const std::optional<int64_t> newest =
            Int(db, std::string(kDevices) +
                        "SELECT max((SELECT max(saved_ms) FROM history WHERE device_id = d.id AND saved_ms < " +
                        std::to_string(*since) + ")) FROM d WHERE d.id IS NOT NULL");
        if (!newest) {
            Exec(db, "DELETE FROM history_minutes_since");
            return false;
        }
        // Minutes without rounds between it and since_ms cost nothing.
        const int64_t from = (*newest / kMinuteMs - std::max(max_minutes, 1) + 1) * kMinuteMs;
        Summarise(db, std::to_string(from), *since);
        Exec(db, "UPDATE history_minutes_since SET since_ms = " + std::to_string(from));
        return true;
    });
}
