#include "HistorySummary.h"

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
    std::string values;
    for (int i = 1; i <= BatteryRecord::kCells; ++i) {
        const std::string v = Rv(RecordSql::kCell0 + i - 1);
        values += ", sum(" + v + "), min(" + v + "), max(" + v + ")";
    }
    const std::string minute = "saved_ms / " + std::to_string(kMinuteMs) + " * " + std::to_string(kMinuteMs);
    Exec(db, "SAVEPOINT history_summary");
    try {
        // From the start of the last summarised minute (or the beginning),
        // device by device so each is one range of the (device_id,
        // saved_ms) index; the summary itself is never scanned.
        Exec(db,
             "WITH RECURSIVE d(id) AS (SELECT min(device_id) FROM history UNION ALL "
             "  SELECT (SELECT min(device_id) FROM history WHERE device_id > d.id) FROM d WHERE d.id IS NOT NULL), "
             "since(ms) AS (SELECT coalesce((SELECT max(through_ms) FROM history_minutes_through) - " +
                 std::to_string(kMinuteMs) + ", -9223372036854775807)) "
             "INSERT OR REPLACE INTO history_minutes "
             "SELECT device_id, " + minute + " AS m, min(saved_ms), count(*), count(" + Rv(RecordSql::kStringVoltage) +
                 "), sum(" + Rv(RecordSql::kStringVoltage) + "), sum(" + Rv(RecordSql::kCurrent) + "), sum(" +
                 Rv(RecordSql::kTemperature) + ")" + values +
                 " FROM d, since, history WHERE d.id IS NOT NULL AND history.device_id = d.id "
                 "AND saved_ms >= since.ms AND saved_ms < " + std::to_string(through) + " GROUP BY device_id, m");
        Exec(db, "DELETE FROM history_minutes_through; INSERT INTO history_minutes_through VALUES(" +
                     std::to_string(through) + ")");
        Exec(db, "RELEASE history_summary");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK TO history_summary; RELEASE history_summary", nullptr, nullptr, nullptr);
        throw;
    }
}
