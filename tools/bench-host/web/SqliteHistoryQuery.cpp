#include "web/SqliteHistoryQuery.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

#include <sqlite3.h>

#include "history/HistorySchema.h"
#include "history/HistoryReader.h"
#include "history/HistorySummary.h"
#include "history/RecordSql.h"
#include "history/SqlConnection.h"

namespace {

// A connection per query, with the record's values readable from SQL.
std::unique_ptr<SqlConnection> Open(const std::string& path) {
    auto db = HistoryReader::OpenReadOnly(path);
    RecordSql::Register(db->get());
    return db;
}

// A statement that may not apply to this file (a table it does not have):
// no row instead of an error.
std::optional<SqlStatement> TryRow(SqlConnection& db, const char* sql) {
    try {
        SqlStatement st = db.Prepare(sql);
        if (st.Step()) return std::optional<SqlStatement>(std::move(st));
    } catch (const SqlError&) {
    }
    return std::nullopt;
}

// The device's first time (device an SQL expression): its first round, or
// its first summarised minute in a file whose old rounds were pruned.
std::string FirstMs(SqlConnection& db, const std::string& device) {
    const std::string round = "(SELECT min(saved_ms) FROM history WHERE device_id = " + device + ")";
    if (!HistorySchema::PrunedBefore(db)) return round;
    return "coalesce(min((SELECT first_ms FROM history_minutes WHERE device_id = " + device +
           " ORDER BY minute_ms LIMIT 1), " + round + "), " + round + ")";
}

// Every failure names the file.
template <typename Work>
auto Reading(const std::string& path, Work work) {
    try {
        return work();
    } catch (const SqlError& e) {
        const std::string what = e.what();
        if (what.rfind("cannot open history ", 0) == 0 || what.rfind("cannot use history ", 0) == 0) throw;
        throw std::runtime_error("cannot read history " + path + ": " + what);
    }
}

}  // namespace

SqliteHistoryQuery::SqliteHistoryQuery(std::string path) : path_(std::move(path)) {
    Reading(path_, [&] {
        auto db = Open(path_);
        // Both time columns must be there: a file from before they existed
        // is migrated by the run that next opens it for writing.
        db->Prepare("SELECT saved_ms FROM history LIMIT 0");
        db->Prepare("SELECT at_ms FROM alarms LIMIT 0");
        return 0;
    });
}

std::vector<HistoryQuery::DeviceSpan> SqliteHistoryQuery::Devices() {
    return Reading(path_, [&] {
        auto db = Open(path_);
        // Each step is one seek in the (device_id, saved_ms) index, however
        // many rounds each device has; where old rounds were pruned, the
        // device's span begins with its first summarised minute.
        SqlStatement c = db->Prepare(std::string(HistorySummary::kDevices) + "SELECT id, " + FirstMs(*db, "id") +
                                     ", (SELECT max(saved_ms) FROM history WHERE device_id = id) FROM d "
                                     "WHERE id IS NOT NULL");
        std::vector<DeviceSpan> out;
        while (c.Step()) out.push_back({static_cast<uint32_t>(c.Int(0)), c.Int(1), c.Int(2)});
        return out;
    });
}

namespace {

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// A value of a round that has every value (no_value: the file's column, or
// what stands in for it), as the per-minute summary takes them: a bucket's
// means divide by one count of rounds.
std::string Whole(int what, int cells, const std::string& no_value) {
    return "CASE WHEN " + no_value + " = 0 THEN record_value(record, " + std::to_string(what) + ", " +
           std::to_string(cells) + ", 0) END";
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
    return Reading(path_, [&] { return Downsample(*Open(path_), request); });
}

HistoryQuery::Series SqliteHistoryQuery::Downsample(SqlConnection& db, const SeriesRequest& request) {
    Series s;
    {
        SqlStatement span =
            db.Prepare("SELECT " + FirstMs(db, "?1") + ", max(saved_ms) FROM history WHERE device_id = ?1");
        if (!span.Bind(1, int64_t{request.device}).Step() || span.Null(0)) return s;
        s.from_ms = request.range.from_ms.value_or(span.Int(0));
        s.to_ms = request.range.to_ms.value_or(span.Int(1));
    }
    if (s.to_ms < s.from_ms) return s;
    const int64_t span = s.to_ms - s.from_ms + 1;
    s.bucket_ms = std::max<int64_t>(1, (span + request.points - 1) / request.points);
    // Before the pruned edge only the summary is left: a minute is the
    // finest bucket there.
    constexpr int64_t kMinute = HistorySummary::kMinuteMs;
    const int64_t pruned = HistorySchema::PrunedBefore(db).value_or(std::numeric_limits<int64_t>::min());
    if (s.from_ms < pruned) s.bucket_ms = std::max(s.bucket_ms, kMinute);

    // Buckets of a minute or more come from the per-minute summary for the
    // whole minutes of the range it covers, and from the rounds themselves
    // for the part minutes at the ends and what is not summarised yet.
    int64_t first_minute = 0, end_minute = 0, origin = s.from_ms;
    bool summary = false, reopened = false;
    if (s.bucket_ms >= kMinute) {
        if (const auto row = TryRow(db, "SELECT through_ms FROM history_minutes_through")) {
            const int64_t through = row->Int(0);
            // A file summarised only from some minute on: the rounds before.
            int64_t since = std::numeric_limits<int64_t>::min();
            if (const auto from = TryRow(db, "SELECT since_ms FROM history_minutes_since")) since = from->Int(0);
            // The minutes at the ends of the range whose rounds are pruned
            // are read whole from the summary; elsewhere only whole minutes.
            first_minute = std::max(s.from_ms < pruned ? FloorDiv(s.from_ms, kMinute) * kMinute
                                                       : -FloorDiv(-s.from_ms, kMinute) * kMinute,
                                    since);
            end_minute = std::min(s.to_ms < pruned ? FloorDiv(s.to_ms, kMinute) * kMinute + kMinute
                                                   : FloorDiv(s.to_ms + 1, kMinute) * kMinute,
                                  through);
            summary = first_minute < end_minute;
            // Minutes written again after a step of the clock have no row
            // until the writer has left them: their rounds are read.
            reopened = summary && db.HasTable("history_minutes_reopened");
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
    const std::string no_value = "coalesce(" + HistorySchema::ColumnsOf(db).no_value + ", 0)";
    const auto whole = [&](int what) { return Whole(what, n, no_value); };
    const std::string cell = request.cell ? whole(RecordSql::kCell0 + *request.cell - 1) : std::string("NULL");
    std::string sql = "WITH parts(t, rounds, decoded, v, i, tc, cmin, csum, cmax, k) AS (";
    if (summary) {
        sql += "SELECT first_ms, rounds, decoded, voltage_sum, current_sum, temperature_sum, " +
               OverCells("min", n, "min", ", ") + ", " + OverCells("", n, "sum", " + ") + ", " +
               OverCells("max", n, "max", ", ") + ", " +
               (request.cell ? HistorySummary::CellColumn(*request.cell, "sum") : std::string("NULL")) +
               " FROM history_minutes WHERE device_id = ?4 AND minute_ms >= ?5 AND minute_ms < ?6 UNION ALL ";
    }
    // The rounds with every value, as the per-minute summary takes them.
    sql += "SELECT saved_ms, 1, " + whole(RecordSql::kStringVoltage) + " IS NOT NULL, " +
           whole(RecordSql::kStringVoltage) + ", " + whole(RecordSql::kCurrent) + ", " +
           whole(RecordSql::kTemperature) + ", " + whole(RecordSql::kCellMin) + ", " + whole(RecordSql::kCellMean) +
           " * " + std::to_string(n) + ", " + whole(RecordSql::kCellMax) + ", " + cell +
           " FROM history WHERE device_id = ?4 AND saved_ms BETWEEN ?1 AND ?2" +
           (summary ? std::string(" AND (saved_ms < ?5 OR saved_ms >= ?6") +
                          (reopened ? " OR saved_ms - saved_ms % 60000 IN (SELECT minute_ms FROM "
                                      "history_minutes_reopened)"
                                    : "") +
                          ")"
                    : std::string()) +
           ") SELECT (t - ?7) / ?3 AS bucket, min(t), sum(rounds), sum(v) / sum(decoded), sum(i) / sum(decoded), "
           "sum(tc) / sum(decoded), min(cmin), sum(csum) / (sum(decoded) * " + std::to_string(n) +
           ".0), max(cmax), sum(k) / sum(decoded) FROM parts GROUP BY bucket ORDER BY bucket";
    SqlStatement c = db.Prepare(sql);
    c.Bind(1, s.from_ms)
        .Bind(2, s.to_ms)
        .Bind(3, s.bucket_ms)
        .Bind(4, int64_t{request.device})
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
    return Reading(path_, [&] {
        auto db = Open(path_);
        return HistoryReader(*db).Alarms(device, {range.from_ms, range.to_ms, limit});
    });
}
