#include "BusScheduler.h"

#include <algorithm>
#include <exception>

#include "RunEvents.h"
#include "SerialPort.h"
#include "host/HLXSPDevice.h"
#include "protocol/MonitorProtocol.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kMaxBackoff{10000};
// 8N1: a start bit, 8 data bits and a stop bit per byte.
constexpr int kBitsPerByte = 10;

// The reply the request asks for; a request the monitor would not answer is
// given the short reply's time, so the bus is not held long for it.
int ExpectedReplyLength(const uint8_t* request, std::size_t len) {
    uint8_t addr = 0, command = 0;
    if (!monitor::ParseRequest(request, static_cast<int>(len), &addr, &command)) return monitor::kShortReplyLen;
    const int reply = monitor::ReplyLength(command);
    return reply > 0 ? reply : monitor::kShortReplyLen;
}

}  // namespace

BusScheduler::BusScheduler(SerialPort& port, int32_t speed, const Options& options, RunEvents& events)
    : port_(port), speed_(speed), options_(options), events_(events), backoff_(kFirstBackoff) {}

void BusScheduler::Add(BusDevice* d) {
    d->bus = this;
    devices_.push_back(d);
}

int BusScheduler::Fd() const { return port_.Fd(); }

void BusScheduler::Trace(bool sent, const uint8_t* data, std::size_t len, const char* note) {
    events_.Publish(run::Trace{port_.Path(), sent, std::vector<uint8_t>(data, data + len), note ? note : "",
                               run::WallClock::now()});
}

BusScheduler::Clock::duration BusScheduler::ResponseTimeout(int reply_len) const {
    const double wire_s = static_cast<double>((monitor::kRequestLen + reply_len) * kBitsPerByte) / speed_;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wire_s)) +
           std::chrono::milliseconds(options_.response_margin_ms);
}

void BusScheduler::Start(Clock::time_point now) {
    for (BusDevice* d : devices_) d->next_poll = now;
}

BusScheduler::Clock::time_point BusScheduler::NextWake(Clock::time_point now) const {
    if (port_down_) return reopen_at_;
    Clock::time_point wake = now + std::chrono::seconds(1);
    if (!rx_.empty()) wake = std::min(wake, last_rx_ + std::chrono::milliseconds(options_.frame_gap_ms));
    if (active_) {
        wake = std::min(wake, deadline_);
    } else {
        for (const BusDevice* d : devices_) wake = std::min(wake, d->next_poll);
    }
    return std::max(wake, now);
}

void BusScheduler::OnReadable(Clock::time_point now, bool hangup) {
    if (port_down_) return;
    uint8_t buf[256];
    try {
        for (;;) {
            const std::size_t n = port_.Read(buf, sizeof buf);
            if (n == 0) break;
            std::size_t i = 0;
            // A half-duplex adapter hears its own request first.
            while (options_.echo && i < n && echo_pos_ < echo_.size()) {
                if (buf[i] != echo_[echo_pos_]) {
                    echo_pos_ = echo_.size();
                    break;
                }
                ++i;
                ++echo_pos_;
            }
            if (i > 0) Trace(false, buf, i, "echo");
            if (i == n) continue;
            if (!active_) {
                Trace(false, buf + i, n - i, "unasked, dropped");
                continue;
            }
            Trace(false, buf + i, n - i, nullptr);
            rx_.insert(rx_.end(), buf + i, buf + n);
            last_rx_ = now;
            if (ChunkComplete()) Deliver(now);
        }
        if (hangup) PortFailed("the line hung up", now);
    } catch (const SerialPort::Error& e) {
        PortFailed(e.what(), now);
    }
}

bool BusScheduler::ChunkComplete() const {
    if (rx_.size() >= static_cast<std::size_t>(monitor::kReplyCapacity)) return true;
    const auto start = std::find(rx_.begin(), rx_.end(), monitor::kStartByte);
    return start != rx_.end() && rx_.end() - start >= expected_len_;
}

void BusScheduler::Service(Clock::time_point now) {
    if (port_down_) {
        if (now >= reopen_at_) TryReopen(now);
        return;
    }
    if (!rx_.empty() && now - last_rx_ >= std::chrono::milliseconds(options_.frame_gap_ms)) Deliver(now);
    if (active_ && rx_.empty() && now >= deadline_) {
        BusDevice& d = *active_;
        if (d.resends_in_cycle >= monitor::kResendsPerCycle) {
            EndCycle(d, false, now);  // timed out: the bus moves on
        } else {
            Tick(d, now);
        }
    }
    if (!active_ && !port_down_) {
        BusDevice* due = nullptr;
        for (BusDevice* d : devices_)
            if (d->next_poll <= now && (!due || d->next_poll < due->next_poll)) due = d;
        if (due) Tick(*due, now);
    }
}

void BusScheduler::Tick(BusDevice& d, Clock::time_point now) {
    active_ = &d;
    sent_ = false;
    round_done_ = false;
    const long cycles_before = d.cycles;
    try {
        d.dev->RefreshStatus();
    } catch (const std::exception& e) {
        events_.Publish(run::DeviceCallFailed{&d, "tick", e.what()});
    } catch (...) {
        events_.Publish(run::DeviceCallFailed{&d, "tick", "unknown exception"});
    }
    if (d.cycles == cycles_before && d.cycle_open) {
        ++d.resends_in_cycle;
        ++d.resends;
    }
    if (!sent_) {
        // Nothing went out, so nothing will come back.
        if (active_ == &d) Release(d, now);
    }
    AfterDeviceCall(now);
}

void BusScheduler::Deliver(Clock::time_point now) {
    std::vector<uint8_t> chunk;
    chunk.swap(rx_);
    if (!active_ || chunk.empty()) return;
    BusDevice& d = *active_;
    sent_ = false;
    round_done_ = false;
    int result = 0;
    try {
        result = d.dev->process(chunk.data(), static_cast<unsigned int>(chunk.size()));
    } catch (const std::exception& e) {
        events_.Publish(run::DeviceCallFailed{&d, "rx", e.what()});
    } catch (...) {
        events_.Publish(run::DeviceCallFailed{&d, "rx", "unknown exception"});
    }
    if (round_done_) {
        EndCycle(d, true, now);
    } else if (result == 0 && d.cycle_open) {
        EndCycle(d, false, now);  // rejected reply
    } else if (result == 0) {
        Release(d, now);
    }
    AfterDeviceCall(now);
}

void BusScheduler::AfterDeviceCall(Clock::time_point now) {
    if (write_failure_) {
        const std::string why = *write_failure_;
        write_failure_.reset();
        PortFailed(why, now);
    }
}

void BusScheduler::EndCycle(BusDevice& d, bool completed, Clock::time_point now) {
    if (d.cycle_open) {
        d.cycle_open = false;
        if (completed) {
            ++d.completed;
        } else {
            ++d.abandoned;
        }
    }
    Release(d, now);
    if (completed && d.last) {
        if (d.cell_count == 0) d.LearnCells();
        events_.Publish(run::RoundCompleted{&d, *d.last, d.last_round_at});
    }
}

void BusScheduler::Release(BusDevice& d, Clock::time_point now) {
    if (active_ == &d) active_ = nullptr;
    rx_.clear();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.tick_period));
    d.next_poll = std::max(d.cycle_started_at + period, now);
    if (d.cycle_started_at + period < now) d.next_poll = now;
}

void BusScheduler::DeviceSent(BusDevice& d, const uint8_t* data, std::size_t len) {
    sent_ = true;
    if (port_down_ || write_failure_) {
        Trace(true, data, len, "not sent, port closed");
        return;
    }
    try {
        port_.FlushInput();
        rx_.clear();
        port_.Write(data, len);
        Trace(true, data, len, nullptr);
    } catch (const SerialPort::Error& e) {
        // Thrown through the plug-in it would leave the device half-way in
        // a call; the failure is handled once the call has returned.
        write_failure_ = e.what();
        return;
    }
    echo_.assign(data, data + len);
    echo_pos_ = 0;
    active_ = &d;
    expected_len_ = ExpectedReplyLength(data, len);
    deadline_ = Clock::now() + ResponseTimeout(expected_len_);
}

void BusScheduler::DeviceStartedCycle(BusDevice& d) {
    // A cycle still open was given up by the device itself.
    if (d.cycle_open) ++d.abandoned;
    ++d.cycles;
    d.cycle_open = true;
    d.resends_in_cycle = 0;
    d.cycle_started_at = Clock::now();
}

void BusScheduler::DeviceCompletedRound(BusDevice& /*d*/) { round_done_ = true; }

void BusScheduler::PortFailed(const std::string& why, Clock::time_point now) {
    port_.Close();
    port_down_ = true;
    rx_.clear();
    if (active_) {
        // The device keeps its pending request; its next tick resends it.
        active_->next_poll = now + backoff_;
        active_ = nullptr;
    }
    reopen_at_ = now + backoff_;
    events_.Publish(run::PortLost{port_.Path(), why, std::chrono::duration_cast<std::chrono::milliseconds>(backoff_)});
}

void BusScheduler::TryReopen(Clock::time_point now) {
    try {
        port_.Open(speed_);
    } catch (const SerialPort::Error& e) {
        backoff_ = std::min<Clock::duration>(backoff_ * 2, kMaxBackoff);
        reopen_at_ = now + backoff_;
        return;
    }
    port_down_ = false;
    backoff_ = kFirstBackoff;
    events_.Publish(run::PortReopened{port_.Path()});
    for (BusDevice* d : devices_) d->next_poll = std::min(d->next_poll, now);
}
