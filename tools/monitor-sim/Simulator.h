#pragma once
// The simulator's main loop: reads the line, finds requests, lets the
// monitor at the requested address answer (every monitor there, when two
// are set to one address), lets the fault plan spoil or
// withhold the reply, and writes it out on the wire's timing.  Replies are
// scheduled, not slept on: the loop waits for the line and for the next
// write due at once, so a monitor holding its reply back delays only its
// own answers.  Everything that decides what goes on the line lives in the
// classes it drives; this class only moves bytes and keeps count.
#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "FaultPlan.h"
#include "MonitorModel.h"
#include "ReplySchedule.h"
#include "RequestParser.h"
#include "TraceLog.h"
#include "ValuesLog.h"
#include "WireTiming.h"

namespace monitor_sim {

class Simulator {
public:
    struct Options {
        // Bus addresses answered, one monitor each; an address given again is
        // a further monitor set to it (a site fault): every monitor at the
        // address answers each request to it.
        std::vector<uint8_t> addrs;
        MonitorProfile profile;
        // How far each further monitor at one address reads from the one
        // before it, and, paced, how much later it starts its answer.
        MonitorProfile::Offset twin_offset;
        std::chrono::microseconds twin_delay{1000};
        FaultPlan::Settings faults;
        uint32_t seed = 0;
        bool paced = false;
        // Play a half-duplex RS-485 adapter: every byte the master sends
        // comes back to it, ahead of any reply.
        bool echo = false;
        int baud = 19200;
        std::chrono::microseconds turnaround{5000};
        std::optional<uint64_t> max_requests;  // stop after this many requests to our addresses
        std::optional<double> duration_s;      // stop after this long
    };

    struct Summary {
        uint64_t requests = 0;  // to our addresses
        uint64_t foreign = 0;   // to other addresses, ignored
        uint64_t unknown = 0;   // to us with a command no monitor answers
        uint64_t replies = 0;   // written out in full
        uint64_t intact = 0;    // of which carried the monitor's frame unchanged
        uint64_t skipped_bytes = 0;
        uint64_t over_owed = 0;  // unanswered: the monitor already owed all the replies it may
        uint64_t answered_twice = 0;  // requests answered by two monitors or more at one address
        FaultPlan::Counts faults;

        std::string Line() const;
    };

    Simulator(Options options, const TraceLog& trace, ValuesLog& values);

    // Serves the line on fd until *stop becomes non-zero, a limit is reached,
    // or the line fails.  The caller blocks its stop signals; wait_mask is
    // the mask to wait with, so a signal can only arrive while waiting.
    // Returns 0 on a clean stop, 1 when the line failed (message on stderr).
    int Run(int fd, bool pty, const volatile std::sig_atomic_t* stop, const sigset_t* wait_mask);

    Summary Totals() const;

private:
    using Clock = std::chrono::steady_clock;

    // One monitor's answer among what the schedule's number stands for.
    struct Part {
        MonitorModel* model = nullptr;
        std::vector<uint16_t> raw;
        bool intact = false;
        bool late = false;
        std::optional<uint8_t> as_monitor;  // sent with another monitor's address
    };
    // What the schedule's numbers stand for, until the reply is out: the
    // answers of every monitor at the address asked, on the line together.
    struct Owed {
        uint8_t addr = 0;
        uint8_t command = 0;
        std::vector<Part> parts;
        std::string tx;  // the trace line, written with the first byte
    };

    void HandleBytes(const uint8_t* data, size_t len, Clock::time_point read_at);
    // monitors: every monitor at the address asked, the first one first.
    void Answer(const std::vector<MonitorModel*>& monitors, uint8_t command, Clock::time_point read_at);
    // Writes what is due by now; false when the line took no more (every
    // reply owed is then abandoned).
    bool WriteDue(int fd);
    // Finishes the reply partly on the line, on its timing.
    void FinishOnLine(int fd);
    void Abandon();
    double Elapsed() const;
    std::vector<MonitorModel*> ModelsAt(uint8_t addr);

    Options options_;
    const TraceLog& trace_;
    ValuesLog& values_;
    std::vector<MonitorModel> models_;
    RequestParser parser_;
    FaultPlan faults_;
    WireTiming timing_;
    ReplySchedule schedule_;
    std::map<uint64_t, Owed> owed_;
    Summary summary_;
    Clock::time_point start_;
    bool limit_reached_ = false;
};

}  // namespace monitor_sim
