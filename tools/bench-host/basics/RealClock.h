#pragma once
// The machine's clocks: steady_clock, system_clock, poll(2) and the
// condition variable's own timed wait.
#include "basics/RunClock.h"

class RealClock : public RunClock {
public:
    // One for the whole process: it holds no state.
    static RealClock& Shared();

    Steady::time_point Now() const override { return Steady::now(); }
    Wall::time_point WallNow() const override { return Wall::now(); }
    int Poll(std::vector<pollfd>& fds, Steady::time_point until) override;
    void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Steady::time_point until,
                   const std::function<bool()>& done) override;
};
