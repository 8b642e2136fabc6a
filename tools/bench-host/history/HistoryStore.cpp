#include "history/HistoryStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "history/HistoryFileCheck.h"
#include "history/LogPairing.h"

#include "history/HistorySchema.h"
#include "history/SqlConnection.h"

HistoryStore::HistoryStore(const std::string& path, Access access) : path_(path) {
    try {
        if (access == Access::kReadOnly) {
            db_ = HistoryReader::OpenReadOnly(path_, &unread_);
            reader_ = std::make_unique<HistoryReader>(*db_, unread_);
        } else {
            OpenReadWrite();
        }
    } catch (...) {
        reader_.reset();
        db_.reset();
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw;
    }
}

HistoryStore::~HistoryStore() {
    Close();
    check_.reset();
    writer_.reset();
    reader_.reset();
    db_.reset();
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

HistoryReader& HistoryStore::Reader() {
    if (!reader_) throw std::runtime_error("history " + path_ + " cannot be read: " + not_storing_);
    return *reader_;
}

HistoryWriter& HistoryStore::Writer() {
    if (!writer_) throw std::logic_error("history " + path_ + " is open for reading only");
    return *writer_;
}

void HistoryStore::OpenReadWrite() {
    try {
        // Before SQLite opens the file, which would apply any log beside it,
        // and not from under a run still writing it (its log is its own).
        {
            const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
            const bool taken = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (!taken) stray_log_ = LogPairing::SetStrayAside(path_);
            if (fd >= 0) ::close(fd);
        }
        const std::string damage = HistorySchema::Damage(path_);
        if (!damage.empty()) MoveAside(damage);
        // A file begun now holds nothing a crash could lose until the run's
        // first round: its log and tables are made without a sync (four for
        // the log, three for the tables; seven seconds before the first poll
        // where a sync takes one), and a file a crash left torn meanwhile is
        // moved aside as damaged by the next run, with nothing in it.
        std::error_code ec;
        const bool begun_now = !std::filesystem::exists(path_, ec) || std::filesystem::file_size(path_, ec) == 0;
        db_ = std::make_unique<SqlConnection>(path_, SqlConnection::Open::kCreate);
        try {
            TakeForThisRun();
            const int64_t synchronous = db_->Int("PRAGMA synchronous").value_or(2);
            if (begun_now) db_->Exec("PRAGMA synchronous=OFF");
            HistoryWriter::BoundLog(*db_);
            WatchCommits();
            HistorySchema::CreateOrMigrate(*db_);
            if (begun_now) db_->Exec("PRAGMA synchronous=" + std::to_string(synchronous));
        } catch (const SqlError& e) {
            if (e.NoRoom()) throw;
            throw std::runtime_error("cannot use history " + path_ + ": " + e.what());
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("cannot use history " + path_ + ": " + e.what());
        }
    } catch (const SqlError& e) {
        // A full file system must not keep the bench from polling: the run
        // goes on, storing nothing, and says why.  The lock is kept, so that
        // a second run cannot start writing what this one skips.
        if (!e.NoRoom()) throw;
        not_storing_ = e.what();
        writer_ = std::make_unique<HistoryWriter>(path_, not_storing_);
        // What is stored already may still be read (to restore the devices).
        try {
            db_ = HistoryReader::OpenReadOnly(path_);
            reader_ = std::make_unique<HistoryReader>(*db_);
        } catch (const std::exception&) {
            reader_.reset();
            db_.reset();
        }
        return;
    }
    reader_ = std::make_unique<HistoryReader>(*db_);
    writer_ = std::make_unique<HistoryWriter>(*db_);
}

void HistoryStore::TakeForThisRun() {
    // Two runs writing one file would close each other's alarms and mix
    // their rounds; an advisory lock on the file keeps one writer (readers
    // do not take it).  SQLite's own locks are fcntl locks, which flock does
    // not touch.
    lock_fd_ = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) throw std::runtime_error("cannot open for locking: " + std::string(std::strerror(errno)));
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("another bench-host run is writing to it");
}

void HistoryStore::MoveAside(const std::string& damage) {
    // Not from under a run still writing it.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const bool taken = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        if (taken) throw std::runtime_error("cannot use history " + path_ + ": another bench-host run is writing to it");
    }
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(when, sizeof when, "%Y%m%d-%H%M%S", &local);
    std::string aside = path_ + ".damaged-" + when;
    namespace fs = std::filesystem;
    for (int n = 2; fs::exists(aside); ++n) aside = path_ + ".damaged-" + when + "-" + std::to_string(n);
    // The log and its index go along: they are part of what was stored.
    for (const char* part : {"", "-wal", "-shm", "-wal.for"}) {
        std::error_code ec;
        if (!fs::exists(path_ + part, ec)) continue;
        fs::rename(path_ + part, aside + part, ec);
        if (ec)
            throw std::runtime_error("history " + path_ + " fails SQLite's integrity check (" + damage +
                                     ") and cannot be moved aside: " + ec.message());
    }
    moved_aside_ = aside;
    damage_ = damage;
}

void HistoryStore::WatchCommits() {
    check_ = std::make_unique<HistoryFileCheck>(path_, lock_fd_);
    // Nothing has been copied into the file yet by this run: its first
    // bytes, and the stamp the log is paired with, are as it opened it.
    check_->Left();
    LogPairing::Record(path_, lock_fd_);
    // In place of SQLite's own copying of the log every kCheckpointPages
    // pages, which would copy it into whatever file has the path.
    sqlite3_wal_hook(db_->get(), &HistoryStore::AfterCommit, this);
}

int HistoryStore::AfterCommit(void* self, sqlite3*, const char*, int pages) {
    auto& store = *static_cast<HistoryStore*>(self);
    if (!store.lost_.empty()) return SQLITE_OK;
    if (store.log_ino_ == 0) {
        struct stat st {};
        if (::stat(LogPairing::LogOf(store.path_).c_str(), &st) == 0) store.log_dev_ = st.st_dev, store.log_ino_ = st.st_ino;
    }
    const HistoryFileCheck::Verdict verdict = store.check_->Check();
    if (!verdict.what.empty())
        store.Lose(verdict.what, verdict.fate == HistoryFileCheck::Fate::kMoved, false);
    else if (pages >= HistoryWriter::kCheckpointPages)
        store.Checkpoint(SQLITE_CHECKPOINT_PASSIVE);
    return SQLITE_OK;
}

void HistoryStore::Checkpoint(int mode) {
    // One that cannot copy all (a reader holds an older view, the disk is
    // full) copies the rest at a later commit.
    sqlite3_wal_checkpoint_v2(db_->get(), "main", mode, nullptr, nullptr);
    check_->Left();
    LogPairing::Record(path_, lock_fd_);
}

bool HistoryStore::LogIsOurs() const {
    struct stat st {};
    return log_ino_ != 0 && ::stat(LogPairing::LogOf(path_).c_str(), &st) == 0 && st.st_dev == log_dev_ &&
           st.st_ino == log_ino_;
}

void HistoryStore::Lose(const std::string& what, bool moved, bool damaged) {
    if (!lost_.empty()) return;
    lost_ = what;
    // Closing must copy nothing into any file either.
    sqlite3_db_config(db_->get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // A damaged file keeps its log: the next run moves both aside together.
    if (damaged) return;
    namespace fs = std::filesystem;
    std::error_code ec;
    if (moved) {
        // The file is still this run's wherever it went: what the run
        // committed is copied into it, so that it holds every round counted
        // as stored, and needs no log beside it.
        const int rc = sqlite3_wal_checkpoint_v2(db_->get(), "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        char where[4096];
        const std::string fd_link = "/proc/self/fd/" + std::to_string(lock_fd_);
        const ssize_t n = ::readlink(fd_link.c_str(), where, sizeof where - 1);
        if (rc == SQLITE_OK)
            lost_ += "; what this run stored is in it" + (n > 0 ? " (now " + std::string(where, n) + ")" : std::string());
        if (!LogIsOurs()) return;
        if (rc == SQLITE_OK && fs::file_size(LogPairing::LogOf(path_), ec) == 0 && !ec) {
            for (const std::string& part : {LogPairing::LogOf(path_), path_ + "-shm", LogPairing::StampOf(path_)})
                fs::remove(part, ec);
            return;
        }
    }
    if (!LogIsOurs()) return;
    try {
        const std::string aside = LogPairing::SetAside(path_, "this run's log, its file no longer the one at the path");
        if (!aside.empty()) lost_ += "; " + aside;
    } catch (const std::exception& e) {
        lost_ += std::string("; ") + e.what();
    }
}

void HistoryStore::GiveUp(const std::string& why) {
    if (db_ && writer_ && not_storing_.empty()) Lose(why, false, true);
}

void HistoryStore::Close() {
    if (!db_ || !check_ || !not_storing_.empty()) return;
    if (lost_.empty()) {
        const HistoryFileCheck::Verdict verdict = check_->Check();
        if (!verdict.what.empty()) {
            Lose(verdict.what, verdict.fate == HistoryFileCheck::Fate::kMoved, false);
        } else {
            // All of it into the file, and the stamp with it, before SQLite
            // closes (and removes the log it has copied).
            Checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
        }
    }
    const bool whole = lost_.empty();
    writer_.reset();
    reader_.reset();
    db_.reset();
    std::error_code ec;
    if (whole && !std::filesystem::exists(LogPairing::LogOf(path_), ec))
        std::filesystem::remove(LogPairing::StampOf(path_), ec);
}

std::string HistoryStore::CheckFile(bool deep) {
    if (lock_fd_ < 0 || !not_storing_.empty() || !check_) return "";
    if (!lost_.empty()) return lost_;
    const HistoryFileCheck::Verdict verdict = check_->Check();
    if (!verdict.what.empty()) {
        Lose(verdict.what, verdict.fate == HistoryFileCheck::Fate::kMoved, false);
        return lost_;
    }
    if (deep) {
        const std::string damage = check_->Damage();
        if (!damage.empty()) {
            Lose(damage, false, true);
            return lost_;
        }
    }
    return "";
}
