#include "SqliteHistoryQuery.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <sqlite3.h>

#include "HistoryStore.h"
#include "HistorySummary.h"
#include "RecordSql.h"


class SqliteHistoryQuery::Connection {
public:
    explicit Connection(const std::string& path) : path_(path), db_(HistoryStore::OpenReader(path)) {
        try {
            RecordSql::Register(db_);
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }
    ~Connection() {
        sqlite3_finalize(stmt_);
        sqlite3_close(db_);
    }

    Connection& Prepare(const char* sql) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail("cannot read");
        return *this;
    }
    Connection& Bind(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    // A step of a statement that may not apply to this file (a table it
    // does not have): false instead of an error.
    bool TryStep() { return stmt_ && sqlite3_step(stmt_) == SQLITE_ROW; }
    Connection& TryPrepare(const char* sql) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr);
        return *this;
    }
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Fail("cannot read");
        return false;
    }
    bool Null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    double Real(int col) const { return sqlite3_column_double(stmt_, col); }
    std::string Text(int col) const {
        const auto* t = sqlite3_column_text(stmt_, col);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    }

private:
    [[noreturn]] void Fail(const std::string& what) {
        throw std::runtime_error(what + " history " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    }

    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

SqliteHistoryQuery::SqliteHistoryQuery(std::string path) : path_(std::move(path)) {
    Connection c(path_);
    // Both time columns must be there: a file from before they existed is
    // migrated by the run that next opens it for writing.
    c.Prepare("SELECT saved_ms FROM history LIMIT 0").Step();
    c.Prepare("SELECT at_ms FROM alarms LIMIT 0").Step();
}

std::vector<HistoryQuery::DeviceSpan> SqliteHistoryQuery::Devices() {
    Connection c(path_);
    // Each step is one seek in the (device_id, saved_ms) index, however many
    // rounds each device has.
    c.Prepare(
        "WITH RECURSIVE d(id) AS (SELECT min(device_id) FROM history "
        "  UNION ALL SELECT (SELECT min(device_id) FROM history WHERE device_id > d.id) FROM d WHERE d.id IS NOT NULL) "
        "SELECT id, (SELECT min(saved_ms) FROM history WHERE device_id = id), "
        "           (SELECT max(saved_ms) FROM history WHERE device_id = id) FROM d WHERE id IS NOT NULL");
    std::vector<DeviceSpan> out;
    while (c.Step()) {
        out.push_back({static_cast<uint32_t>(c.Int(0)), c.Int(1), c.Int(2)});
    }
    return out;
}

namespace {

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

std::string Rv(int what, int cells) {
    return "record_value(record, " + std::to_string(what) + ", " + std::to_string(cells) + ")";
}

// f(c1_x, ..., cN_x); SQLite's min and max take one argument as aggregates,
// so one cell is the column itself.
std::string OverCells(const char* f, int cells, const char* what, const char* join) {
    if (cells == 1) return HistorySummary::CellColumn(1, what);
    std::string out = std::string(f) + "(";
    for (int i = 1; i <= cells; ++i) out += (i > 1 ? join : "") + HistorySummary::CellColumn(i, what);
    return out + ")";
}

}  // namespace

HistoryQuery::Series SqliteHistoryQuery::Downsample(const SeriesRequest& request) {
    Connection c(path_);
    Series s;
    c.Prepare("SELECT min(saved_ms), max(saved_ms) FROM history WHERE device_id = ?1").Bind(1, request.device);
    if (!c.Step() || c.Null(0)) return s;
    s.from_ms = request.range.from_ms.value_or(c.Int(0));
    s.to_ms = request.range.to_ms.value_or(c.Int(1));
    if (s.to_ms < s.from_ms) return s;
    const int64_t span = s.to_ms - s.from_ms + 1;
    s.bucket_ms = std::max<int64_t>(1, (span + request.points - 1) / request.points);

    // Buckets of a minute or more come from the per-minute summary for the
    // whole minutes of the range it covers, and from the rounds themselves
    // for the part minutes at the ends and what is not summarised yet.
    constexpr int64_t kMinute = HistorySummary::kMinuteMs;
    int64_t first_minute = 0, end_minute = 0, origin = s.from_ms;
    bool summary = false;
    if (s.bucket_ms >= kMinute) {
        if (c.TryPrepare("SELECT through_ms FROM history_minutes_through").TryStep()) {
            const int64_t through = c.Int(0);
            // A file summarised only from some minute on: the rounds before.
            int64_t since = std::numeric_limits<int64_t>::min();
            if (c.TryPrepare("SELECT since_ms FROM history_minutes_since").TryStep()) since = c.Int(0);
            first_minute = std::max(-FloorDiv(-s.from_ms, kMinute) * kMinute, since);
            end_minute = std::min(FloorDiv(s.to_ms + 1, kMinute) * kMinute, through);
            summary = first_minute < end_minute;
        }
    }
    if (summary) {
        // Buckets fall on whole minutes, so no summarised minute is split,
        // and begin at the minute of from_ms, so that rounds before the
        // summary's first minute (part minutes, or a past not summarised
        // yet) fill whole buckets too; wide enough that from there to to_ms
        // takes no more buckets than the points asked.
        origin = FloorDiv(s.from_ms, kMinute) * kMinute;
        const int64_t needed = (s.to_ms - origin + request.points) / static_cast<int64_t>(request.points);
        s.bucket_ms = (needed + kMinute - 1) / kMinute * kMinute;
    }

    const int n = request.cells;
    const std::string cell =
        request.cell ? Rv(RecordSql::kCell0 + *request.cell - 1, n) : std::string("NULL");
    std::string sql = "WITH parts(t, rounds, decoded, v, i, tc, cmin, csum, cmax, k) AS (";
    if (summary) {
        sql += "SELECT first_ms, rounds, decoded, voltage_sum, current_sum, temperature_sum, " +
               OverCells("min", n, "min", ", ") + ", " + OverCells("", n, "sum", " + ") + ", " +
               OverCells("max", n, "max", ", ") + ", " +
               (request.cell ? HistorySummary::CellColumn(*request.cell, "sum") : std::string("NULL")) +
               " FROM history_minutes WHERE device_id = ?4 AND minute_ms >= ?5 AND minute_ms < ?6 UNION ALL ";
    }
    sql += "SELECT saved_ms, 1, " + Rv(RecordSql::kStringVoltage, n) + " IS NOT NULL, " +
           Rv(RecordSql::kStringVoltage, n) + ", " + Rv(RecordSql::kCurrent, n) + ", " +
           Rv(RecordSql::kTemperature, n) + ", " + Rv(RecordSql::kCellMin, n) + ", " + Rv(RecordSql::kCellMean, n) +
           " * " + std::to_string(n) + ", " + Rv(RecordSql::kCellMax, n) + ", " + cell +
           " FROM history WHERE device_id = ?4 AND saved_ms BETWEEN ?1 AND ?2" +
           (summary ? " AND (saved_ms < ?5 OR saved_ms >= ?6)" : "") +
           ") SELECT (t - ?7) / ?3 AS bucket, min(t), sum(rounds), sum(v) / sum(decoded), sum(i) / sum(decoded), "
           "sum(tc) / sum(decoded), min(cmin), sum(csum) / (sum(decoded) * " + std::to_string(n) +
           ".0), max(cmax), sum(k) / sum(decoded) FROM parts GROUP BY bucket ORDER BY bucket";
    c.Prepare(sql.c_str())
        .Bind(1, s.from_ms)
        .Bind(2, s.to_ms)
        .Bind(3, s.bucket_ms)
        .Bind(4, request.device)
        .Bind(7, origin);
    if (summary) c.Bind(5, first_minute).Bind(6, end_minute);
    const double none = std::numeric_limits<double>::quiet_NaN();
    while (c.Step()) {
        s.t.push_back(c.Int(1));
        s.rounds.push_back(static_cast<uint64_t>(c.Int(2)));
        // A bucket of undecodable records has no values; NaN is written as
        // null, so the chart shows a gap rather than a zero.
        const auto real = [&](int col) { return c.Null(col) ? none : c.Real(col); };
        s.string_voltage.push_back(real(3));
        s.current.push_back(real(4));
        s.temperature.push_back(real(5));
        s.cell_min.push_back(real(6));
        s.cell_mean.push_back(real(7));
        s.cell_max.push_back(real(8));
        if (request.cell) s.cell.push_back(real(9));
    }
    return s;
}

std::vector<HistoryQuery::Alarm> SqliteHistoryQuery::Alarms(std::optional<uint32_t> device, const Range& range,
                                                            std::size_t limit) {
    Connection c(path_);
    c.Prepare(
         "SELECT device_id, at_ms, at, name, label, state, bound, value, limit_value FROM alarms "
         "WHERE (?1 < 0 OR device_id = ?1) AND at_ms BETWEEN ?2 AND ?3 ORDER BY at_ms, rowid LIMIT ?4")
        .Bind(1, device ? static_cast<int64_t>(*device) : -1)
        .Bind(2, range.from_ms.value_or(std::numeric_limits<int64_t>::min()))
        .Bind(3, range.to_ms.value_or(std::numeric_limits<int64_t>::max()))
        .Bind(4, static_cast<int64_t>(std::min<std::size_t>(limit, std::numeric_limits<int64_t>::max())));
    std::vector<Alarm> out;
    while (c.Step()) {
        Alarm a;
        a.device_id = static_cast<uint32_t>(c.Int(0));
        a.at_ms = c.Int(1);
        a.at = c.Text(2);
        a.name = c.Text(3);
        a.label = c.Text(4);
        a.state = c.Text(5);
        a.bound = c.Text(6);
        a.value = c.Real(7);
        a.limit = c.Real(8);
        out.push_back(std::move(a));
    }
    return out;
}
