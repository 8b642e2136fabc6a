#pragma once
// A run's clocks held still and moved by the test: the monotonic clock moves
// only when the run waits (to the earlier of what it waits for and the next
// thing the test has set to happen), the wall clock moves with it and by the
// steps the test gives it.  Nothing sleeps: a minute of a run passes in
// milliseconds, and every run of a case sees the same times.
//
// The store thread waits on this clock too: moving the clock wakes it as
// its own deadline would.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "basics/RunClock.h"

class FakeClock : public RunClock {
public:
    // The monotonic clock starts at `start`; the wall clock at `wall_start`.
    FakeClock(Steady::time_point start, Wall::time_point wall_start);

    Steady::time_point Now() const override;
    Wall::time_point WallNow() const override;
    int Poll(std::vector<pollfd>& fds, Steady::time_point until) override;
    void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Steady::time_point until,
                   const std::function<bool()>& done) override;

    Steady::time_point Start() const { return start_; }
    // Something that happens at a time from the start (bytes arriving, the
    // wall clock stepped); those at one time in the order given.
    void At(Steady::duration from_start, std::function<void()> what);
    // The wall clock set forward (or back, negative) at a time from the start.
    void StepWallAt(Steady::duration from_start, std::chrono::milliseconds step);
    // The wall clock's pace against the monotonic one: NTP slewing it, in
    // parts per million (500 at most, as adjtime slews).
    void SlewWall(int ppm);

    // Runs what is due at the present time; the count of things run.
    int RunDue();

private:
    struct Waiter {
        std::mutex* mutex;
        std::condition_variable* cv;
    };
    void MoveTo(Steady::time_point t);

    const Steady::time_point start_;
    const Wall::time_point wall_start_;
    mutable std::mutex mu_;
    Steady::time_point now_;
    std::chrono::milliseconds wall_offset_{0};
    int slew_ppm_ = 0;
    std::multimap<Steady::time_point, std::function<void()>> timeline_;
    std::vector<Waiter> waiters_;
};
