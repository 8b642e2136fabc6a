#pragma once
// The poll loop of `bench-host run`: services every bus's scheduler, waits
// for bytes or the next timer, and stops on Ctrl-C or SIGTERM, after the
// rounds or the duration asked for.  It writes nothing itself: what happens
// on the buses reaches the outputs as run events.
#include <chrono>
#include <memory>
#include <vector>

#include "RunSetup.h"

class RunEvents;

class BusLoop {
public:
    struct Limits {
        long rounds = 0;      // cycles of every device; 0: no limit
        double duration = 0;  // seconds; 0: no limit
    };

    BusLoop(RunSetup& site, RunEvents& events, Limits limits);

    // Until stopped; the stop signals are caught only meanwhile.
    void Run();

private:
    bool Done(std::chrono::steady_clock::time_point now) const;

    RunSetup& site_;
    RunEvents& events_;
    Limits limits_;
    std::chrono::steady_clock::time_point started_{};
};
