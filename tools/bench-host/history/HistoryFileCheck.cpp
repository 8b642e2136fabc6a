#include "history/HistoryFileCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "history/HistorySchema.h"
#include "history/SqlConnection.h"

namespace {

constexpr char kMagic[] = "SQLite format 3";  // and its NUL: the first 16 bytes
constexpr std::size_t kHeaderBytes = 100;

// What the header says the file holds: its page size times its pages, when
// the count is current (SQLite keeps it so while "version-valid-for" equals
// the change counter); 0 when the header does not say.
int64_t HeaderBytes(const std::string& head) {
    if (head.size() < kHeaderBytes) return 0;
    const auto be = [&](std::size_t at, std::size_t n) {
        uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = v << 8 | static_cast<uint8_t>(head[at + i]);
        return v;
    };
    uint64_t page = be(16, 2);
    if (page == 1) page = 65536;
    if (page < 512 || page > 65536 || (page & (page - 1)) != 0) return 0;
    if (be(24, 4) != be(92, 4)) return 0;
    return static_cast<int64_t>(page * be(28, 4));
}

}  // namespace

HistoryFileCheck::Verdict HistoryFileCheck::Judge(const Seen& s) {
    // Another file at the path: a history put in its place (mv, a restored
    // backup) whether this run's file was moved away or deleted with it.
    if (s.at_path && (s.path_dev != s.dev || s.path_ino != s.ino))
        return {s.linked ? Fate::kMoved : Fate::kGone,
                s.linked ? "was moved away and another file put at its path" : "was replaced by another file"};
    if (!s.at_path) return {s.linked ? Fate::kMoved : Fate::kGone, s.linked ? "was moved away from its path" : "was deleted"};
    if (!s.linked) return {Fate::kGone, "was deleted"};
    // In write-ahead-log mode SQLite grows the file as it copies the log
    // into it; its header may promise pages a copy that failed for want of
    // room never wrote, so the size is judged against what this run saw.
    // SQLite shrinks it only when it gives room back (an incremental vacuum
    // after old rounds were pruned), and then to just what its header
    // counts: a file shorter than it was and than its header says was cut.
    const int64_t promised = HeaderBytes(s.head);
    if (s.size < s.largest && (promised == 0 || s.size < promised))
        return {Fate::kRewritten, "was cut to " + std::to_string(s.size) + " bytes from " + std::to_string(s.largest)};
    // A file SQLite has not written yet (a new history) has no header.
    if (s.size == 0 && (!s.left || s.left->empty())) return {};
    if (s.head.size() < sizeof kMagic) return {Fate::kRewritten, "was cut to " + std::to_string(s.size) + " bytes"};
    if (std::memcmp(s.head.data(), kMagic, sizeof kMagic) != 0)
        return {Fate::kRewritten, "was overwritten: it no longer begins as an SQLite database"};
    if (s.left && *s.left != s.head)
        return {Fate::kRewritten, "was overwritten: its header is not the one this run left in it (another "
                                  "database, or a backup, copied over it)"};
    return {};
}

std::string HistoryFileCheck::Head() const {
    std::string head(kHeaderBytes, '\0');
    const ssize_t n = ::pread(fd_, head.data(), kHeaderBytes, 0);
    head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return head;
}

void HistoryFileCheck::Left() { left_ = Head(); }

HistoryFileCheck::Verdict HistoryFileCheck::Check() {
    Seen seen;
    struct stat open_st {};
    if (::fstat(fd_, &open_st) != 0)
        return {Fate::kGone, "history " + path_ + " cannot be checked: " + std::strerror(errno)};
    seen.dev = open_st.st_dev;
    seen.ino = open_st.st_ino;
    seen.linked = open_st.st_nlink > 0;
    seen.size = open_st.st_size;
    seen.largest = largest_;
    if (seen.size > largest_) largest_ = seen.size;
    struct stat path_st {};
    seen.at_path = ::stat(path_.c_str(), &path_st) == 0;
    seen.path_dev = path_st.st_dev;
    seen.path_ino = path_st.st_ino;
    seen.head = Head();
    seen.left = left_;
    Verdict verdict = Judge(seen);
    if (!verdict.what.empty()) verdict.what = "history " + path_ + " " + verdict.what;
    return verdict;
}

std::string HistoryFileCheck::Damage() const {
    try {
        const std::string verdict = HistorySchema::Damage(path_);
        return verdict.empty() ? "" : "history " + path_ + " is damaged: " + verdict;
    } catch (const SqlError& e) {
        // No room for the check's own index: a full disk, which the writes
        // themselves report.
        if (e.NoRoom()) return "";
        return "history " + path_ + " cannot be checked: " + e.what();
    }
}
