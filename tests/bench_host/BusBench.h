#pragma once
// One bus of a site on a bench that exists only in memory: the scheduler
// under test, a scripted line in place of the serial port, the plug-in's
// own battery devices wired to the scheduler as a run wires them, and
// monitors that answer each request (or do not) after a scripted delay.
// The clock is the bench's: nothing sleeps, a minute of polling passes in
// milliseconds, and every run of a case sees the same times.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bus/BusDevice.h"
#include "bus/BusPort.h"
#include "bus/BusScheduler.h"
#include "events/RunEvents.h"
#include "events/RunOutput.h"
#include "host/standin/HostStandin.h"
#include "record/BatteryRecord.h"

class UPSBattery29;

namespace busbench {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Ms = std::chrono::duration<double, std::milli>;

// A serial port as the scheduler sees it: what is written is kept, what the
// monitors send waits in chunks and each Read hands out one chunk, so that
// two frames in one chunk and two chunks in one wake-up are both possible.
// Writes and opens fail on demand.
class FakeLine : public BusPort {
public:
    void Open(int32_t speed) override;
    void Close() override;
    int Fd() const override { return -1; }
    const std::string& Path() const override { return path_; }
    void Write(const uint8_t* data, std::size_t len) override;
    std::size_t Read(uint8_t* buf, std::size_t len) override;

    // Bytes from the line; lost when the port is closed, as a closed tty
    // loses them.
    void Arrive(Bytes chunk);

    bool open = false;
    int32_t speed = 0;
    int open_calls = 0;
    // The next opens to refuse, the next writes to fail.
    int refuse_opens = 0;
    int fail_writes = 0;
    // Calls made while the port was closed: the scheduler must not.
    int used_while_closed = 0;
    // Every write, whole.
    std::vector<Bytes> written;

private:
    std::string path_ = "/dev/ttyFAKE0";
    std::deque<Bytes> waiting_;
};

// A request as it went out on the line.
struct Sent {
    Clock::time_point at;
    uint8_t addr = 0;     // bus address
    uint8_t command = 0;  // 0 when the bytes are no request
    Bytes bytes;
};

// A piece of a monitor's answer: bytes that come this long after the
// request.  Unseen bytes land without the line being reported readable, as
// bytes do that come between the loop's wait and its next turn.
struct Piece {
    Clock::duration after{};
    Bytes bytes;
    bool seen = true;
};

// What the monitors hold: every reading the same, so that a record shows
// which reply it was made of.
struct Readings {
    uint16_t cell = 1350;            // 13.50 V a cell
    uint16_t string_voltage = 3900;  // 390.0 V
    uint16_t current = 125;          // 12.5 A
    uint16_t temperature = 2500;     // 25.00 degrees
    std::map<int, uint16_t> slots;   // cell slots that read otherwise
};

// The whole reply to a command, from the monitor at bus address addr.
Bytes Reply(uint8_t addr, uint8_t command, const Readings& r = Readings{});

// A round kept: checked and stored, with the record the device handed over.
struct Kept {
    std::size_t device = 0;  // index in the order added
    Clock::time_point at;
    BatteryRecord record;
};

// The run events the tests look at.
class EventLog : public RunOutput {
public:
    void OnEvent(const RunEvent& event) override;
    std::vector<std::string> notes;  // of the traces, in order
    std::vector<run::PortLost> lost;
    std::vector<run::PortReopened> reopened;
    // Changes of health, with the time they were told.
    struct HealthAt {
        const BusDevice* device = nullptr;
        DeviceHealth::Change change;
        Clock::time_point at;
    };
    std::vector<HealthAt> health;
    const Clock::time_point* clock = nullptr;
    int device_call_failures = 0;
};

class Bench : public hoststandin::HostObserver {
public:
    // How a monitor answers one request: n counts the requests to it from
    // 0, nth_of_command those with this command.
    struct Asked {
        uint8_t addr = 0;
        uint8_t command = 0;
        int n = 0;
        int nth_of_command = 0;
        Clock::time_point at;
    };
    using Monitor = std::function<std::vector<Piece>(const Asked&)>;

    // Devices at configured addresses 1, 2, ... (bus addresses 0x81, ...),
    // each answering at once: the whole reply 10 ms after the request.
    Bench(BusScheduler::Options options, int devices);
    ~Bench() override;
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    static constexpr std::chrono::milliseconds kTurnaround{10};
    static std::vector<Piece> Whole(const Asked& a, const Readings& r = Readings{});

    // The monitor of device i (configured address i + 1).
    void SetMonitor(std::size_t i, Monitor m) { monitors_[i] = std::move(m); }
    uint8_t BusAddr(std::size_t i) const;

    // Something done to the line at a time from the start.
    void At(Clock::duration from_start, std::function<void()> what);
    void HangUpAt(Clock::duration from_start);
    // Bytes that come at a time from the start, whoever asked.
    void ArriveAt(Clock::duration from_start, Bytes bytes, bool seen = true);

    // The loop held up (the process descheduled): no turn from a time from
    // the start for that long; bytes that come meanwhile wait on the line.
    void StallAt(Clock::duration from_start, Clock::duration length);

    // Polls from the start until that long after it.
    void RunFor(Clock::duration until);

    Clock::time_point Start() const { return start_; }
    Clock::time_point Now() const { return now_; }
    Ms Since(Clock::time_point t) const { return Ms(t - start_); }

    // The line hears each request back first, as a half-duplex adapter does.
    bool echo = false;

    FakeLine line;
    RunEvents events;
    EventLog log;
    BusScheduler scheduler;
    std::vector<std::unique_ptr<BusDevice>> devices;
    std::vector<Sent> sent;
    std::vector<Kept> kept;
    // When each device started its cycles.
    std::vector<std::vector<Clock::time_point>> cycle_starts;

    std::vector<Sent> SentTo(std::size_t device) const;
    std::vector<Kept> KeptOf(std::size_t device) const;

    // Host calls, as a run makes them.
    void OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) override;
    void OnSpRefresh(HLXSPDevice& dev) override;
    void OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) override;

private:
    std::size_t IndexOf(const HLXVDevice& dev) const;
    // The requests written since the last look, and the answers they call.
    void Answer();
    void Turn(bool readable, bool hangup);

    Clock::time_point start_;
    Clock::time_point now_;
    bool started_ = false;
    std::vector<std::unique_ptr<UPSBattery29>> plugs_;
    std::vector<Monitor> monitors_;
    std::map<uint8_t, int> asked_;
    std::map<std::pair<uint8_t, uint8_t>, int> asked_command_;
    std::size_t answered_ = 0;
    // Things to do, by time; those at one time in the order given.
    std::multimap<Clock::time_point, std::function<void(bool&, bool&)>> timeline_;
    std::map<Clock::time_point, Clock::time_point> stalls_;  // from, to
    hoststandin::HostObserver* previous_;
    std::ostringstream console_;
    std::streambuf* cout_;
};

}  // namespace busbench
