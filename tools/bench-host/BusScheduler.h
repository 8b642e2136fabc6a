#pragma once
// The host's side of one serial bus with one or more monitors on it.  The
// bus is given to one device at a time: a device idle at its poll time gets
// a tick and starts a cycle; while it waits for a reply it gets a tick only
// when the reply is overdue (its time on the wire at the line speed plus a
// turnaround margin), since a tick while the reply is still arriving would
// make it resend; after the resends a cycle allows, the cycle counts as
// timed out and the bus moves on.  Received bytes go to the device that
// owns the bus.  An I/O error closes the port and it is reopened with
// backoff; the devices keep their state meanwhile.
//
// A reply carries no command code, so only the host's timing tells a late
// reply from the answer to a newer request.  After a reply timeout nothing
// more is written on the bus until the line has been quiet for the quiet
// guard; whatever arrives meanwhile is dropped and counted as a late reply.
// So there is never more than one request outstanding on a bus.  After a
// refused reply the line must be quiet for the chunk gap, so that the rest
// of that reply is not taken for the start of the next.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BusDevice.h"

class RunEvents;
class SerialPort;

class BusScheduler {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        double tick_period = 2.0;
        int response_margin_ms = 100;
        int frame_gap_ms = 20;
        // Quiet line needed after a reply timeout before the next request;
        // without it, twice the timed-out request's response timeout.
        std::optional<int> quiet_guard_ms;
        bool echo = false;
        // Cycles of each device after which it is polled no more (--rounds);
        // 0: no limit.
        long cycle_limit = 0;
    };

    BusScheduler(SerialPort& port, int32_t speed, const Options& options, RunEvents& events);

    void Add(BusDevice* d);
    const std::vector<BusDevice*>& Devices() const { return devices_; }
    bool PortOpen() const { return !port_down_; }
    int Fd() const;
    const std::string& Path() const;
    // Times the port was lost, and for how long in all (an outage still
    // going counts up to now).
    int Outages() const { return outages_; }
    Clock::duration OutageTime(Clock::time_point now) const;

    // First cycles are due at once, in the order the devices were added.
    void Start(Clock::time_point now);
    // When Service must run next at the latest.
    Clock::time_point NextWake(Clock::time_point now) const;
    // Bytes are waiting on the port (or it hung up).
    void OnReadable(Clock::time_point now, bool hangup);
    // Timers: reopening, chunk gaps, overdue replies, the quiet guard, due
    // polls, and the devices' health as time passes.
    void Service(Clock::time_point now);

    // Host calls made by the device that owns the bus, during its call.
    void DeviceSent(BusDevice& d, const uint8_t* data, std::size_t len);
    void DeviceStartedCycle(BusDevice& d);
    void DeviceCompletedRound(BusDevice& d);

    // How long a reply of reply_len bytes may take after a request.
    Clock::duration ResponseTimeout(int reply_len) const;
    // How long the line must be quiet after a timeout of a request that
    // awaited reply_len bytes.
    Clock::duration QuietGuard(int reply_len) const;

private:
    void Tick(BusDevice& d, Clock::time_point now);
    void Deliver(Clock::time_point now);
    void ReplyOverdue(BusDevice& d, Clock::time_point now);
    void GuardOver(Clock::time_point now);
    void StartGuard(Clock::time_point now, BusDevice* timed_out);
    void Failed(BusDevice& d, FailureReason why);
    void EndCycle(BusDevice& d, bool completed, Clock::time_point now);
    void Release(BusDevice& d, Clock::time_point now);
    void PortFailed(const std::string& why, Clock::time_point now);
    void TryReopen(Clock::time_point now);
    void CountMissedCycles(Clock::time_point now);
    bool ChunkComplete() const;
    void AfterDeviceCall(Clock::time_point now);
    void Trace(bool sent, const uint8_t* data, std::size_t len, const std::string& note);
    void Publish(BusDevice& d, const std::optional<DeviceHealth::Change>& change);
    Clock::duration Period() const;

    SerialPort& port_;
    int32_t speed_;
    Options options_;
    RunEvents& events_;
    std::vector<BusDevice*> devices_;

    // The exchange in progress: the device that owns the bus, when its reply
    // is due, what its request asked for, and every byte handed to it since.
    BusDevice* active_ = nullptr;
    Clock::time_point deadline_{};
    int expected_len_ = 0;
    uint8_t expected_addr_ = 0;
    std::vector<uint8_t> exchange_;

    std::vector<uint8_t> rx_;  // the chunk being gathered
    Clock::time_point last_rx_{};
    std::vector<uint8_t> echo_;
    std::size_t echo_pos_ = 0;

    // The quiet line after a failed exchange.  After a timeout the device
    // whose reply was overdue keeps the bus and gets its tick (a resend, or
    // the end of its cycle) once the line has been quiet.
    bool guarding_ = false;
    Clock::time_point quiet_until_{};
    Clock::duration guard_len_{};
    BusDevice* timed_out_ = nullptr;
    bool late_seen_ = false;

    // Set by the host calls during one device call, read after it.
    bool round_done_ = false;
    bool sent_ = false;
    std::optional<std::string> write_failure_;

    bool port_down_ = false;
    Clock::time_point reopen_at_{};
    Clock::duration backoff_{};
    int outages_ = 0;
    Clock::time_point down_since_{};
    Clock::duration down_total_{};
};
