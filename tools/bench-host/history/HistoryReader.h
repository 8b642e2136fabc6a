#pragma once
// Reads a history file: the rounds, alarms, health changes and runs, in the
// order of time.  Over a connection of its own that only reads (`history`,
// the web page), also in a folder this process cannot write to, or over the
// writer's connection (a run restoring its devices).
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/BaselineStore.h"
#include "history/HistoryRows.h"
#include "history/HistorySchema.h"

class SqlStatement;

class SqlConnection;

class HistoryReader {
public:
    // A connection that only reads the file.  A write-ahead log needs its
    // -shm index, which a reader makes beside it; in a folder it cannot
    // write to, the file is read as it stands (immutable), unless a writer
    // left both behind.  A log whose stamp names another file (LogPairing)
    // is not read at all, nor moved: the file is read as it stands.  unread
    // (when given) then says what is not read; throws SqlError naming the
    // file.
    static std::unique_ptr<SqlConnection> OpenReadOnly(const std::string& path, std::string* unread = nullptr);

    // Over db, which must outlive the reader.  Throws std::runtime_error
    // "cannot use history PATH: ..." on a file that is not a history, unless
    // the file's tables are all in a log it cannot read (unread given): it
    // then reads as empty.
    explicit HistoryReader(SqlConnection& db, const std::string& unread = std::string());

    // The device's most recently stored round: the last one inserted, not
    // the one with the latest time, so a clock set back does not make an old
    // record look newer.
    std::optional<history::Row> Newest(uint32_t device_id);
    // The device's newest baseline (BaselineStore); none when none was set.
    std::optional<history::Baseline> NewestBaseline(uint32_t device_id);
    // Every stored round in the order of time, only those of one device if
    // given.
    void ForEachRow(std::optional<uint32_t> device_id, const std::function<void(const history::Row&)>& visit);
    // The alarms at_ms from..to (both included), the first limit of them.
    struct Span {
        std::optional<int64_t> from_ms, to_ms;
        std::size_t limit = static_cast<std::size_t>(-1);
        // Rounds in the order they were stored, which is the order they
        // came in (one run writes a file at a time), whatever the wall
        // clock said: for a period in which it stepped back.
        bool stored_order = false;
    };
    // The rounds saved from..to (both included; the limit is not used).
    void ForEachRow(std::optional<uint32_t> device_id, const Span& span,
                    const std::function<void(const history::Row&)>& visit);
    // Alarms, and one device's health changes, come in the order they were
    // written: a step of the wall clock can put a clear's time before its
    // raise's, and only the order written pairs them right.  The health
    // changes of every device come in the order of their times.
    std::vector<history::Alarm> Alarms(std::optional<uint32_t> device_id, const Span& span);
    std::vector<history::Alarm> Alarms(std::optional<uint32_t> device_id);
    std::vector<history::Health> HealthChanges(std::optional<uint32_t> device_id);
    // The runs in the order they started, as stored: which of them were
    // killed is KilledRuns' to say.
    std::vector<history::Run> Runs();
    // The runs' counts for the device; none in a file from before they
    // were kept.
    std::vector<history::RunDevice> RunDevices(uint32_t device_id);
    // What each run judged the device by, oldest run first; none in a file
    // from before it was kept.
    std::vector<history::RunSettings> RunSettings(uint32_t device_id);
    // The devices the runs polled, whether or not they ever stored a
    // round (a device that never answered has only its health changes).
    std::vector<uint32_t> RunDeviceIds();
    // The runs' notes in the order written; none in a file from before
    // they were kept.
    std::vector<history::Note> Notes();

    // The per-minute summary's extent; nothing when the file has no
    // summary or it lacks the lowest current per minute.
    using Summary = history::Summary;
    std::optional<Summary> SummaryExtent();
    // The device's summarised minutes from from_ms to before to_ms (minute
    // starts), in order.
    void ForEachMinute(uint32_t device_id, int64_t from_ms, int64_t to_ms,
                       const std::function<void(const history::Minute&)>& visit);
    // The devices with stored rounds, one index seek each.
    std::vector<uint32_t> DeviceIds();

    // What a damaged file kept from being read ("" when nothing): the
    // rounds read past damage are counted here, to be said once.
    std::string Damage() const;
    // Rowids read together past damage; a run of them that fails is read
    // one by one.
    static constexpr int64_t kRowidRun = 64;

private:
    [[noreturn]] void Fail(const std::string& what, const std::exception& e);
    // The rounds that ForEachRow's query had not reached when it met damage,
    // read by rowid runs (the rows of each run in order of time), the
    // rowids that cannot be read counted in unreadable_.
    void ReadPastDamage(const std::string& select, const std::function<void(SqlStatement&)>& bind,
                        const std::optional<std::pair<int64_t, int64_t>>& last, bool stored_order,
                        const std::function<void(const history::Row&)>& visit);

    SqlConnection& db_;
    // None: the file has no tables that can be read (all in an unread log).
    std::optional<HistorySchema::Columns> columns_;
    // The first rowid of every run that could not be read whole, and how
    // many of its rowids could not be read at all (at most one entry per
    // kRowidRun rowids of the file).
    std::map<int64_t, long> unreadable_;
};
