#pragma once
// History and alarms of the bench host in one SQLite file:
//
//   runs(run_id INTEGER PRIMARY KEY, started_at TEXT, started_ms INTEGER,
//        ended_at TEXT, ended_ms INTEGER, plugin_path TEXT,
//        plugin_size INTEGER, plugin_sha256 TEXT, site_file TEXT,
//        bench_host_version TEXT)
//       one row per `bench-host run`; ended_at stays NULL when the run was
//       killed
//   history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER,
//           run_id INTEGER)
//       every record a device hands to SaveDeviceHistory, as its byte image,
//       with the run that stored it
//   alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT,
//          bound TEXT, value REAL, limit_value REAL, at_ms INTEGER,
//          run_id INTEGER)
//       state "raised", "cleared" or "closed" (left raised by a run that
//       ended without clearing it, closed when the next run started);
//       bound "low" or "high"
//
// Times: *_at is ISO 8601 local time with milliseconds and the UTC offset
// (TimeStamp); *_ms the milliseconds since the Unix epoch, which is what
// orders rows and selects ranges (indexes on (device_id, saved_ms) and
// (device_id, at_ms)).  Files written before the offsets and the runs were
// kept are migrated when opened for writing: their times, which carry no
// offset, are taken as local time.
//
// history_minutes and history_minutes_through: the per-minute summary of
// the rounds (HistorySummary), kept up to date as each minute ends, for
// the web page's history over long ranges; history_minutes_since in a file
// with rounds from before the summary, whose past is summarised a minute at
// a time, once a second, as rounds are stored.
//
// The newest record of a device, the one a run restores, is the last one
// inserted (rowid), not the one with the latest time: a clock set back must
// not make an old record look newer.
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TimeStamp.h"

struct sqlite3;
struct sqlite3_stmt;

class HistoryStore {
public:
    enum class Access { kReadWrite, kReadOnly };

    struct Row {
        uint32_t device_id = 0;
        std::string saved_at;
        int64_t saved_ms = 0;
        std::optional<int64_t> run_id;
        std::vector<uint8_t> record;
    };

    struct Alarm {
        uint32_t device_id = 0;
        std::string at;
        int64_t at_ms = 0;
        std::string name;
        std::string label;
        std::string state;  // "raised", "cleared" or "closed"
        std::string bound;  // "low" or "high"
        double value = 0.0;
        double limit = 0.0;
        std::optional<int64_t> run_id;
    };

    struct Run {
        int64_t id = 0;
        std::string started_at;
        std::string ended_at;  // "" while running, or when the run was killed
        std::string plugin_path;
        uint64_t plugin_size = 0;
        std::string plugin_sha256;
        std::string site_file;
        std::string version;
    };

    // Read-write: refuses a file that fails SQLite's integrity check before
    // anything is written to it (it is left byte for byte as it was, and no
    // journal is made), then creates or migrates the tables and takes the
    // file for this process alone (a second run on the same file is
    // refused).  Read-only: opens without writing, also in a folder this
    // process cannot write to.  Throws std::runtime_error naming the file.
    HistoryStore(const std::string& path, Access access);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    const std::string& Path() const { return path_; }
    // What a read-only open could not read ("" when nothing): a
    // write-ahead log left beside the file without its index, in a folder
    // this process cannot write to.
    const std::string& Unread() const { return unread_; }

    // A connection that only reads the file, also in a folder that cannot
    // be written (as `history` and the web page's history read it).  unread
    // (when given) is set as Unread() says; throws naming the file.
    static sqlite3* OpenReader(const std::string& path, std::string* unread = nullptr);

    // Starts a run: the rows stored from now on refer to it.
    int64_t BeginRun(const Run& run, const TimeStamp& at);
    void EndRun(const TimeStamp& at);
    // Closes the alarms that earlier runs left raised (the run was killed,
    // or ended while the value was still out of its limits); returns how
    // many.  A run evaluates its limits afresh, so an alarm still standing
    // is raised again by its first round.
    int CloseAlarmsLeftRaised(const TimeStamp& at);

    void SaveRecord(uint32_t device_id, const uint8_t* data, std::size_t size, const TimeStamp& at);
    // The device's most recently stored round.
    std::optional<Row> Newest(uint32_t device_id);
    // Every stored round in the order of time, only those of one device if
    // given.
    void ForEachRow(std::optional<uint32_t> device_id, const std::function<void(const Row&)>& visit);

    void SaveAlarm(const Alarm& alarm);
    // In the order of time.
    std::vector<Alarm> Alarms(std::optional<uint32_t> device_id);
    std::vector<Run> Runs();

    // Writes that failed since the file was opened (each also threw).
    long RecordsNotStored() const { return records_not_stored_; }
    long AlarmsNotStored() const { return alarms_not_stored_; }
    long NotStored() const { return records_not_stored_ + alarms_not_stored_ + other_not_stored_; }

private:
    void OpenReadOnly();
    void OpenReadWrite();
    void Migrate();
    void TakeForThisRun();
    void Summarise(int64_t now_ms);
    void Backfill(int64_t now_ms);
    bool HasColumn(const char* table, const char* column);
    bool HasTable(const char* table);
    bool HasRows(const char* table);
    void Exec(const char* sql);
    [[noreturn]] void Fail(const std::string& what);
    [[noreturn]] void FailWrite(long& count, const std::string& what);

    std::string path_;
    std::string unread_;
    sqlite3* db_ = nullptr;
    int lock_fd_ = -1;
    std::optional<int64_t> run_id_;
    // Column expressions: a file opened read-only is read as it is, also
    // when it predates the numeric times and the runs.
    std::string saved_ms_expr_ = "saved_ms";
    std::string history_run_expr_ = "run_id";
    std::string at_ms_expr_ = "at_ms";
    std::string alarm_run_expr_ = "run_id";
    long records_not_stored_ = 0;
    long alarms_not_stored_ = 0;
    long other_not_stored_ = 0;  // the run's own row, closing alarms
    sqlite3_stmt* insert_record_ = nullptr;
    sqlite3_stmt* insert_alarm_ = nullptr;
    // The minute the per-minute summary was last brought up to; none for a
    // reader.
    std::optional<int64_t> summarised_minute_;
    // The second of the last step summarising the rounds from before the
    // summary existed; none when none are left (or for a reader).
    std::optional<int64_t> backfilled_second_;
};
