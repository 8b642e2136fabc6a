#include "history/HistoryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

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
        HistorySchema::CheckIntegrity(path_);
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
