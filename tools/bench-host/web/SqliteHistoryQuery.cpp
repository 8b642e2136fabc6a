#include "SqliteHistoryQuery.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <sqlite3.h>

#include "BatteryRecord.h"

namespace {

// What record_value(record, what, cells) reads from a record's image.
enum What : int {
    kStringVoltage = 0,
    kCurrent,
    kTemperature,
    kCellMin,
    kCellMean,
    kCellMax,
    kCell0,  // kCell0 + i: cell i (0-based)
};

// record_value(record BLOB, what INTEGER, cells INTEGER) -> REAL, NULL for a
// record that is not a record.
void RecordValue(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const auto* data = static_cast<const uint8_t*>(sqlite3_value_blob(argv[0]));
    const auto size = static_cast<std::size_t>(sqlite3_value_bytes(argv[0]));
    const auto rec = BatteryRecord::Decode(data, size);
    if (!rec) return sqlite3_result_null(ctx);
    const int what = sqlite3_value_int(argv[1]);
    const int cells = std::clamp(sqlite3_value_int(argv[2]), 1, BatteryRecord::kCells);
    const auto first = rec->cells.begin(), last = rec->cells.begin() + cells;
    double v = 0.0;
    switch (what) {
        case kStringVoltage: v = rec->group_voltage; break;
        case kCurrent: v = rec->group_current; break;
        case kTemperature: v = rec->temperature; break;
        case kCellMin: v = *std::min_element(first, last); break;
        case kCellMax: v = *std::max_element(first, last); break;
        case kCellMean: {
            double sum = 0.0;
            for (auto it = first; it != last; ++it) sum += *it;
            v = sum / cells;
            break;
        }
        default:
            if (what < kCell0 || what - kCell0 >= BatteryRecord::kCells) return sqlite3_result_null(ctx);
            v = rec->cells[static_cast<std::size_t>(what - kCell0)];
    }
    sqlite3_result_double(ctx, v);
}

}  // namespace

class SqliteHistoryQuery::Connection {
public:
    explicit Connection(const std::string& path) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            Fail("cannot open");
        }
        // The run writes meanwhile; a reader waits for its commit rather
        // than fail.
        sqlite3_busy_timeout(db_, 2000);
        sqlite3_create_function(db_, "record_value", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, RecordValue,
                                nullptr, nullptr);
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

    const int cell = request.cell ? kCell0 + *request.cell - 1 : -1;
    c.Prepare(
         "SELECT (saved_ms - ?1) / ?3 AS bucket, min(saved_ms), count(*), "
         "avg(record_value(record, 0, ?4)), avg(record_value(record, 1, ?4)), avg(record_value(record, 2, ?4)), "
         "min(record_value(record, 3, ?4)), avg(record_value(record, 4, ?4)), max(record_value(record, 5, ?4)), "
         "CASE WHEN ?5 < 0 THEN NULL ELSE avg(record_value(record, ?5, ?4)) END "
         "FROM history WHERE device_id = ?6 AND saved_ms BETWEEN ?1 AND ?2 GROUP BY bucket ORDER BY bucket")
        .Bind(1, s.from_ms)
        .Bind(2, s.to_ms)
        .Bind(3, s.bucket_ms)
        .Bind(4, request.cells)
        .Bind(5, cell)
        .Bind(6, request.device);
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
        if (cell >= 0) s.cell.push_back(real(9));
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
        out.push_back({static_cast<uint32_t>(c.Int(0)), c.Int(1), c.Text(2), c.Text(3), c.Text(4), c.Text(5),
                       c.Text(6), c.Real(7), c.Real(8)});
    }
    return out;
}
