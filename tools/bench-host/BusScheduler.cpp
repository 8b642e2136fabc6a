#include "BusScheduler.h"

#include <algorithm>
#include <exception>

#include "SerialPort.h"
#include "protocol/MonitorProtocol.h"
#include "host/HLXSPDevice.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kMaxBackoff{10000};
// The device gathers a reply in 80 bytes; a longer run is noise.
constexpr std::size_t kChunkLimit = 80;
// 8N1: a start bit, 8 data bits and a stop bit per byte.
constexpr int kBitsPerByte = 10;

int ReplyLength(const uint8_t* request, std::size_t len) {
    if (len < 4) return monitor::kShortReplyLen;
    return request[3] == monitor::kCmdCellVoltages ? monitor::kLongReplyLen : monitor::kShortReplyLen;
}

}  // namespace

BusScheduler::BusScheduler(SerialPort& port, int32_t speed, const Options& options, Listener& listener)
    : port_(port), speed_(speed), options_(options), listener_(listener), backoff_(kFirstBackoff) {}

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
            if (i > 0) listener_.OnTrace(port_.Path(), false, buf, i, "echo");
            if (i == n) continue;
            if (!active_) {
                listener_.OnTrace(port_.Path(), false, buf + i, n - i, "unasked, dropped");
                continue;
            }
            listener_.OnTrace(port_.Path(), false, buf + i, n - i, nullptr);
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
    if (rx_.size() >= kChunkLimit) return true;
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
        if (d.resends_in_cycle >= kResendsPerCycle) {
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
        listener_.OnDeviceError(d, "tick", e.what());
    } catch (...) {
        listener_.OnDeviceError(d, "tick", "unknown exception");
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
        listener_.OnDeviceError(d, "rx", e.what());
    } catch (...) {
        listener_.OnDeviceError(d, "rx", "unknown exception");
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
    listener_.OnCycleEnd(d, completed);
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
        listener_.OnTrace(port_.Path(), true, data, len, "not sent, port closed");
        return;
    }
    try {
        port_.FlushInput();
        rx_.clear();
        port_.Write(data, len);
        listener_.OnTrace(port_.Path(), true, data, len, nullptr);
    } catch (const SerialPort::Error& e) {
        // Thrown through the plug-in it would leave the device half-way in
        // a call; the failure is handled once the call has returned.
        write_failure_ = e.what();
        return;
    }
    echo_.assign(data, data + len);
    echo_pos_ = 0;
    active_ = &d;
    expected_len_ = ReplyLength(data, len);
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
    listener_.OnPortEvent(port_.Path(), "lost (" + why + "), reopening in " +
                                            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(backoff_).count()) +
                                            " ms");
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
    listener_.OnPortEvent(port_.Path(), "reopened");
    for (BusDevice* d : devices_) d->next_poll = std::min(d->next_poll, now);
}
