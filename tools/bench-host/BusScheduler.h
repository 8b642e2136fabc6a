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
        bool echo = false;
    };

    BusScheduler(SerialPort& port, int32_t speed, const Options& options, RunEvents& events);

    void Add(BusDevice* d);
    const std::vector<BusDevice*>& Devices() const { return devices_; }
    bool PortOpen() const { return !port_down_; }
    int Fd() const;

    // First cycles are due at once, in the order the devices were added.
    void Start(Clock::time_point now);
    // When Service must run next at the latest.
    Clock::time_point NextWake(Clock::time_point now) const;
    // Bytes are waiting on the port (or it hung up).
    void OnReadable(Clock::time_point now, bool hangup);
    // Timers: reopening, chunk gaps, overdue replies, due polls.
    void Service(Clock::time_point now);

    // Host calls made by the device that owns the bus, during its call.
    void DeviceSent(BusDevice& d, const uint8_t* data, std::size_t len);
    void DeviceStartedCycle(BusDevice& d);
    void DeviceCompletedRound(BusDevice& d);

    // How long a reply of reply_len bytes may take after a request.
    Clock::duration ResponseTimeout(int reply_len) const;

private:
    void Tick(BusDevice& d, Clock::time_point now);
    void Deliver(Clock::time_point now);
    void EndCycle(BusDevice& d, bool completed, Clock::time_point now);
    void Release(BusDevice& d, Clock::time_point now);
    void PortFailed(const std::string& why, Clock::time_point now);
    void TryReopen(Clock::time_point now);
    bool ChunkComplete() const;
    void AfterDeviceCall(Clock::time_point now);
    void Trace(bool sent, const uint8_t* data, std::size_t len, const char* note);

    SerialPort& port_;
    int32_t speed_;
    Options options_;
    RunEvents& events_;
    std::vector<BusDevice*> devices_;

    BusDevice* active_ = nullptr;
    Clock::time_point deadline_{};
    int expected_len_ = 0;

    std::vector<uint8_t> rx_;
    Clock::time_point last_rx_{};
    std::vector<uint8_t> echo_;
    std::size_t echo_pos_ = 0;

    // Set by the host calls during one device call, read after it.
    bool round_done_ = false;
    bool sent_ = false;
    std::optional<std::string> write_failure_;

    bool port_down_ = false;
    Clock::time_point reopen_at_{};
    Clock::duration backoff_{};
};
