#include "MonitorLine.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "FakeClock.h"
#include "protocol/MonitorProtocol.h"

MonitorLine::Bytes MonitorLine::Reply(const Request& r, const Readings& readings) {
    switch (r.command) {
        case monitor::kCmdCellVoltages: {
            monitor::CellSlots slots{};
            slots.fill(readings.cell);
            if (readings.weak_cell >= 0) slots[static_cast<std::size_t>(readings.weak_cell)] = readings.weak;
            const auto f = monitor::BuildLongReply(r.addr, slots);
            return Bytes(f.begin(), f.end());
        }
        case monitor::kCmdStringVoltage: {
            const auto f = monitor::BuildShortReply(r.addr, readings.string_voltage);
            return Bytes(f.begin(), f.end());
        }
        case monitor::kCmdCurrent: {
            const auto f = monitor::BuildShortReply(r.addr, readings.current);
            return Bytes(f.begin(), f.end());
        }
        case monitor::kCmdTemperature: {
            const auto f = monitor::BuildShortReply(r.addr, readings.temperature);
            return Bytes(f.begin(), f.end());
        }
        default:
            return {};
    }
}

MonitorLine::Monitor MonitorLine::Prompt(const Readings& readings) {
    return [readings](const Request& r) { return std::vector<Piece>{Piece{kTurnaround, Reply(r, readings)}}; };
}

MonitorLine::Monitor MonitorLine::Prompt() { return Prompt(Readings{}); }

MonitorLine::MonitorLine(FakeClock& clock, std::string path)
    : clock_(clock), path_(std::move(path)), event_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

MonitorLine::~MonitorLine() {
    if (event_fd_ >= 0) ::close(event_fd_);
}

void MonitorLine::UnplugAt(Clock::duration from_start, Clock::duration for_how_long) {
    clock_.At(from_start, [this] {
        unplugged_ = true;
        waiting_.clear();
        // A tty that goes away hangs up: readable, and the read fails.
        Signal();
    });
    clock_.At(from_start + for_how_long, [this] { unplugged_ = false; });
}

void MonitorLine::Open(int32_t) {
    if (unplugged_) throw Error(path_ + ": No such file or directory");
    open_ = true;
}

void MonitorLine::Close() {
    open_ = false;
    waiting_.clear();
    Drain();
}

void MonitorLine::Write(const uint8_t* data, std::size_t len) {
    if (!open_ || unplugged_) throw Error(path_ + ": Input/output error");
    Request r;
    if (!monitor::ParseRequest(data, static_cast<int>(len), &r.addr, &r.command)) return;
    r.n = requests_[r.addr]++;
    r.cells = r.command == monitor::kCmdCellVoltages ? cell_requests_[r.addr]++ : cell_requests_[r.addr];
    asked.push_back(r);
    const auto m = monitors_.find(r.addr);
    if (m == monitors_.end()) return;
    const auto at = clock_.Now() - clock_.Start();
    for (Piece& p : m->second(r)) {
        Bytes bytes = std::move(p.bytes);
        clock_.At(at + p.after, [this, bytes] { Arrive(bytes); });
    }
}

std::size_t MonitorLine::Read(uint8_t* buf, std::size_t len) {
    if (!open_ || unplugged_) throw Error(path_ + ": Input/output error");
    if (waiting_.empty()) {
        Drain();
        return 0;
    }
    Bytes& chunk = waiting_.front();
    const std::size_t n = std::min(len, chunk.size());
    std::copy_n(chunk.begin(), n, buf);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.empty()) waiting_.pop_front();
    if (waiting_.empty()) Drain();
    return n;
}

void MonitorLine::Arrive(Bytes chunk) {
    if (!open_ || unplugged_ || chunk.empty()) return;
    waiting_.push_back(std::move(chunk));
    Signal();
}

void MonitorLine::Signal() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(event_fd_, &one, sizeof one);
}

void MonitorLine::Drain() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(event_fd_, &count, sizeof count);
}
