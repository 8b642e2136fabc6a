#pragma once
// Whether the history file a run writes to is still there and its own,
// asked after every commit and once a second: a file moved, deleted,
// replaced, cut short or overwritten under a running SQLite connection takes
// every later write with it without a single error, so the run looks for
// it itself.
//
//   Check() (cheap: two stats and the first 100 bytes): the file open is
//     still the file at the path (same device and inode, still linked),
//     still begins as an SQLite database, is no shorter than it was at an
//     earlier check, and its first 100 bytes are those this run left in
//     it.  SQLite writes the file itself only when it copies the log into
//     it (a checkpoint), and in a run only the run's writer does that, after
//     this check (HistoryStore); any other change of its header (the change
//     counter, the page count) was made by someone else.
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
        // The first bytes as this run last left them; none before it knew.
        std::optional<std::string> left;
    };

    // What became of the file, for what may still be done with what the
    // run committed: a file moved away (still linked, elsewhere) is the run's
    // and takes its log; any other is not the run's any more.
    enum class Fate { kWhole, kMoved, kGone, kRewritten };
    struct Verdict {
        Fate fate = Fate::kWhole;
        // "" when whole, else the end of "history PATH ...": "was deleted",
        // "was replaced by another file", ...
        std::string what;
    };
    static Verdict Judge(const Seen& seen);

    // Over path and fd, a descriptor of the file as it was opened; fd stays
    // the caller's.
    HistoryFileCheck(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    // what: "" when well, else "history PATH <what happened>".
    Verdict Check();
    std::string Damage() const;
    // The file's first bytes are this run's as they now stand (after its
    // own checkpoint, or as it opened the file).
    void Left();

private:
    std::string Head() const;

    std::string path_;
    int fd_;
    int64_t largest_ = 0;
    std::optional<std::string> left_;
};
