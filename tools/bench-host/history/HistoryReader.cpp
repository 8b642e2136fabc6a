#include "history/HistoryReader.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <limits>

#include "history/HistorySummary.h"
#include "history/LogPairing.h"
#include "history/SqlConnection.h"

namespace {

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool FolderWritable(const std::string& path) {
    const auto dir = std::filesystem::path(path).parent_path();
    return ::access(dir.empty() ? "." : dir.c_str(), W_OK) == 0;
}

history::Row ReadRow(const SqlStatement& st) {
    history::Row row;
    row.device_id = static_cast<uint32_t>(st.Int(0));
    row.saved_at = st.Text(1);
    row.record = st.Blob(2);
    row.saved_ms = st.Int(3);
    row.run_id = st.OptionalInt(4);
    if (!st.Null(5)) row.charge_state = st.Text(5);
    row.mono_ms = st.OptionalInt(6);
    row.no_value = static_cast<uint64_t>(st.OptionalInt(7).value_or(0));
    return row;
}

}  // namespace

std::unique_ptr<SqlConnection> HistoryReader::OpenReadOnly(const std::string& path, std::string* unread) {
    if (!Exists(path)) {
        const std::string why = SqlConnection::WhyNotOpenable(path, false);
        throw SqlError(0, "cannot open history " + path + ": " + (why.empty() ? "no such file" : why));
    }
    // A log written for another file is never read into this one (a run
    // sets it aside as it begins; a reader leaves it be).
    const std::string foreign = LogPairing::ForeignToReader(path);
    if (!foreign.empty()) {
        if (unread)
            *unread = path + "-wal was not written for " + path + " (" + foreign +
                      "): it is not applied, the file is read as it stands; the next run sets the log aside";
        return std::make_unique<SqlConnection>(path, SqlConnection::Open::kImmutable);
    }
    const bool use_log = FolderWritable(path) || (Exists(path + "-wal") && Exists(path + "-shm"));
    if (unread && !use_log && Exists(path + "-wal"))
        *unread = path + "-wal (the last writes of a run that did not end) cannot be read without " + path +
                  "-shm in a folder that cannot be written; they are not shown";
    if (!use_log) return std::make_unique<SqlConnection>(path, SqlConnection::Open::kImmutable);
    auto db = std::make_unique<SqlConnection>(path, SqlConnection::Open::kReadOnly);
    try {
        db->Int("SELECT count(*) FROM sqlite_master");
        return db;
    } catch (const SqlError& e) {
        // A full file system has no room for the log's index: the file is
        // read as it stands, and what the log holds is said to be unread.
        if (!e.NoRoom()) throw SqlError(e.Code(), "cannot use history " + path + ": " + e.what());
    }
    std::error_code ec;
    if (unread && std::filesystem::file_size(path + "-wal", ec) > 0 && !ec)
        *unread = path + "-wal (the last writes of a run) cannot be read: no room for its index " + path +
                  "-shm on a full file system; they are not shown";
    return std::make_unique<SqlConnection>(path, SqlConnection::Open::kImmutable);
}

HistoryReader::HistoryReader(SqlConnection& db, const std::string& unread) : db_(db) {
    try {
        columns_ = HistorySchema::ColumnsOf(db_);
    } catch (const std::exception& e) {
        // A first run killed before its first checkpoint has everything in
        // the log, the main file not even its tables: what is missing is
        // what the notice already says cannot be read.
        if (!unread.empty() && !db_.HasTable("history")) return;
        throw std::runtime_error("cannot use history " + db_.Path() + ": " + e.what());
    }
}

void HistoryReader::Fail(const std::string& what, const std::exception& e) {
    throw std::runtime_error("history " + db_.Path() + ": " + what + ": " + e.what());
}

std::optional<history::Baseline> HistoryReader::NewestBaseline(uint32_t device_id) {
    return BaselineStore::Newest(db_, device_id);
}

std::optional<history::Row> HistoryReader::Newest(uint32_t device_id) {
    if (!columns_) return std::nullopt;
    try {
        SqlStatement st = db_.Prepare("SELECT device_id, saved_at, record, " + columns_->saved_ms + ", " +
                                      columns_->history_run + ", " + columns_->charge_state + ", " +
                                      columns_->mono_ms + ", " + columns_->no_value +
                                      " FROM history WHERE device_id = ? ORDER BY rowid DESC LIMIT 1");
        if (st.Bind(1, int64_t{device_id}).Step()) return ReadRow(st);
        return std::nullopt;
    } catch (const std::exception& e) {
        Fail("cannot read the history", e);
    }
}

void HistoryReader::ForEachRow(std::optional<uint32_t> device_id,
                               const std::function<void(const history::Row&)>& visit) {
    ForEachRow(device_id, Span(), visit);
}

void HistoryReader::ForEachRow(std::optional<uint32_t> device_id, const Span& span,
                               const std::function<void(const history::Row&)>& visit) {
    if (!columns_) return;
    const std::string& ms = columns_->saved_ms;
    std::string where = device_id ? " WHERE device_id = ?1" : " WHERE ?1 IS NULL";
    if (span.from_ms || span.to_ms) where += " AND " + ms + " BETWEEN ?2 AND ?3";
    const std::string select =
        "SELECT device_id, saved_at, record, " + ms + ", " + columns_->history_run + ", " + columns_->charge_state +
        ", " + columns_->mono_ms + ", " + columns_->no_value + ", rowid FROM history";
    const auto bind = [&](SqlStatement& st) {
        if (device_id) st.Bind(1, int64_t{*device_id});
        if (span.from_ms || span.to_ms)
            st.Bind(2, span.from_ms.value_or(std::numeric_limits<int64_t>::min()))
                .Bind(3, span.to_ms.value_or(std::numeric_limits<int64_t>::max()));
    };
    std::optional<SqlStatement> st;
    try {
        st.emplace(db_.Prepare(select + where + (span.stored_order ? " ORDER BY rowid" : " ORDER BY " + ms + ", rowid")));
        bind(*st);
    } catch (const std::exception& e) {
        Fail("cannot read the history", e);
    }
    // The visitor's own exceptions pass through as they are.
    std::optional<std::pair<int64_t, int64_t>> last;  // saved_ms and rowid of the last row visited
    for (;;) {
        bool row = false;
        try {
            row = st->Step();
        } catch (const SqlError& e) {
            if (!e.Damaged()) Fail("cannot read the history", e);
            st.reset();
            ReadPastDamage(select + " NOT INDEXED" + where, bind, last, span.stored_order, visit);
            return;
        } catch (const std::exception& e) {
            Fail("cannot read the history", e);
        }
        if (!row) break;
        last.emplace(st->Int(3), st->Int(8));
        visit(ReadRow(*st));
    }
}

void HistoryReader::ReadPastDamage(const std::string& select, const std::function<void(SqlStatement&)>& bind,
                                   const std::optional<std::pair<int64_t, int64_t>>& last, bool stored_order,
                                   const std::function<void(const history::Row&)>& visit) {
    std::vector<history::Row> rows;
    int64_t top = 0;
    std::optional<SqlStatement> run, one;
    try {
        SqlStatement max = db_.Prepare("SELECT max(rowid) FROM history");
        if (max.Step() && !max.Null(0)) top = max.Int(0);
        // Past the last row visited in order of time: the rows before it
        // were all visited.
        const std::string past =
            stored_order ? " AND (?6 IS NULL OR rowid > ?7) ORDER BY rowid"
                         : " AND (?6 IS NULL OR (" + columns_->saved_ms + ", rowid) > (?6, ?7)) ORDER BY " +
                               columns_->saved_ms + ", rowid";
        run.emplace(db_.Prepare(select + " AND rowid BETWEEN ?4 AND ?5" + past));
        // One rowid is sought, never stepped past (into a damaged neighbour).
        one.emplace(db_.Prepare(select + " AND rowid = ?4 AND ?5 = ?4" + past));
    } catch (const std::exception& e) {
        Fail("cannot read the history", e);
    }
    // The rows from..to, or false when the file cannot give them.
    const auto read = [&](int64_t from, int64_t to) {
        rows.clear();
        SqlStatement& st = from == to ? *one : *run;
        try {
            st.Reset();
            bind(st);
            st.Bind(4, from).Bind(5, to);
            if (last) st.Bind(6, last->first).Bind(7, last->second);
            while (st.Step()) rows.push_back(ReadRow(st));
            return true;
        } catch (const SqlError& e) {
            if (!e.Damaged()) Fail("cannot read the history", e);
            return false;
        }
    };
    for (int64_t from = 1; from <= top; from += kRowidRun) {
        const int64_t to = std::min(top, from + kRowidRun - 1);
        if (!unreadable_.count(from) && read(from, to)) {
            for (const auto& row : rows) visit(row);
            continue;
        }
        long lost = 0;
        for (int64_t id = from; id <= to; ++id) {
            if (!read(id, id)) {
                ++lost;
                continue;
            }
            for (const auto& row : rows) visit(row);
        }
        unreadable_[from] = lost;
    }
}

std::string HistoryReader::Damage() const {
    long lost = 0;
    for (const auto& run : unreadable_) lost += run.second;
    if (lost == 0) return {};
    return "history " + db_.Path() + " is damaged: " + std::to_string(lost) + " of its stored rounds (rowids " +
           std::to_string(unreadable_.begin()->first) + " to " +
           std::to_string(unreadable_.rbegin()->first + kRowidRun - 1) + ") could not be read; the rest was read";
}

std::vector<history::Alarm> HistoryReader::Alarms(std::optional<uint32_t> device_id) {
    return Alarms(device_id, Span());
}

std::vector<history::Alarm> HistoryReader::Alarms(std::optional<uint32_t> device_id, const Span& span) {
    std::vector<history::Alarm> out;
    if (!columns_ || !columns_->alarms) return out;
    try {
        const std::string& at_ms = columns_->at_ms;
        SqlStatement st = db_.Prepare("SELECT device_id, at, name, label, state, bound, value, limit_value, " + at_ms +
                                      ", " + columns_->alarm_run + ", " + columns_->alarm_lasted + ", " + columns_->alarm_mono + " FROM alarms WHERE (?1 < 0 OR device_id = ?1) AND " +
                                      at_ms + " BETWEEN ?2 AND ?3 ORDER BY rowid LIMIT ?4");
        st.Bind(1, device_id ? static_cast<int64_t>(*device_id) : int64_t{-1})
            .Bind(2, span.from_ms.value_or(std::numeric_limits<int64_t>::min()))
            .Bind(3, span.to_ms.value_or(std::numeric_limits<int64_t>::max()))
            .Bind(4, static_cast<int64_t>(std::min<std::size_t>(span.limit, std::numeric_limits<int64_t>::max())));
        while (st.Step()) {
            history::Alarm a;
            a.device_id = static_cast<uint32_t>(st.Int(0));
            a.at = st.Text(1);
            a.name = st.Text(2);
            a.label = st.Text(3);
            a.state = st.Text(4);
            a.bound = st.Text(5);
            a.value = st.Real(6);
            a.limit = st.Real(7);
            a.at_ms = st.Int(8);
            a.run_id = st.OptionalInt(9);
            a.lasted_ms = st.OptionalInt(10);
            a.mono_ms = st.OptionalInt(11);
            out.push_back(a);
        }
    } catch (const std::exception& e) {
        Fail("cannot read the alarms", e);
    }
    return out;
}

std::vector<history::Health> HistoryReader::HealthChanges(std::optional<uint32_t> device_id) {
    std::vector<history::Health> out;
    if (!columns_ || !columns_->health) return out;
    try {
        SqlStatement st = db_.Prepare(
            "SELECT device_id, at, at_ms, state, was, since, since_ms, cycles_lost, reason, run_id, " +
            columns_->health_lasted + ", " + columns_->health_mono + " FROM health" +
            (device_id ? " WHERE device_id = ? ORDER BY rowid" : " ORDER BY at_ms, rowid"));
        if (device_id) st.Bind(1, int64_t{*device_id});
        while (st.Step()) {
            history::Health h;
            h.device_id = static_cast<uint32_t>(st.Int(0));
            h.at = st.Text(1);
            h.at_ms = st.Int(2);
            h.state = st.Text(3);
            h.was = st.Text(4);
            h.since = st.Text(5);
            h.since_ms = st.Int(6);
            h.cycles_lost = static_cast<long>(st.Int(7));
            h.reason = st.Text(8);
            h.run_id = st.OptionalInt(9);
            h.lasted_ms = st.OptionalInt(10);
            h.since_mono_ms = st.OptionalInt(11);
            out.push_back(h);
        }
    } catch (const std::exception& e) {
        Fail("cannot read the health changes", e);
    }
    return out;
}

std::vector<history::Run> HistoryReader::Runs() {
    std::vector<history::Run> out;
    if (!columns_ || !columns_->runs) return out;
    try {
        // A run's counts are written every few seconds while it runs: the
        // newest of them is the last sign of a run that was killed.
        const std::string counted =
            columns_->run_devices ? "(SELECT max(updated_ms) FROM run_devices d WHERE d.run_id = runs.run_id)"
                                        : "NULL";
        SqlStatement st = db_.Prepare(
            "SELECT run_id, started_at, ended_at, plugin_path, plugin_size, plugin_sha256, site_file, "
            "bench_host_version, " + columns_->run_lasted + ", " + counted + ", started_ms, " +
            columns_->test_note + " FROM runs ORDER BY started_ms, run_id");
        while (st.Step()) {
            history::Run r;
            r.id = st.Int(0);
            r.started_at = st.Text(1);
            r.ended_at = st.Text(2);
            r.plugin_path = st.Text(3);
            r.plugin_size = static_cast<uint64_t>(st.Int(4));
            r.plugin_sha256 = st.Text(5);
            r.site_file = st.Text(6);
            r.version = st.Text(7);
            r.lasted_ms = st.OptionalInt(8);
            if (!st.Null(9)) r.counted_ms = st.Int(9);
            r.started_ms = st.Int(10);
            if (!st.Null(11)) r.test_note = st.Text(11);
            out.push_back(r);
        }
    } catch (const std::exception& e) {
        Fail("cannot read the runs", e);
    }
    return out;
}

std::optional<HistoryReader::Summary> HistoryReader::SummaryExtent() {
    if (!columns_ || !columns_->summary) return std::nullopt;
    try {
        return HistorySchema::SummaryExtent(db_);
    } catch (const std::exception& e) {
        Fail("cannot read the per-minute summary", e);
    }
}

void HistoryReader::ForEachMinute(uint32_t device_id, int64_t from_ms, int64_t to_ms,
                                  const std::function<void(const history::Minute&)>& visit) {
    if (!columns_ || !columns_->summary) return;
    std::string cols;
    for (int i = 1; i <= 32; ++i)
        for (const char* what : {"sum", "min", "max"}) cols += ", " + HistorySummary::CellColumn(i, what);
    std::optional<SqlStatement> st;
    try {
        st.emplace(db_.Prepare("SELECT device_id, minute_ms, first_ms, rounds, decoded, voltage_sum, current_sum, "
                               "temperature_sum, current_min" + cols + ", " + columns_->minute_last +
                               " FROM history_minutes WHERE device_id = ? AND minute_ms >= ? AND minute_ms < ? "
                               "ORDER BY minute_ms"));
        st->Bind(1, int64_t{device_id}).Bind(2, from_ms).Bind(3, to_ms);
    } catch (const std::exception& e) {
        Fail("cannot read the per-minute summary", e);
    }
    for (;;) {
        history::Minute m;
        try {
            if (!st->Step()) break;
            m.device_id = static_cast<uint32_t>(st->Int(0));
            m.minute_ms = st->Int(1);
            m.first_ms = st->Int(2);
            m.rounds = static_cast<long>(st->Int(3));
            m.decoded = static_cast<long>(st->Int(4));
            m.voltage_sum = st->Real(5);
            m.current_sum = st->Real(6);
            m.temperature_sum = st->Real(7);
            if (!st->Null(8)) m.current_min = st->Real(8);
            for (int i = 0; i < 32; ++i) {
                m.cell_sum[i] = st->Real(9 + 3 * i);
                m.cell_min[i] = st->Real(10 + 3 * i);
                m.cell_max[i] = st->Real(11 + 3 * i);
            }
            m.last_ms = st->OptionalInt(9 + 3 * 32);
        } catch (const std::exception& e) {
            Fail("cannot read the per-minute summary", e);
        }
        visit(m);
    }
}

std::vector<uint32_t> HistoryReader::DeviceIds() {
    std::vector<uint32_t> out;
    if (!columns_) return out;
    try {
        SqlStatement st = db_.Prepare(std::string(HistorySummary::kDevices) + "SELECT id FROM d WHERE id IS NOT NULL");
        while (st.Step()) out.push_back(static_cast<uint32_t>(st.Int(0)));
    } catch (const std::exception& e) {
        Fail("cannot read the devices", e);
    }
    return out;
}

std::vector<history::RunDevice> HistoryReader::RunDevices(uint32_t device_id) {
    std::vector<history::RunDevice> out;
    if (!columns_ || !columns_->run_devices) return out;
    try {
        SqlStatement st = db_.Prepare(
            "SELECT run_id, device_id, cycles, completed, lost, resends, updated_ms, late_polls FROM run_devices "
            "WHERE device_id = ? ORDER BY run_id");
        st.Bind(1, int64_t{device_id});
        while (st.Step()) {
            history::RunDevice c;
            c.run_id = st.Int(0);
            c.device_id = static_cast<uint32_t>(st.Int(1));
            c.cycles = static_cast<long>(st.Int(2));
            c.completed = static_cast<long>(st.Int(3));
            c.lost = static_cast<long>(st.Int(4));
            c.resends = static_cast<long>(st.Int(5));
            c.updated_ms = st.Int(6);
            c.late_polls = st.OptionalInt(7);
            out.push_back(c);
        }
    } catch (const std::exception& e) {
        Fail("cannot read the runs' counts", e);
    }
    return out;
}

std::vector<history::RunSettings> HistoryReader::RunSettings(uint32_t device_id) {
    std::vector<history::RunSettings> out;
    if (!columns_ || !columns_->run_settings) return out;
    try {
        SqlStatement st = db_.Prepare(
            "SELECT run_id, device_id, battery, limits FROM run_settings WHERE device_id = ? ORDER BY run_id");
        st.Bind(1, int64_t{device_id});
        while (st.Step()) {
            history::RunSettings s;
            s.run_id = st.Int(0);
            s.device_id = static_cast<uint32_t>(st.Int(1));
            s.battery = st.Text(2);
            s.limits = st.Text(3);
            out.push_back(s);
        }
    } catch (const std::exception& e) {
        Fail("cannot read what the runs judged by", e);
    }
    return out;
}

std::vector<uint32_t> HistoryReader::RunDeviceIds() {
    std::vector<uint32_t> out;
    if (!columns_) return out;
    std::string union_of;
    if (columns_->run_settings) union_of += "SELECT device_id FROM run_settings";
    if (columns_->run_devices) union_of += std::string(union_of.empty() ? "" : " UNION ") + "SELECT device_id FROM run_devices";
    if (columns_->health) union_of += std::string(union_of.empty() ? "" : " UNION ") + "SELECT device_id FROM health";
    if (union_of.empty()) return out;
    try {
        SqlStatement st = db_.Prepare(union_of + " ORDER BY 1");
        while (st.Step()) out.push_back(static_cast<uint32_t>(st.Int(0)));
    } catch (const std::exception& e) {
        Fail("cannot read the devices", e);
    }
    return out;
}

std::vector<history::Note> HistoryReader::Notes() {
    std::vector<history::Note> out;
    if (!columns_ || !columns_->notes) return out;
    try {
        SqlStatement st = db_.Prepare("SELECT run_id, at, at_ms, kind, step_ms, text, " + columns_->note_device +
                                      " FROM run_notes ORDER BY rowid");
        while (st.Step()) {
            history::Note n;
            n.run_id = st.OptionalInt(0).value_or(0);
            n.at = st.Text(1);
            n.at_ms = st.Int(2);
            n.kind = st.Text(3);
            n.step_ms = st.OptionalInt(4);
            n.text = st.Text(5);
            if (const auto id = st.OptionalInt(6)) n.device_id = static_cast<uint32_t>(*id);
            out.push_back(n);
        }
    } catch (const std::exception& e) {
        Fail("cannot read the runs' notes", e);
    }
    return out;
}
