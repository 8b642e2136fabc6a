#pragma once
// The poll loop of `bench-host run`: services every bus's scheduler, waits
// for bytes or the next timer, and stops on Ctrl-C or SIGTERM, after the
// rounds or the duration asked for.  It writes nothing itself: what happens
// on the buses reaches the outputs as run events.  Time is the clock's it is
// given: both clocks are read, and the ports waited on, through it.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "basics/RealClock.h"
#include "events/RunEvent.h"
#include "run/RunSetup.h"

class RunEvents;

class BusLoop {
public:
    struct Limits {
        long rounds = 0;      // cycles of every device; 0: no limit
        double duration = 0;  // seconds; 0: no limit
    };

    // Catches the stop signals (SIGINT, SIGTERM, SIGHUP) while it lives.
    BusLoop(RunSetup& site, RunEvents& events, Limits limits, RunClock& clock = RealClock::Shared());
    ~BusLoop();
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;

    // Until stopped or a limit is reached.
    void Run();
    // The stops asked for (StopBudget::Cut): the stop signals caught, and
    // the end of polling when a limit ended it.  From any thread.
    int StopRequests() const;
    // The steps of the wall clock seen while it ran (ClockWatch).
    const std::vector<run::ClockStepped>& ClockSteps() const { return clock_steps_; }

private:
    bool Done(std::chrono::steady_clock::time_point now) const;

    RunSetup& site_;
    RunEvents& events_;
    Limits limits_;
    RunClock& clock_;
    std::chrono::steady_clock::time_point started_{};
    std::vector<struct sigaction> previous_;
    std::vector<run::ClockStepped> clock_steps_;
    std::atomic<bool> ended_by_limit_{false};
};
