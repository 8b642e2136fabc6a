#pragma once
// Writes a run's history: its row in runs, the rounds, alarms and health
// changes, the per-minute summary as minutes end.  Every write that fails
// is counted by its kind (history::StoreKind) and throws; the run goes on
// polling whatever the file does.  During a run the writes are made on the
// run's store thread (StoreThread) alone; the counts may be read from any
// thread.
//
// The write-ahead log is kept small: SQLite copies it into the file once it
// holds kCheckpointPages pages (a few rounds' worth) and it is cut back to
// kLogLimitBytes after each copy, so that a stored round costs about its
// own size on the disk, not the pages of a log that grows until the next
// run.  A file system that fills up stops the storing, never the run.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "history/HistoryRows.h"
#include "basics/TimeStamp.h"

class SqlConnection;
class SqlStatement;

class HistoryWriter {
public:
    static constexpr int kCheckpointPages = 32;
    static constexpr int64_t kLogLimitBytes = 256 * 1024;
    // The writer's page cache: it appends, and reads back at most the last
    // minute of rounds (the per-minute summary), so SQLite's default of
    // 2000 KiB would only fill with pages never read again and hold the
    // run's memory that much higher.
    static constexpr int kCacheKiB = 512;

    // Puts db's journal in write-ahead-log mode with the bounds above, and
    // its cache to kCacheKiB;
    // before anything else is written.  Throws SqlError.
    static void BoundLog(SqlConnection& db);

    // Over db (with its schema made), which must outlive the writer.
    explicit HistoryWriter(SqlConnection& db);
    // A writer with no file: the history could not be opened for want of
    // room (why); every write is counted as not stored.
    HistoryWriter(std::string path, std::string why);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Starts a run: the rows stored from now on refer to it.  Throws
    // SqlError (NoRoom() on a full disk: the run can still go on).  run_id:
    // the id NextRunId gave (none: the next one).
    int64_t BeginRun(const history::Run& run, const TimeStamp& at, std::optional<int64_t> run_id = std::nullopt);
    // The id the next run begun on this file takes, read without writing,
    // so that a run knows its id before its row is written; 0 without a
    // file.  Runs are never deleted and the file is one run's at a time, so
    // no other run takes it meanwhile.  Throws SqlError.
    int64_t NextRunId() const;
    // lasted_ms: since its start on the monotonic clock.  The devices'
    // final counts, the summary's last minute and the run's end are one
    // commit: a stop on a slow disk waits for one sync, not one per device.
    void EndRun(const TimeStamp& at, std::optional<int64_t> lasted_ms = std::nullopt,
                const std::vector<history::RunDevice>& counts = {});
    std::optional<int64_t> RunId() const { return run_id_; }
    // Closes the alarms that earlier runs left raised (the run was killed,
    // or ended while the value was still out of its limits); returns how
    // many.  A run evaluates its limits afresh, so an alarm still standing
    // is raised again by its first round.
    int CloseAlarmsLeftRaised(const TimeStamp& at);

    // charge_state: the string's, judged with the round; "" stores none.
    // mono_ms: the round's moment on the run's monotonic clock.  no_value:
    // its values the monitor marked invalid (BatteryRecord::no_value).
    void SaveRecord(uint32_t device_id, const uint8_t* data, std::size_t size, const TimeStamp& at,
                    const std::string& charge_state = "", std::optional<int64_t> mono_ms = std::nullopt,
                    uint64_t no_value = 0);
    void SaveAlarm(const history::Alarm& alarm);
    void SaveHealth(const history::Health& health);
    // What this run judges one device by (its run_id is the writer's).
    void SaveRunSettings(const history::RunSettings& settings);
    // This run's counts for one device, replacing those written before.
    void SaveRunDevice(const history::RunDevice& counts);
    // A note of this run (its run_id is the writer's).
    void SaveNote(const history::Note& note);

    // Writes of one kind that were not stored since the file was opened:
    // those that failed (each also threw) and those counted by the caller,
    // which never reached the file (CountNotStored).  Safe from any thread.
    long NotStored(history::StoreKind kind) const { return not_stored_[static_cast<int>(kind)]; }
    long RecordsNotStored() const { return NotStored(history::StoreKind::kRecord); }
    long AlarmsNotStored() const { return NotStored(history::StoreKind::kAlarm); }
    // Of every kind.
    long NotStored() const;
    // One write of the kind that was given up before it reached the file;
    // the count of that kind, this one included.
    long CountNotStored(history::StoreKind kind) { return ++not_stored_[static_cast<int>(kind)]; }

    // Updates of the per-minute summary that failed (the rounds are kept;
    // readers read them instead, and the next minute tries again).
    long SummaryFailures() const { return summary_failures_; }
    // What SQLite said when a summary update found the file damaged; ""
    // while it has not.
    const std::string& Damaged() const { return damaged_; }

private:
    using Kind = history::StoreKind;
    void SummaryFailed(const std::runtime_error& e);
    [[noreturn]] void Fail(Kind kind, const std::string& what, const std::exception* e);
    SqlStatement& Insert(std::unique_ptr<SqlStatement>& st, const char* sql, Kind kind, const char* what);
    void Stored(int64_t at_ms);
    void Summarise(int64_t now_ms);
    void Reopen(int64_t at_ms);
    void Backfill(int64_t now_ms);
    // Brings the per-minute summary up to now, once, before the first
    // write that adds to it or ends a run.
    void CatchUp();

    SqlConnection* db_ = nullptr;
    std::string path_;
    std::string unavailable_;  // why there is no file to write, "" when there is
    std::optional<int64_t> run_id_;
    bool notes_name_devices_ = false;  // the notes' table has its device column
    std::array<std::atomic<long>, history::kStoreKinds> not_stored_{};
    std::atomic<long> summary_failures_{0};
    std::string damaged_;
    std::unique_ptr<SqlStatement> insert_record_;
    std::unique_ptr<SqlStatement> insert_alarm_;
    std::unique_ptr<SqlStatement> insert_health_;
    std::unique_ptr<SqlStatement> upsert_run_device_;
    // The minute (its start) the per-minute summary was last brought up
    // to, the summary's through_ms, and the minutes before it reopened.
    bool caught_up_ = false;
    std::optional<int64_t> summarised_minute_;
    std::optional<int64_t> through_ms_;
    std::set<int64_t> reopened_;
    // The second of the last step summarising the rounds from before the
    // summary existed; none when none are left.
    std::optional<int64_t> backfilled_second_;
};
