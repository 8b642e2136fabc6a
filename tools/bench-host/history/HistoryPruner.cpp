#include "history/HistoryPruner.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "basics/TimeStamp.h"
#include "history/HistorySchema.h"
#include "history/HistorySummary.h"
#include "history/HistoryWriter.h"
#include "history/SqlConnection.h"

namespace {

constexpr int64_t kMinuteMs = HistorySummary::kMinuteMs;

int64_t FloorMinute(int64_t ms) { return (ms / kMinuteMs - (ms % kMinuteMs < 0)) * kMinuteMs; }

}  // namespace

std::optional<int64_t> HistoryPruner::Edge(int64_t now_ms, int keep_days, const history::Summary& summary) {
    if (keep_days <= 0 || summary.through_ms <= 0) return std::nullopt;
    const int64_t edge = std::min(FloorMinute(now_ms - int64_t{keep_days} * kDayMs),
                                  FloorMinute(summary.through_ms) - kMinuteMs);
    if (summary.since_ms && edge <= *summary.since_ms) return std::nullopt;
    return edge;
}

bool HistoryPruner::Incremental(SqlConnection& db) { return db.Int("PRAGMA auto_vacuum").value_or(0) == 2; }

void HistoryPruner::MakeIncremental(SqlConnection& db) {
    db.Exec("PRAGMA auto_vacuum=INCREMENTAL");
    db.Exec("VACUUM");
}

HistoryPruner::Step HistoryPruner::PruneStep(SqlConnection& db, int keep_days, int64_t now_ms, int max_rows,
                                             int max_pages) {
    Step s;
    const auto extent = HistorySchema::ColumnsOf(db).summary ? std::optional(HistorySchema::SummaryExtent(db))
                                                              : std::nullopt;
    const auto edge = extent ? Edge(now_ms, keep_days, *extent) : std::nullopt;
    if (edge) {
        db.InSavepoint("history_prune", [&] {
            db.Exec("CREATE TABLE IF NOT EXISTS history_pruned(before_ms INTEGER NOT NULL)");
            // The edge is moved first, in the same transaction: a reader
            // sees the summary take over where the rounds go.
            if (HistorySchema::PrunedBefore(db).value_or(std::numeric_limits<int64_t>::min()) < *edge)
                db.Exec("DELETE FROM history_pruned; INSERT INTO history_pruned VALUES(" + std::to_string(*edge) +
                        ")");
            std::vector<int64_t> devices;
            SqlStatement d = db.Prepare(std::string(HistorySummary::kDevices) + "SELECT id FROM d WHERE id IS NOT NULL");
            while (d.Step()) devices.push_back(d.Int(0));
            // Device by device over the (device_id, saved_ms) index, oldest
            // first: a step reads no more than it deletes.
            SqlStatement del = db.Prepare(
                "DELETE FROM history WHERE rowid IN (SELECT rowid FROM history WHERE device_id = ?1 AND "
                "saved_ms >= ?2 AND saved_ms < ?3 ORDER BY saved_ms LIMIT ?4)");
            for (const int64_t id : devices) {
                if (s.rows >= max_rows) {
                    s.more = true;
                    break;
                }
                del.Reset()
                    .Bind(1, id)
                    .Bind(2, extent->since_ms.value_or(std::numeric_limits<int64_t>::min()))
                    .Bind(3, *edge)
                    .Bind(4, int64_t{max_rows - s.rows})
                    .Run();
                s.rows += static_cast<long>(db.Int("SELECT changes()").value_or(0));
            }
            if (s.rows >= max_rows) s.more = true;
            return true;
        });
    }
    if (Incremental(db)) {
        const int64_t free_pages = db.Int("PRAGMA freelist_count").value_or(0);
        s.pages = static_cast<long>(std::min<int64_t>(free_pages, max_pages));
        if (s.pages > 0) db.Exec("PRAGMA incremental_vacuum(" + std::to_string(s.pages) + ")");
        if (free_pages > max_pages) s.more = true;
    }
    return s;
}

HistoryPruner::HistoryPruner(std::string path, int keep_days, std::function<void(const std::string&)> say)
    : path_(std::move(path)), keep_days_(keep_days), say_(std::move(say)) {
    auto db = std::make_unique<SqlConnection>(path_, SqlConnection::Open::kCreate);
    HistoryWriter::BoundLog(*db);
    if (!Incremental(*db)) {
        // A new file costs nothing to rewrite and is not worth a line.
        if (db->HasRows("history"))
            say_("history " + path_ + ": rewritten once so that it gives back the room of the rounds it no longer "
                 "keeps (VACUUM)");
        try {
            MakeIncremental(*db);
        } catch (const SqlError& e) {
            say_("history " + path_ + ": cannot be rewritten (" + e.what() +
                 "): the rounds older than " + std::to_string(keep_days_) +
                 " days still go and new ones reuse their room, but the file does not shrink");
        }
    }
    thread_ = std::thread([this, db = std::move(db)]() mutable { Loop(std::move(db)); });
}

HistoryPruner::~HistoryPruner() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

long HistoryPruner::RowsDeleted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rows_;
}

long HistoryPruner::PagesFreed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pages_;
}

bool HistoryPruner::Wait(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, pause, [this] { return stop_; });
}

void HistoryPruner::Loop(std::unique_ptr<SqlConnection> db) {
    bool failing = false;
    std::chrono::milliseconds pause = kBusyPause;
    while (Wait(pause)) {
        try {
            const Step s = PruneStep(*db, keep_days_, TimeStamp::Now().Ms());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                rows_ += s.rows;
                pages_ += s.pages;
            }
            if (failing) say_("history " + path_ + ": pruning the rounds older than " + std::to_string(keep_days_) +
                              " days again");
            failing = false;
            pause = s.more ? kBusyPause : kIdlePause;
        } catch (const std::exception& e) {
            // Said once; tried again a minute later, as a step that failed
            // changed nothing.
            if (!failing)
                say_("history " + path_ + ": cannot prune the rounds older than " + std::to_string(keep_days_) +
                     " days: " + e.what());
            failing = true;
            pause = kIdlePause;
        }
    }
}
