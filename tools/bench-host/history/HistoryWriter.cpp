#include "history/HistoryWriter.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "history/HistorySummary.h"
#include "history/SqlConnection.h"

void HistoryWriter::BoundLog(SqlConnection& db) {
    db.Exec("PRAGMA journal_mode=WAL");
    // Only the run's writer copies the log into the file, once it has seen
    // the file is still its own (HistoryStore); another connection of the
    // run (the pruner's) leaves its commits in the log for it.
    db.Exec("PRAGMA wal_autocheckpoint=0");
    db.Exec("PRAGMA journal_size_limit=" + std::to_string(kLogLimitBytes));
    db.Exec("PRAGMA cache_size=-" + std::to_string(kCacheKiB));
}

HistoryWriter::HistoryWriter(SqlConnection& db) : db_(&db), path_(db.Path()) {}

void HistoryWriter::CatchUp() {
    // With the first write that needs it, not as the file opens: it is a
    // commit, and a run opens its file before its first poll, which must not
    // wait for a slow disk.
    if (!db_ || caught_up_) return;
    caught_up_ = true;
    Summarise(TimeStamp::Now().Ms());
    backfilled_second_ = std::numeric_limits<int64_t>::min();
}

HistoryWriter::HistoryWriter(std::string path, std::string why) : path_(std::move(path)), unavailable_(std::move(why)) {}

HistoryWriter::~HistoryWriter() = default;

long HistoryWriter::NotStored() const {
    long all = 0;
    for (const auto& n : not_stored_) all += n;
    return all;
}

void HistoryWriter::Fail(Kind kind, const std::string& what, const std::exception* e) {
    CountNotStored(kind);
    const std::string context = "history " + path_ + ": " + what + ": ";
    // SQLite's code goes along: the store thread tells a damaged file from
    // a full one by it.
    if (const auto* sql = dynamic_cast<const SqlError*>(e)) throw sql->Told(context);
    throw std::runtime_error(context + (e ? e->what() : unavailable_.c_str()));
}

SqlStatement& HistoryWriter::Insert(std::unique_ptr<SqlStatement>& st, const char* sql, Kind kind,
                                    const char* what) {
    if (!db_) Fail(kind, what, nullptr);
    try {
        if (!st) st = std::make_unique<SqlStatement>(db_->Prepare(sql));
    } catch (const std::exception& e) {
        Fail(kind, what, &e);
    }
    return st->Reset();
}

int64_t HistoryWriter::NextRunId() const {
    if (!db_) return 0;
    return db_->Int("SELECT coalesce(max(run_id), 0) + 1 FROM runs").value_or(1);
}

int64_t HistoryWriter::BeginRun(const history::Run& run, const TimeStamp& at, std::optional<int64_t> run_id) {
    if (!db_) {
        CountNotStored(Kind::kCounts);
        throw SqlError(SQLITE_FULL, "history " + path_ + ": cannot record the run: " + unavailable_);
    }
    CatchUp();
    try {
        db_->Prepare(
               "INSERT INTO runs(started_at, started_ms, plugin_path, plugin_size, plugin_sha256, site_file, "
               "bench_host_version, test_note, run_id) VALUES(?, ?, ?, ?, ?, ?, ?, NULLIF(?, ''), ?)")
            .Bind(1, at.Text())
            .Bind(2, at.Ms())
            .Bind(3, run.plugin_path)
            .Bind(4, static_cast<int64_t>(run.plugin_size))
            .Bind(5, run.plugin_sha256)
            .Bind(6, run.site_file)
            .Bind(7, run.version)
            .Bind(8, run.test_note)
            .Bind(9, run_id)
            .Run();
    } catch (const SqlError& e) {
        CountNotStored(Kind::kCounts);
        throw SqlError(e.Code(), "history " + path_ + ": cannot record the run: " + e.what());
    }
    run_id_ = run_id ? run_id : db_->Int("SELECT last_insert_rowid()");
    return *run_id_;
}

void HistoryWriter::Summarise(int64_t now_ms) {
    if (!db_) return;
    summarised_minute_ = HistorySummary::MinuteOf(now_ms);
    // A cache of the rounds: when it cannot be written, readers read the
    // rounds after its last minute instead, and the next minute tries again.
    try {
        through_ms_ = HistorySummary::Update(db_->get(), now_ms);
        reopened_.erase(reopened_.begin(), reopened_.lower_bound(*summarised_minute_));
        reopened_.erase(reopened_.upper_bound(*summarised_minute_), reopened_.end());
    } catch (const std::runtime_error& e) {
        SummaryFailed(e);
    }
}

void HistoryWriter::SummaryFailed(const std::runtime_error& e) {
    ++summary_failures_;
    const auto* sql = dynamic_cast<const SqlError*>(&e);
    if (sql && sql->Damaged() && damaged_.empty()) damaged_ = "history " + path_ + ": the summary: " + e.what();
}

void HistoryWriter::Reopen(int64_t at_ms) {
    // A round before the summary's end (the wall clock was set back): its
    // minute is reopened once, before the round is written, so no reader
    // ever takes the minute's old rows for all its rounds.
    const int64_t minute = HistorySummary::MinuteOf(at_ms);
    if (!db_ || !through_ms_ || minute >= *through_ms_ || reopened_.count(minute)) return;
    try {
        HistorySummary::Reopen(db_->get(), minute);
        reopened_.insert(minute);
    } catch (const std::runtime_error& e) {
        // Left as it was: the next round of the minute tries again.
        SummaryFailed(e);
    }
}

void HistoryWriter::Backfill(int64_t now_ms) {
    // At most a minute of the past (5-11 ms for 8 devices) once a
    // second: about 1% of the bus loop's time, a week caught up in about
    // three hours of a run.  Like the summary itself, a step that cannot
    // be written is tried again.
    backfilled_second_ = now_ms / 1000;
    try {
        if (!HistorySummary::Backfill(db_->get(), 1)) backfilled_second_.reset();
    } catch (const std::runtime_error& e) {
        SummaryFailed(e);
    }
}

void HistoryWriter::EndRun(const TimeStamp& at, std::optional<int64_t> lasted_ms,
                          const std::vector<history::RunDevice>& counts) {
    // Without a file the run was never recorded, and its not being so is
    // counted already.
    if (!db_) return;
    CatchUp();
    try {
        db_->InSavepoint("run_end", [&] {
            // The run's last minute too, and any minute reopened: the minute
            // after the end is the one left open (none is written to it).
            if (summarised_minute_) Summarise(std::max(at.Ms(), *summarised_minute_) + HistorySummary::kMinuteMs);
            for (const auto& c : counts) SaveRunDevice(c);
            if (run_id_)
                db_->Prepare("UPDATE runs SET ended_at = ?, ended_ms = ?, lasted_ms = ? WHERE run_id = ?")
                    .Bind(1, at.Text())
                    .Bind(2, at.Ms())
                    .Bind(3, lasted_ms)
                    .Bind(4, *run_id_)
                    .Run();
            return 0;
        });
    } catch (const std::exception& e) {
        // A count that failed was counted as it failed; the end is one more.
        Fail(Kind::kCounts, "cannot record the end of the run", &e);
    }
}

int HistoryWriter::CloseAlarmsLeftRaised(const TimeStamp& at) {
    if (!db_) return 0;
    try {
        return db_->InSavepoint("close_alarms", [&] {
            // An alarm stands when the newest row of its device and name
            // raised it.
            db_->Prepare(
                   "INSERT INTO alarms(device_id, at, name, label, state, bound, value, limit_value, at_ms, run_id) "
                   "SELECT device_id, ?, name, label, 'closed', bound, value, limit_value, ?, ? FROM alarms "
                   "WHERE rowid IN (SELECT max(rowid) FROM alarms GROUP BY device_id, name) AND state = 'raised' "
                   "ORDER BY rowid")
                .Bind(1, at.Text())
                .Bind(2, at.Ms())
                .Bind(3, run_id_)
                .Run();
            return static_cast<int>(db_->Int("SELECT changes()").value_or(0));
        });
    } catch (const std::exception& e) {
        Fail(Kind::kAlarm, "cannot close the alarms left raised", &e);
    }
}

void HistoryWriter::Stored(int64_t at_ms) {
    // Wherever the clock put the round: a minute left, forward or back, is
    // summarised with every minute written since.
    if (summarised_minute_ && HistorySummary::MinuteOf(at_ms) != *summarised_minute_)
        Summarise(at_ms);
    else if (backfilled_second_ && at_ms / 1000 != *backfilled_second_)
        Backfill(at_ms);
}

void HistoryWriter::SaveRecord(uint32_t device_id, const uint8_t* data, std::size_t size, const TimeStamp& at,
                               const std::string& charge_state, std::optional<int64_t> mono_ms,
                               uint64_t no_value) {
    const char* what = "cannot store a record";
    CatchUp();
    Reopen(at.Ms());
    SqlStatement& st = Insert(insert_record_,
                              "INSERT INTO history(device_id, saved_at, record, saved_ms, run_id, charge_state, mono_ms, "
                              "no_value) VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                              Kind::kRecord, what);
    try {
        st.Bind(1, int64_t{device_id}).Bind(2, at.Text()).BindBlob(3, data, size).Bind(4, at.Ms()).Bind(5, run_id_);
        if (charge_state.empty())
            st.Bind(6, std::optional<int64_t>());
        else
            st.Bind(6, charge_state);
        st.Bind(7, mono_ms);
        st.Bind(8, static_cast<int64_t>(no_value));
        st.Run();
    } catch (const std::exception& e) {
        Fail(Kind::kRecord, what, &e);
    }
    Stored(at.Ms());
}

void HistoryWriter::SaveAlarm(const history::Alarm& a) {
    const char* what = "cannot store an alarm";
    SqlStatement& st = Insert(insert_alarm_,
                              "INSERT INTO alarms(device_id, at, name, label, state, bound, value, limit_value, "
                              "at_ms, run_id, lasted_ms, mono_ms) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                              Kind::kAlarm, what);
    try {
        st.Bind(1, int64_t{a.device_id})
            .Bind(2, a.at)
            .Bind(3, a.name)
            .Bind(4, a.label)
            .Bind(5, a.state)
            .Bind(6, a.bound)
            .Bind(7, a.value)
            .Bind(8, a.limit)
            .Bind(9, a.at_ms)
            .Bind(10, a.run_id ? a.run_id : run_id_)
            .Bind(11, a.lasted_ms)
            .Bind(12, a.mono_ms)
            .Run();
    } catch (const std::exception& e) {
        Fail(Kind::kAlarm, what, &e);
    }
}

void HistoryWriter::SaveHealth(const history::Health& h) {
    const char* what = "cannot store a health change";
    SqlStatement& st = Insert(insert_health_,
                              "INSERT INTO health(device_id, at, at_ms, state, was, since, since_ms, cycles_lost, "
                              "reason, run_id, lasted_ms, since_mono_ms) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                              Kind::kHealth, what);
    try {
        st.Bind(1, int64_t{h.device_id})
            .Bind(2, h.at)
            .Bind(3, h.at_ms)
            .Bind(4, h.state)
            .Bind(5, h.was)
            .Bind(6, h.since)
            .Bind(7, h.since_ms)
            .Bind(8, int64_t{h.cycles_lost})
            .Bind(9, h.reason)
            .Bind(10, h.run_id ? h.run_id : run_id_)
            .Bind(11, h.lasted_ms)
            .Bind(12, h.since_mono_ms)
            .Run();
    } catch (const std::exception& e) {
        Fail(Kind::kHealth, what, &e);
    }
}

void HistoryWriter::SaveNote(const history::Note& n) {
    const char* what = "cannot store a note of the run";
    if (!db_) Fail(Kind::kCounts, what, nullptr);
    try {
        // Made with the first note: most runs have none, and a page of a
        // small disk is better spent on rounds.
        db_->Exec(
            "CREATE TABLE IF NOT EXISTS run_notes(run_id INTEGER REFERENCES runs(run_id), at TEXT NOT NULL, "
            "at_ms INTEGER NOT NULL, kind TEXT NOT NULL, step_ms INTEGER, text TEXT, device_id INTEGER)");
        // A file whose notes began before they could name a device.
        if (!notes_name_devices_ && !db_->HasColumn("run_notes", "device_id"))
            db_->Exec("ALTER TABLE run_notes ADD COLUMN device_id INTEGER");
        notes_name_devices_ = true;
        db_->Prepare("INSERT INTO run_notes(run_id, at, at_ms, kind, step_ms, text, device_id) VALUES(?, ?, ?, ?, ?, ?, ?)")
            .Bind(1, run_id_)
            .Bind(2, n.at)
            .Bind(3, n.at_ms)
            .Bind(4, n.kind)
            .Bind(5, n.step_ms)
            .Bind(6, n.text)
            .Bind(7, n.device_id ? std::optional<int64_t>(*n.device_id) : std::nullopt)
            .Run();
    } catch (const std::exception& e) {
        Fail(Kind::kCounts, what, &e);
    }
}

void HistoryWriter::SaveRunSettings(const history::RunSettings& s) {
    if (!run_id_) return;
    const char* what = "cannot store what the run judges a device by";
    if (!db_) Fail(Kind::kCounts, what, nullptr);
    try {
        db_->Prepare("INSERT OR REPLACE INTO run_settings(run_id, device_id, battery, limits) VALUES(?, ?, ?, ?)")
            .Bind(1, *run_id_)
            .Bind(2, int64_t{s.device_id})
            .Bind(3, s.battery)
            .Bind(4, s.limits)
            .Run();
    } catch (const std::exception& e) {
        Fail(Kind::kCounts, what, &e);
    }
}

void HistoryWriter::SaveRunDevice(const history::RunDevice& c) {
    if (!run_id_) return;
    const char* what = "cannot store the run's counts";
    SqlStatement& st = Insert(upsert_run_device_,
                              "INSERT OR REPLACE INTO run_devices(run_id, device_id, cycles, completed, lost, resends, "
                              "late_polls, updated_ms) VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                              Kind::kCounts, what);
    try {
        st.Bind(1, *run_id_)
            .Bind(2, int64_t{c.device_id})
            .Bind(3, int64_t{c.cycles})
            .Bind(4, int64_t{c.completed})
            .Bind(5, int64_t{c.lost})
            .Bind(6, int64_t{c.resends})
            .Bind(7, c.late_polls)
            .Bind(8, c.updated_ms)
            .Run();
    } catch (const std::exception& e) {
        Fail(Kind::kCounts, what, &e);
    }
}
