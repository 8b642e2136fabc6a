#include "Simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace monitor_sim {

namespace {

constexpr size_t kReadChunk = 512;
// While nobody holds the other end of the pseudo-terminal, look again this
// often: the master may (re)open it at any time.
constexpr std::chrono::milliseconds kPeerAbsentRetry{20};
// A reply that the line cannot take within this time is abandoned: the
// master has stopped reading.
constexpr int kWriteStallMs = 1000;

timespec ToTimespec(std::chrono::nanoseconds d) {
    if (d.count() < 0) d = std::chrono::nanoseconds(0);
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    return timespec{static_cast<time_t>(secs.count()), static_cast<long>((d - secs).count())};
}

std::string AddrCommand(uint8_t addr, uint8_t command) {
    const uint8_t both[] = {addr, command};
    return TraceLog::Hex(both, sizeof both);
}

// Writes all bytes; false when the line refuses them (the other end of a
// pseudo-terminal closed, the port gone, or no room for too long).
bool WriteAll(int fd, const uint8_t* data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kWriteStallMs) <= 0 || (p.revents & (POLLERR | POLLHUP))) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

std::string Simulator::Summary::Line() const {
    char text[512];
    std::snprintf(text, sizeof text,
                  "monitor-sim: %llu requests (%llu to other addresses, %llu unknown commands), "
                  "%llu replies (%llu intact), %llu faults injected (%llu silent, %llu dropped, "
                  "%llu wrong address, %llu corrupted, %llu garbage, %llu split, %llu late), %llu bytes skipped",
                  static_cast<unsigned long long>(requests), static_cast<unsigned long long>(foreign),
                  static_cast<unsigned long long>(unknown), static_cast<unsigned long long>(replies),
                  static_cast<unsigned long long>(intact), static_cast<unsigned long long>(faults.Injected()),
                  static_cast<unsigned long long>(faults.silent), static_cast<unsigned long long>(faults.dropped),
                  static_cast<unsigned long long>(faults.wrong_addr),
                  static_cast<unsigned long long>(faults.corrupted),
                  static_cast<unsigned long long>(faults.garbage), static_cast<unsigned long long>(faults.split),
                  static_cast<unsigned long long>(faults.late), static_cast<unsigned long long>(skipped_bytes));
    std::string line = text;
    if (faults.wrong_monitor > 0) line += ", " + std::to_string(faults.wrong_monitor) + " answered as another monitor";
    if (over_owed > 0)
        line += ", " + std::to_string(over_owed) + " unanswered behind " + std::to_string(ReplySchedule::kMaxOwed) +
                " replies owed";
    if (answered_twice > 0)
        line += ", " + std::to_string(answered_twice) + " answered by two monitors at one address";
    return line;
}

Simulator::Simulator(Options options, const TraceLog& trace, ValuesLog& values)
    : options_(std::move(options)),
      trace_(trace),
      values_(values),
      faults_(options_.faults, options_.seed),
      timing_(options_.paced, options_.baud, options_.turnaround),
      start_(Clock::now()) {
    for (std::size_t i = 0; i < options_.addrs.size(); ++i) {
        const uint8_t addr = options_.addrs[i];
        const int twin = static_cast<int>(std::count(options_.addrs.begin(), options_.addrs.begin() + i, addr));
        models_.emplace_back(addr, options_.profile.Twin(twin, options_.twin_offset), options_.seed, twin);
    }
}

Simulator::Summary Simulator::Totals() const {
    Summary s = summary_;
    s.skipped_bytes = parser_.SkippedTotal();
    s.faults = faults_.Totals();
    return s;
}

double Simulator::Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

std::vector<MonitorModel*> Simulator::ModelsAt(uint8_t addr) {
    std::vector<MonitorModel*> at;
    for (auto& m : models_)
        if (m.Address() == addr) at.push_back(&m);
    return at;
}

int Simulator::Run(int fd, bool pty, const volatile std::sig_atomic_t* stop, const sigset_t* wait_mask) {
    start_ = Clock::now();
    std::optional<Clock::time_point> end;
    if (options_.duration_s)
        end = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*options_.duration_s));
    bool peer_absent = false;
    uint8_t buf[kReadChunk];

    while (!*stop) {
        if (end && Clock::now() >= *end) break;
        // At the request limit, the replies owed still go out.
        if (limit_reached_ && schedule_.Empty()) break;
        if (!peer_absent) WriteDue(fd);
        const auto now = Clock::now();
        std::optional<std::chrono::nanoseconds> wait;
        if (end) wait = *end - now;
        const auto due = schedule_.NextDue();
        if (due && !peer_absent && (!wait || *due - now < *wait)) wait = *due - now;
        if (peer_absent && (!wait || *wait > kPeerAbsentRetry)) wait = kPeerAbsentRetry;
        timespec ts{};
        if (wait) ts = ToTimespec(*wait);

        // Nobody at the other end: a pseudo-terminal then reports a hang-up
        // at once, so wait without the line before looking again.
        pollfd p{fd, POLLIN, 0};
        const int r = peer_absent ? ppoll(nullptr, 0, &ts, wait_mask) : ppoll(&p, 1, wait ? &ts : nullptr, wait_mask);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "monitor-sim: waiting for the line: %s\n", std::strerror(errno));
            return 1;
        }
        errno = 0;
        if (peer_absent) {
            peer_absent = false;
            continue;
        }
        if (r == 0) continue;
        if (p.revents & POLLIN) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                if (options_.echo && !WriteAll(fd, buf, static_cast<size_t>(n))) {
                    Abandon();
                    peer_absent = pty;
                    continue;
                }
                HandleBytes(buf, static_cast<size_t>(n), Clock::now());
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        if (pty) {
            // The master closed its end (or has not opened it yet): what
            // the monitors owed it is not sent to whoever opens it next.
            Abandon();
            peer_absent = true;
            continue;
        }
        std::fprintf(stderr, "monitor-sim: the line failed: %s\n",
                     errno != 0 ? std::strerror(errno) : "hang-up");
        return 1;
    }
    if (!peer_absent) FinishOnLine(fd);
    return 0;
}

void Simulator::HandleBytes(const uint8_t* data, size_t len, Clock::time_point read_at) {
    const auto requests = parser_.Feed(data, len);
    const auto skipped = parser_.TakeSkipped();
    if (!skipped.empty()) trace_.Line("rx " + TraceLog::Hex(skipped) + " (skipped)");
    for (const auto& req : requests) {
        if (limit_reached_) break;
        const auto frame = monitor::BuildRequest(req.addr, req.command);
        const auto monitors = ModelsAt(req.addr);
        if (monitors.empty()) {
            ++summary_.foreign;
            trace_.Line("rx " + TraceLog::Hex(frame.data(), frame.size()) + " (not ours)");
            continue;
        }
        ++summary_.requests;
        trace_.Line("rx " + TraceLog::Hex(frame.data(), frame.size()));
        Answer(monitors, req.command, read_at);
        if (options_.max_requests && summary_.requests >= *options_.max_requests) limit_reached_ = true;
    }
}

void Simulator::Answer(const std::vector<MonitorModel*>& monitors, uint8_t command, Clock::time_point read_at) {
    const uint8_t addr = monitors.front()->Address();
    if (!schedule_.CanTake(addr)) {
        ++summary_.over_owed;
        trace_.Line("-- " + AddrCommand(addr, command) + " no reply (" + std::to_string(ReplySchedule::kMaxOwed) +
                    " replies owed already)");
        return;
    }
    Owed owed{addr, command, {}, {}};
    std::vector<WireTiming::Write> writes;
    Frame all;
    std::string faults;
    for (std::size_t n = 0; n < monitors.size(); ++n) {
        MonitorModel& model = *monitors[n];
        const auto reply = model.Answer(command, Elapsed());
        if (!reply) {
            // Every monitor knows the same commands.
            ++summary_.unknown;
            trace_.Line("-- " + AddrCommand(addr, command) + " no reply (unknown command)");
            return;
        }
        // The faults are drawn once per request, for the first monitor at
        // the address: one set to it as well answers every request as it is.
        FaultPlan::Decision d;
        if (n == 0) {
            d = faults_.Decide(reply->frame);
        } else {
            d.chunks.push_back(FaultPlan::Decision::Chunk{reply->frame, {}});
        }
        if (!d.Answered()) {
            trace_.Line("-- " + AddrCommand(addr, command) + " no reply (" + d.Describe() + ")");
            continue;
        }
        auto own = timing_.Schedule(d.chunks);
        // Paced, each further monitor starts its answer a little after the
        // one before: their bytes interleave as on the wire.  Unpaced, all
        // are due at once and leave in one write.
        const auto later = d.delay + (options_.paced ? static_cast<long>(n) * options_.twin_delay
                                                     : std::chrono::microseconds(0));
        for (auto& w : own) w.at += later;
        writes = owed.parts.empty() ? std::move(own) : WireTiming::Merge(std::move(writes), own);
        owed.parts.push_back(Part{&model, reply->raw, d.Intact(), d.Late(), d.as_monitor});
        if (trace_.Enabled()) {
            for (const auto& c : d.chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
            const std::string described = d.Describe();
            if (!described.empty()) faults += (faults.empty() ? "" : "; ") + described;
        }
    }
    if (owed.parts.empty()) return;
    if (trace_.Enabled()) {
        // Each monitor's frame in turn, as it built it; the line carries
        // them interleaved when paced.
        if (owed.parts.size() > 1)
            faults += (faults.empty() ? "" : "; ") + std::to_string(owed.parts.size()) + " monitors at one address";
        owed.tx = "tx " + TraceLog::Hex(all) + (faults.empty() ? "" : " [" + faults + "]");
    }
    // CanTake was asked above: the schedule has room.
    const auto id = schedule_.Add(addr, read_at, std::move(writes));
    if (id) owed_.emplace(*id, std::move(owed));
}

bool Simulator::WriteDue(int fd) {
    while (auto w = schedule_.TakeDue(Clock::now())) {
        const auto it = owed_.find(w->reply);
        if (w->first && it != owed_.end() && !it->second.tx.empty()) trace_.Line(it->second.tx);
        if (!WriteAll(fd, w->bytes.data(), w->bytes.size())) {
            if (it != owed_.end())
                trace_.Line("-- " + AddrCommand(w->addr, it->second.command) + " reply abandoned: the line took no more");
            owed_.erase(w->reply);
            Abandon();
            return false;
        }
        if (!w->last || it == owed_.end()) continue;
        const Owed& o = it->second;
        if (o.parts.size() > 1) ++summary_.answered_twice;
        for (const Part& p : o.parts) {
            ++summary_.replies;
            if (!p.intact) continue;
            ++summary_.intact;
            const int twin = p.model->Twin();
            values_.Record(Elapsed(), w->addr, o.command, p.raw, p.late, p.as_monitor, twin);
            if (o.command == monitor::kCmdCellVoltages) values_.RecordTruth(Elapsed(), w->addr, p.model->Truth(), twin);
        }
        owed_.erase(it);
    }
    return true;
}

void Simulator::FinishOnLine(int fd) {
    while (schedule_.OnLine()) {
        std::this_thread::sleep_until(*schedule_.NextDue());
        if (!WriteDue(fd)) return;
    }
}

void Simulator::Abandon() {
    for (const uint64_t id : schedule_.Clear()) {
        const auto it = owed_.find(id);
        if (it == owed_.end()) continue;
        trace_.Line("-- " + AddrCommand(it->second.addr, it->second.command) +
                    " reply abandoned: the line took no more");
        owed_.erase(it);
    }
}

}  // namespace monitor_sim
