#pragma once
// Keeps a history file's raw rounds for a number of days and everything
// else for good: the per-minute summary, the alarms, the health changes and
// the runs.  A run that lasts months would otherwise keep every round (238
// bytes each on the disk: about 7.5 GB per device-year at a round a
// second).
//
// Only rounds whose minutes are summarised go, a whole minute at a time:
// older than the days kept, and before the summary's last minute (which the
// writer summarises again as rounds come).  Rounds from before a file had a
// summary wait until the writer's backfill has summarised them.  The edge
// below which rounds may be gone is kept in
//
//   history_pruned(before_ms INTEGER NOT NULL)
//       one row: readers read the summary, not the rounds, before it
//
// A step deletes at most kRowsPerStep rounds and gives at most
// kPagesPerStep free pages back to the file system (incremental vacuum):
// the file's write lock is held for milliseconds (2,000 rounds of 8 devices
// took 8 to 72 ms on a busy 2-core bench; a quarter of that is the step), so
// a write of the run never waits long.  The
// steps run on a thread of their own with a connection of their own, never
// on the bus thread.  A file made without incremental vacuum is converted
// once (VACUUM) when pruning starts; until it is, or when there is no room
// to convert it, the pages of pruned rounds are reused by new ones: the file
// stops growing but does not shrink.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "history/HistoryRows.h"

class SqlConnection;

class HistoryPruner {
public:
    static constexpr int64_t kDayMs = 86400000;
    static constexpr int kRowsPerStep = 500;      // about 120 KB of rounds
    static constexpr int kPagesPerStep = 128;     // 512 KiB of 4 KiB pages

    // The edge: rounds saved before it (and from the summary's since_ms on)
    // may be deleted; none when no minute may go yet.  A minute's start.
    static std::optional<int64_t> Edge(int64_t now_ms, int keep_days, const history::Summary& summary);

    // What one step did.
    struct Step {
        long rows = 0;       // rounds deleted
        long pages = 0;      // pages given back to the file system
        bool more = false;   // rounds or free pages are left for the next step
    };
    // One step over db (read-write, its schema made).  Throws SqlError.
    static Step PruneStep(SqlConnection& db, int keep_days, int64_t now_ms, int max_rows = kRowsPerStep,
                          int max_pages = kPagesPerStep);
    // Whether the file gives free pages back (auto_vacuum INCREMENTAL).
    static bool Incremental(SqlConnection& db);
    // Converts the file to incremental vacuum with a VACUUM (which rewrites
    // it whole: seconds per hundred megabytes, and room for a copy).
    // Throws SqlError.
    static void MakeIncremental(SqlConnection& db);

    // Prunes the history at path on a thread of its own until destroyed:
    // a step every kBusyPause while there is work, every kIdlePause once
    // there is none.  say hears one line for each failure (and for the
    // recovery after one) and for the conversion to incremental vacuum; it
    // is called on the pruner's thread.
    static constexpr std::chrono::milliseconds kBusyPause{250};
    static constexpr std::chrono::milliseconds kIdlePause{60000};
    // Converts the file to incremental vacuum first, before returning
    // (say hears a line when it does): the bus is not polled yet, so no
    // write waits for it.  Throws SqlError when the file cannot be opened.
    HistoryPruner(std::string path, int keep_days, std::function<void(const std::string&)> say);
    ~HistoryPruner();
    HistoryPruner(const HistoryPruner&) = delete;
    HistoryPruner& operator=(const HistoryPruner&) = delete;

    // Rounds deleted and pages given back so far (for the tests and the
    // run's summary).
    long RowsDeleted() const;
    long PagesFreed() const;

private:
    void Loop(std::unique_ptr<SqlConnection> db);
    bool Wait(std::chrono::milliseconds pause);

    const std::string path_;
    const int keep_days_;
    const std::function<void(const std::string&)> say_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    long rows_ = 0;
    long pages_ = 0;
    std::thread thread_;
};
