#pragma once
// A history file opened for a run or for reading (the tables are described
// in HistorySchema.h): one connection, with a reader over it and, for a run,
// the writer.
//
//   read-write: a file that fails SQLite's integrity check is moved aside
//     before anything is written to it (renamed, with its log, to
//     PATH.damaged-YYYYMMDD-HHMMSS, byte for byte as it was; MovedAside()
//     says where and why) and a new history is begun at PATH, so that a
//     bench never stops for a damaged file; then the tables are created or
//     migrated and the file is taken for this process alone (a second run
//     on the same file is refused).  A file system too full to do so does not stop the run: the
//     store opens without a file (NotStoring() says why) and every write is
//     counted as not stored.
//   read-only: opens without writing, also in a folder this process cannot
//     write to.
#include <memory>
#include <string>

#include "history/HistoryReader.h"
#include "history/HistoryRows.h"
#include "history/HistoryWriter.h"

class HistoryFileCheck;
class SqlConnection;
struct sqlite3;

class HistoryStore {
public:
    enum class Access { kReadWrite, kReadOnly };
    using Row = history::Row;
    using Alarm = history::Alarm;
    using Health = history::Health;
    using Run = history::Run;

    // Throws std::runtime_error naming the file.
    HistoryStore(const std::string& path, Access access);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    const std::string& Path() const { return path_; }
    // What a read-only open could not read ("" when nothing): a
    // write-ahead log left beside the file without its index, in a folder
    // this process cannot write to.
    const std::string& Unread() const { return unread_; }
    // Why a read-write store has no file to write to ("" when it has).
    const std::string& NotStoring() const { return not_storing_; }
    // Where a damaged file was moved to, and SQLite's problem with it
    // (both "" when none was).
    const std::string& MovedAside() const { return moved_aside_; }
    const std::string& Damage() const { return damage_; }

    // Whether the file a run writes is still the file at its path and
    // whole (HistoryFileCheck): "" when it is or there is none to check,
    // else what happened to it.  deep adds SQLite's quick_check.  Asked
    // after every commit too, before the log is copied into the file.  A
    // file found lost is given up (Lost()).  Called from one thread at a time.
    std::string CheckFile(bool deep);
    // What happened to the file, once it was found lost ("" while it was
    // not), with what became of this run's log.  Nothing is copied into a
    // file from then on: a file moved away takes what the run committed
    // first; a file replaced, deleted or overwritten keeps its own, and the
    // run's log is set aside, named, beside the path.
    const std::string& Lost() const { return lost_; }
    // A log found beside the file at the start that was written for
    // another file, and where it was moved ("" when none was).
    const std::string& StrayLog() const { return stray_log_; }
    // The file was found damaged by its writer: nothing more is copied into
    // it, and its log stays with it.
    void GiveUp(const std::string& why);

    // Throws std::runtime_error when a store without a file has nothing
    // to read either.
    HistoryReader& Reader();
    // Throws std::logic_error on a read-only store.
    HistoryWriter& Writer();

private:
    void OpenReadWrite();
    void TakeForThisRun();
    void MoveAside(const std::string& damage);
    void WatchCommits();
    static int AfterCommit(void* self, struct sqlite3* db, const char* name, int pages);
    void Checkpoint(int mode);
    void Lose(const std::string& what, bool moved, bool damaged);
    bool LogIsOurs() const;
    void Close();

    std::string path_;
    std::string unread_;
    std::string not_storing_;
    std::string moved_aside_;
    std::string damage_;
    std::string lost_;
    std::string stray_log_;
    // The log's device and inode as this run's writer opened it.
    unsigned long long log_dev_ = 0, log_ino_ = 0;
    int lock_fd_ = -1;
    std::unique_ptr<SqlConnection> db_;
    std::unique_ptr<HistoryReader> reader_;
    std::unique_ptr<HistoryWriter> writer_;
    std::unique_ptr<HistoryFileCheck> check_;
};
