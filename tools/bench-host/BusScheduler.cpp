#include "BusScheduler.h"

#include <algorithm>
#include <exception>

#include "RunEvents.h"
#include "SerialPort.h"
#include "host/HLXSPDevice.h"
#include "protocol/MonitorProtocol.h"

namespace {

using Moment = DeviceHealth::Moment;

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kMaxBackoff{10000};
// The default quiet guard covers a reply this many response timeouts late.
constexpr int kGuardTimeouts = 2;

// The moment on both clocks for a steady-clock time of this loop turn.
Moment At(std::chrono::steady_clock::time_point now) {
    return Moment{now, std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                                               std::chrono::steady_clock::now() - now)};
}

// When the first failed request of the device's open cycle went out, if
// one failed.
std::optional<Moment> Asked(const BusDevice& d) {
    if (!d.cycle_failure) return std::nullopt;
    return At(d.failed_request_at);
}

}  // namespace

BusScheduler::BusScheduler(SerialPort& port, int32_t speed, const Options& options, RunEvents& events)
    : port_(port), speed_(speed), options_(options), events_(events), backoff_(kFirstBackoff) {}

void BusScheduler::Add(BusDevice* d) {
    d->bus = this;
    devices_.push_back(d);
}

int BusScheduler::Fd() const { return port_.Fd(); }

const std::string& BusScheduler::Path() const { return port_.Path(); }

BusScheduler::Clock::duration BusScheduler::OutageTime(Clock::time_point now) const {
    return down_total_ + (port_down_ ? now - down_since_ : Clock::duration::zero());
}

void BusScheduler::Trace(bool sent, const uint8_t* data, std::size_t len, const std::string& note) {
    events_.Publish(run::Trace{port_.Path(), sent, std::vector<uint8_t>(data, data + len), note, run::WallClock::now()});
}

void BusScheduler::Publish(BusDevice& d, const std::optional<DeviceHealth::Change>& change) {
    if (change) events_.Publish(run::HealthChanged{&d, *change});
}

BusScheduler::Clock::duration BusScheduler::Period() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.tick_period));
}

BusScheduler::Clock::duration BusScheduler::ResponseTimeout(int reply_len) const {
    const double wire_s = static_cast<double>((monitor::kRequestLen + reply_len) * monitor::kBitsPerByte) / speed_;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wire_s)) +
           std::chrono::milliseconds(options_.response_margin_ms);
}

BusScheduler::Clock::duration BusScheduler::QuietGuard(int reply_len) const {
    if (options_.quiet_guard_ms) return std::chrono::milliseconds(*options_.quiet_guard_ms);
    return kGuardTimeouts * ResponseTimeout(reply_len);
}

void BusScheduler::Start(Clock::time_point now) {
    for (BusDevice* d : devices_) d->next_poll = now;
}

BusScheduler::Clock::time_point BusScheduler::NextWake(Clock::time_point now) const {
    Clock::time_point wake = now + std::chrono::seconds(1);
    if (port_down_) {
        wake = std::min(wake, reopen_at_);
        for (const BusDevice* d : devices_) wake = std::min(wake, d->next_poll);  // counted as missed
    } else if (guarding_) {
        wake = std::min(wake, quiet_until_);
    } else {
        if (!rx_.empty()) wake = std::min(wake, last_rx_ + std::chrono::milliseconds(options_.frame_gap_ms));
        if (active_) {
            wake = std::min(wake, deadline_);
        } else {
            for (const BusDevice* d : devices_) wake = std::min(wake, d->next_poll);
        }
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
            if (guarding_) {
                // The line has to be quiet: whatever comes now answers a
                // request already given up, and must reach no device.
                quiet_until_ = now + guard_len_;
                if (timed_out_ && !late_seen_) {
                    late_seen_ = true;
                    Failed(*timed_out_, FailureReason::kLateReply);
                }
                Trace(false, buf + i, n - i, timed_out_ ? "late reply, dropped" : "after a refused reply, dropped");
                continue;
            }
            if (!active_) {
                Trace(false, buf + i, n - i, "unasked, dropped");
                continue;
            }
            Trace(false, buf + i, n - i, "");
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
    const uint8_t* end = rx_.data() + rx_.size();
    const uint8_t* start = monitor::FindStartByte(rx_.data(), rx_.size());
    return start != end && end - start >= expected_len_;
}

void BusScheduler::Service(Clock::time_point now) {
    if (port_down_) {
        CountMissedCycles(now);
        if (now >= reopen_at_) TryReopen(now);
        return;
    }
    if (guarding_ && now >= quiet_until_) GuardOver(now);
    if (!guarding_) {
        if (!rx_.empty() && now - last_rx_ >= std::chrono::milliseconds(options_.frame_gap_ms)) Deliver(now);
        if (active_ && rx_.empty() && now >= deadline_ && !guarding_) ReplyOverdue(*active_, now);
    }
    if (!active_ && !guarding_ && !port_down_) {
        BusDevice* due = nullptr;
        for (BusDevice* d : devices_) {
            if (options_.cycle_limit > 0 && d->completed + d->abandoned + d->missed >= options_.cycle_limit) continue;
            if (d->next_poll <= now && (!due || d->next_poll < due->next_poll)) due = d;
        }
        if (due) Tick(*due, now);
    }
    const Moment m = At(now);
    for (BusDevice* d : devices_) Publish(*d, d->health.Check(m));
}

void BusScheduler::ReplyOverdue(BusDevice& d, Clock::time_point now) {
    // Nothing at all, or the start of a reply that never completed.
    const FailureReason why = exchange_.empty()
                                  ? FailureReason::kTimeout
                                  : JudgeRefusal(exchange_.data(), exchange_.size(), expected_len_, expected_addr_);
    Trace(false, exchange_.data(), exchange_.size(), std::string("no reply in time: ") + FailureName(why));
    Failed(d, why);
    StartGuard(now, &d);
}

void BusScheduler::StartGuard(Clock::time_point now, BusDevice* timed_out) {
    rx_.clear();
    guarding_ = true;
    timed_out_ = timed_out;
    late_seen_ = false;
    // After a timeout the reply may still come, as late as the guard
    // allows.  A refused reply has come; only its rest may follow, within
    // the gap that ends a chunk.
    guard_len_ = timed_out ? QuietGuard(expected_len_) : std::chrono::milliseconds(options_.frame_gap_ms);
    quiet_until_ = now + guard_len_;
}

void BusScheduler::GuardOver(Clock::time_point now) {
    guarding_ = false;
    BusDevice* d = timed_out_;
    timed_out_ = nullptr;
    if (!d) return;
    if (d->resends_in_cycle >= monitor::kResendsPerCycle) {
        EndCycle(*d, false, now);  // timed out: the bus moves on
    } else {
        Tick(*d, now);
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
    exchange_.insert(exchange_.end(), chunk.begin(), chunk.end());
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
        const FailureReason why = JudgeRefusal(exchange_.data(), exchange_.size(), expected_len_, expected_addr_);
        Trace(false, exchange_.data(), exchange_.size(), std::string("refused: ") + FailureName(why));
        Failed(d, why);
        EndCycle(d, false, now);
        StartGuard(now, nullptr);
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

void BusScheduler::Failed(BusDevice& d, FailureReason why) {
    ++At(d.failures, why);
    // A late reply comes after its exchange was already counted as failed;
    // it does not change why the cycle failed.
    if (why != FailureReason::kLateReply) {
        if (!d.cycle_failure) d.failed_request_at = d.request_sent_at;
        d.cycle_failure = why;
    }
    events_.Publish(run::ExchangeFailed{&d, why});
}

void BusScheduler::EndCycle(BusDevice& d, bool completed, Clock::time_point now) {
    const bool was_open = d.cycle_open;
    if (was_open) {
        d.cycle_open = false;
        if (completed) {
            ++d.completed;
        } else {
            ++d.abandoned;
        }
    }
    Release(d, now);
    const Moment m = At(now);
    if (!completed) {
        if (was_open) Publish(d, d.health.CycleFailed(d.cycle_failure.value_or(FailureReason::kTimeout), m, Asked(d)));
        return;
    }
    Publish(d, d.health.CycleCompleted(m));
    if (d.last) {
        if (d.cell_count == 0) d.LearnCells();
        events_.Publish(run::RoundCompleted{&d, *d.last, d.last_round_at});
    }
}

void BusScheduler::Release(BusDevice& d, Clock::time_point now) {
    if (active_ == &d) active_ = nullptr;
    rx_.clear();
    d.next_poll = std::max(d.cycle_started_at + Period(), now);
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
        Trace(true, data, len, "");
    } catch (const SerialPort::Error& e) {
        // Thrown through the plug-in it would leave the device half-way in
        // a call; the failure is handled once the call has returned.
        write_failure_ = e.what();
        return;
    }
    echo_.assign(data, data + len);
    echo_pos_ = 0;
    active_ = &d;
    d.request_sent_at = Clock::now();
    exchange_.clear();
    // The reply the request asks for; a request the monitor would not answer
    // is given the short reply's time, so the bus is not held long for it.
    uint8_t command = 0;
    expected_len_ = monitor::kShortReplyLen;
    if (monitor::ParseRequest(data, static_cast<int>(len), &expected_addr_, &command) &&
        monitor::ReplyLength(command) > 0)
        expected_len_ = monitor::ReplyLength(command);
    deadline_ = Clock::now() + ResponseTimeout(expected_len_);
}

void BusScheduler::DeviceStartedCycle(BusDevice& d) {
    // A cycle still open was given up by the device itself.
    if (d.cycle_open) {
        ++d.abandoned;
        Publish(d, d.health.CycleFailed(d.cycle_failure.value_or(FailureReason::kTimeout), Moment::Now(), Asked(d)));
    }
    ++d.cycles;
    d.cycle_open = true;
    d.resends_in_cycle = 0;
    d.cycle_failure.reset();
    d.cycle_started_at = Clock::now();
}

void BusScheduler::DeviceCompletedRound(BusDevice& /*d*/) { round_done_ = true; }

void BusScheduler::PortFailed(const std::string& why, Clock::time_point now) {
    port_.Close();
    port_down_ = true;
    ++outages_;
    down_since_ = now;
    rx_.clear();
    guarding_ = false;
    timed_out_ = nullptr;
    reopen_at_ = now + backoff_;
    events_.Publish(run::PortLost{port_.Path(), why, std::chrono::duration_cast<std::chrono::milliseconds>(backoff_)});
    if (active_) {
        // The device keeps its pending request; its first tick after the
        // reopening resends it.
        Failed(*active_, FailureReason::kPortLost);
        active_->next_poll = active_->cycle_started_at + Period();
        active_ = nullptr;
    }
    const Moment m = At(now);
    for (BusDevice* d : devices_) Publish(*d, d->health.PortLost(m));
}

void BusScheduler::CountMissedCycles(Clock::time_point now) {
    // Every poll time that passes while the port is away is a cycle lost.
    for (BusDevice* d : devices_) {
        while (d->next_poll <= now) {
            ++d->missed;
            d->health.CycleMissed();
            d->next_poll += Period();
        }
    }
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
    down_total_ += now - down_since_;
    events_.Publish(run::PortReopened{port_.Path(), std::chrono::duration_cast<std::chrono::milliseconds>(now - down_since_)});
    for (BusDevice* d : devices_) {
        d->health.PortReopened();
        d->next_poll = std::min(d->next_poll, now);
    }
}
