#pragma once
// A serial line in memory with monitors on it, for a whole run on a fake
// clock (FakeClock): each request written is answered by the monitor at
// its address, as its script says, in pieces that arrive at times after
// the request on the clock.  Bytes waiting make the line's descriptor (an
// eventfd) readable, so the run's own loop finds them as it finds a serial
// port's.  A line may be unplugged (reads and writes fail, bytes are lost)
// and plugged back.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bus/BusPort.h"

class FakeClock;

class MonitorLine : public BusPort {
public:
    using Bytes = std::vector<uint8_t>;
    using Clock = std::chrono::steady_clock;

    // A request as the monitor at its address heard it: n counts the
    // requests to that monitor from 0, cells the cell-voltage ones.
    struct Request {
        uint8_t addr = 0;
        uint8_t command = 0;
        int n = 0;
        int cells = 0;
    };
    // Bytes that come this long after the request.
    struct Piece {
        Clock::duration after{};
        Bytes bytes;
    };
    using Monitor = std::function<std::vector<Piece>(const Request&)>;

    // What a monitor reads: every cell the same but the weak one.
    struct Readings {
        uint16_t cell = 1350;            // 13.50 V
        int weak_cell = -1;              // 0-based; -1: none
        uint16_t weak = 1120;            // 11.20 V
        uint16_t string_voltage = 3900;  // 390.0 V
        uint16_t current = 15;           // 1.5 A
        uint16_t temperature = 2500;     // 25.00 degrees
    };
    // The whole reply to a request, from the monitor at its address.
    static Bytes Reply(const Request& r, const Readings& readings);
    // The time a monitor takes to answer in full.
    static constexpr std::chrono::milliseconds kTurnaround{10};
    // A monitor that answers every request at once with these readings.
    static Monitor Prompt(const Readings& readings);
    static Monitor Prompt();

    MonitorLine(FakeClock& clock, std::string path);
    ~MonitorLine() override;
    MonitorLine(const MonitorLine&) = delete;
    MonitorLine& operator=(const MonitorLine&) = delete;

    // The monitor at a bus address (0x81 for a device configured at 1).
    void SetMonitor(uint8_t bus_addr, Monitor m) { monitors_[bus_addr] = std::move(m); }
    // Unplugged at a time from the clock's start, and plugged back later.
    void UnplugAt(Clock::duration from_start, Clock::duration for_how_long);

    void Open(int32_t speed) override;
    void Close() override;
    int Fd() const override { return open_ ? event_fd_ : -1; }
    const std::string& Path() const override { return path_; }
    void Write(const uint8_t* data, std::size_t len) override;
    std::size_t Read(uint8_t* buf, std::size_t len) override;

    // Requests written, in order.
    std::vector<Request> asked;

private:
    void Arrive(Bytes chunk);
    void Signal();
    void Drain();

    FakeClock& clock_;
    std::string path_;
    int event_fd_ = -1;
    bool open_ = false;
    bool unplugged_ = false;
    std::map<uint8_t, Monitor> monitors_;
    std::map<uint8_t, int> requests_, cell_requests_;
    std::deque<Bytes> waiting_;
};
