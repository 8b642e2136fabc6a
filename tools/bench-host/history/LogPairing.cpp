#include "history/LogPairing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr std::size_t kHeadBytes = 100;

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

std::optional<std::string> Unhex(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi << 4 | lo);
    }
    return out;
}

std::string Now() {
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(when, sizeof when, "%Y%m%d-%H%M%S", &local);
    return when;
}

}  // namespace

namespace {

const char kAnotherFile[] = "it was written for another file: the one at the path was put there since";

}  // namespace

std::string LogPairing::Judge(const std::optional<Stamp>& recorded, const std::optional<Stamp>& file,
                              int64_t log_bytes) {
    // A log of its header alone holds nothing to apply.
    if (log_bytes <= kLogHeaderBytes) return "";
    if (!file) return "its file is no longer at the path";
    if (!recorded) return "no stamp says which file it was written for";
    if (recorded->dev != file->dev || recorded->ino != file->ino) return kAnotherFile;
    if (!(*recorded == *file)) return "the file at the path was rewritten since the log was written for it";
    return "";
}

std::string LogPairing::Foreign(const std::optional<Stamp>& recorded, const std::optional<Stamp>& file,
                                int64_t log_bytes) {
    if (log_bytes <= kLogHeaderBytes || !file || !recorded) return "";
    if (recorded->dev == file->dev && recorded->ino == file->ino) return "";
    // Another inode with the size, time of change and header the log was
    // written for is the file copied whole (cp -a), not another one.
    return recorded->size == file->size && recorded->changed_ns == file->changed_ns && recorded->head == file->head
               ? ""
               : kAnotherFile;
}

std::optional<LogPairing::Stamp> LogPairing::OfFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    Stamp s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.changed_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.head.resize(kHeadBytes);
    const ssize_t n = ::pread(fd, s.head.data(), kHeadBytes, 0);
    s.head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return s;
}

std::optional<LogPairing::Stamp> LogPairing::OfPath(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    auto s = OfFile(fd);
    ::close(fd);
    return s;
}

std::string LogPairing::Text(const Stamp& s) {
    std::ostringstream out;
    out << s.dev << ' ' << s.ino << ' ' << s.size << ' ' << s.changed_ns << ' ' << (s.head.empty() ? "-" : Hex(s.head))
        << '\n';
    return out.str();
}

std::optional<LogPairing::Stamp> LogPairing::Parse(const std::string& text) {
    std::istringstream in(text);
    Stamp s;
    std::string head;
    if (!(in >> s.dev >> s.ino >> s.size >> s.changed_ns >> head)) return std::nullopt;
    if (head != "-") {
        auto bytes = Unhex(head);
        if (!bytes) return std::nullopt;
        s.head = *bytes;
    }
    return s;
}

bool LogPairing::Record(const std::string& path, int fd) {
    const auto stamp = OfFile(fd);
    if (!stamp) return false;
    // Renamed into place: a stamp is never seen half written.  Not synced:
    // one lost with the machine's power makes the next start set a good log
    // aside, named, which loses nothing.
    const std::string to = StampOf(path);
    const std::string tmp = to + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << Text(*stamp);
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), to.c_str()) == 0;
}

std::string LogPairing::SetAside(const std::string& path, const std::string& why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string log = LogOf(path);
    if (!fs::exists(log, ec)) return "";
    const std::string when = Now();
    std::string aside = log + ".stray-" + when;
    for (int n = 2; fs::exists(aside, ec); ++n) aside = log + ".stray-" + when + "-" + std::to_string(n);
    for (const auto& [from, to] : {std::pair{log, aside}, std::pair{path + "-shm", aside + "-shm"},
                                   std::pair{StampOf(path), aside + ".for"}}) {
        if (!fs::exists(from, ec)) continue;
        fs::rename(from, to, ec);
        if (ec) throw std::runtime_error("history " + path + ": its write-ahead log " + log + " (" + why +
                                         ") cannot be moved aside: " + ec.message());
    }
    return "history " + path + ": the write-ahead log " + log + " was not applied (" + why + "): moved aside to " +
           aside;
}

namespace {

// The log's size, the stamp beside it and the file at path, as a verdict
// takes them; false when there is no log.
bool Look(const std::string& path, int64_t& log_bytes, std::optional<LogPairing::Stamp>& recorded,
          std::optional<LogPairing::Stamp>& file) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto size = fs::file_size(LogPairing::LogOf(path), ec);
    if (ec) return false;
    log_bytes = static_cast<int64_t>(size);
    std::ifstream in(LogPairing::StampOf(path));
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        recorded = LogPairing::Parse(text.str());
    }
    if (fs::exists(path, ec)) file = LogPairing::OfPath(path);
    return true;
}

}  // namespace

std::string LogPairing::SetStrayAside(const std::string& path) {
    int64_t log_bytes = 0;
    std::optional<Stamp> recorded, file;
    if (!Look(path, log_bytes, recorded, file)) return "";
    const std::string why = Judge(recorded, file, log_bytes);
    return why.empty() ? "" : SetAside(path, why);
}

std::string LogPairing::ForeignToReader(const std::string& path) {
    int64_t log_bytes = 0;
    std::optional<Stamp> recorded, file;
    if (!Look(path, log_bytes, recorded, file)) return "";
    return Foreign(recorded, file, log_bytes);
}
