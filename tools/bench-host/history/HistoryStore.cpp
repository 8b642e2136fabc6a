#include "history/HistoryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "history/HistoryFileCheck.h"

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
        const std::string damage = HistorySchema::Damage(path_);
        if (!damage.empty()) MoveAside(damage);
        db_ = std::make_unique<SqlConnection>(path_, SqlConnection::Open::kCreate);
        try {
            TakeForThisRun();
            HistoryWriter::BoundLog(*db_);
            HistorySchema::CreateOrMigrate(*db_);
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
    for (const char* part : {"", "-wal", "-shm"}) {
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

std::string HistoryStore::CheckFile(bool deep) {
    if (lock_fd_ < 0 || !not_storing_.empty()) return "";
    if (!check_) check_ = std::make_unique<HistoryFileCheck>(path_, lock_fd_);
    std::string why = check_->Check();
    if (why.empty() && deep) why = check_->Damage();
    return why;
}
