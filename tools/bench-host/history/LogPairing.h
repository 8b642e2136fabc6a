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
// A reader (report, baseline, history, the page) moves nothing and is
// stricter about nothing but a stranger's log: it leaves out a log whose
// stamp names another file (reads the file as it stands, says why, and
// leaves the log for the next run to set aside), and reads any other log
// with its file.  A stamp that is missing (a killed run's file handed over
// with its log, or a log of an older bench-host) or stale for the same
// file (a full disk kept the run from renewing it after a copy into the
// file) proves nothing against the log, and the file may need it to be
// whole: a copy cut short leaves the file right only with its log.  Nor
// does a stamp of another inode whose every other mark is the file's (the
// file and its log copied whole, cp -a).
//
// Judge() and Foreign() are the pure verdicts, for the tests.
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
    // As Judge, for a reader: "" unless the stamp names another file, by
    // its inode and by one of its other marks.
    static std::string Foreign(const std::optional<Stamp>& recorded, const std::optional<Stamp>& file, int64_t log_bytes);

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
    // Foreign on the files as they are at path: why a reader leaves the
    // log beside it out, "" when it reads it (or there is none).
    static std::string ForeignToReader(const std::string& path);
    // Renames path's log and index aside as above, with reason why
    // (the run's own log, once its file is no longer at the path); the
    // line said, "" when there was no log.
    static std::string SetAside(const std::string& path, const std::string& why);
};
