#pragma once
// Whether the history file a run writes to is still there and whole, asked
// while the run goes on: a file deleted, replaced, cut short or overwritten
// under a running SQLite connection takes every later write with it without
// a single error, so the run looks for it itself.
//
//   Check() (cheap: two stats and the first 100 bytes; the store thread asks
//     once a second): the file open is still the file at the path (same
//     device and inode, still linked), still begins as an SQLite database,
//     and is no shorter than it was at an earlier check.
//   Damage() (SQLite's quick_check through a connection of its own, so that
//     no cached page hides the disk; the store thread asks once a minute):
//     what SQLite finds wrong inside.
//
// Judge() is the pure verdict over what was read, for the tests.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

class HistoryFileCheck {
public:
    // What was read of the file, through the open descriptor and by path.
    struct Seen {
        dev_t dev = 0;               // of the open file
        ino_t ino = 0;
        bool linked = true;          // the open file still has a name
        bool at_path = true;         // some file has the path
        dev_t path_dev = 0;
        ino_t path_ino = 0;
        int64_t size = 0;            // of the open file
        int64_t largest = 0;         // the most it held at an earlier check
        std::string head;            // its first 100 bytes (fewer when shorter)
    };

    // "" when all is well, else what happened to the file, as the end of
    // "history PATH ...": "was deleted", "was replaced by another file", ...
    static std::string Judge(const Seen& seen);

    // Over path and fd, a descriptor of the file as it was opened; fd stays
    // the caller's.
    HistoryFileCheck(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    // "" when well, else "history PATH <what happened>".
    std::string Check();
    std::string Damage() const;

private:
    std::string path_;
    int fd_;
    int64_t largest_ = 0;
};
