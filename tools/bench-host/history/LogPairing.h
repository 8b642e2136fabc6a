#pragma once
// Which file a write-ahead log was written for.  SQLite's log names no
// file: a log left beside a path is applied to whatever file has that path
// when it is next opened, so a history moved, replaced or restored from a
// backup while a run's log stayed behind would take another file's pages
// ("database disk image is malformed", or rounds of two files merged).
//
// A run therefore keeps, beside the log, a stamp of the file the log builds
// on (PATH-wal.for): its device and inode, size, time of last change and
// first 100 bytes, as they stood after the run's last copy of the log into
// the file (a checkpoint; SQLite writes the file at no other time in
// write-ahead-log mode).  At the next start a log with frames is applied
// only to the file its stamp names; any other is moved aside, named, and
// neither applied nor deleted.
//
// Judge() is the pure verdict, for the tests.
#include <cstdint>
#include <optional>
#include <string>

class LogPairing {
public:
    struct Stamp {
        uint64_t dev = 0;
        uint64_t ino = 0;
        int64_t size = 0;
        int64_t changed_ns = 0;  // st_mtim
        std::string head;        // the first 100 bytes, fewer when shorter
        bool operator==(const Stamp& o) const {
            return dev == o.dev && ino == o.ino && size == o.size && changed_ns == o.changed_ns && head == o.head;
        }
    };

    // The frames begin after the log's own 32-byte header.
    static constexpr int64_t kLogHeaderBytes = 32;

    // "" when the log may be applied to the file, else why not.  recorded:
    // the stamp left beside the log; file: the file at the path now (none
    // when there is none); log_bytes: the log's size.
    static std::string Judge(const std::optional<Stamp>& recorded, const std::optional<Stamp>& file, int64_t log_bytes);

    static std::optional<Stamp> OfFile(int fd);
    static std::optional<Stamp> OfPath(const std::string& path);
    static std::string Text(const Stamp& stamp);
    static std::optional<Stamp> Parse(const std::string& text);

    static std::string LogOf(const std::string& path) { return path + "-wal"; }
    static std::string StampOf(const std::string& path) { return path + "-wal.for"; }

    // Leaves the stamp of the file open as fd beside path's log (written
    // whole or not at all); false when it cannot be written.
    static bool Record(const std::string& path, int fd);

    // At start, before SQLite opens path: a log with frames that was not
    // written for the file at path is renamed, with its index (-shm), to
    // PATH-wal.stray-YYYYMMDD-HHMMSS.  Returns "" when none was, else a
    // line that names both and says why.  Throws std::runtime_error when
    // it cannot be moved.
    static std::string SetStrayAside(const std::string& path);
    // Renames path's log and index aside as above, with reason why
    // (the run's own log, once its file is no longer at the path); the
    // line said, "" when there was no log.
    static std::string SetAside(const std::string& path, const std::string& why);
};
