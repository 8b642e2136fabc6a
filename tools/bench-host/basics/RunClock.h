#pragma once
// The clocks a run reads and the waits it makes on them, passed in so that
// a test can hold time still and move it by hand: the monotonic clock that
// every timer and duration of the run is measured on, the wall clock that
// stamps what is stored and shown (and that NTP, a person or a boot without
// a real-time clock may step), and the two waits the run makes, the bus
// loop's for its ports and the store thread's for its queue.  A run on a
// bench uses RealClock.
#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

class RunClock {
public:
    using Steady = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    virtual ~RunClock() = default;

    virtual Steady::time_point Now() const = 0;
    virtual Wall::time_point WallNow() const = 0;

    // Waits until a descriptor is ready or `until` on the monotonic clock
    // has come, as poll(2) does: the count of descriptors ready, -1 with
    // errno on failure.  A descriptor below 0 is not waited on.
    virtual int Poll(std::vector<pollfd>& fds, Steady::time_point until) = 0;

    // Waits on cv, lock held, until done() or `until` has come.  done is
    // checked with the lock held, as std::condition_variable's own waits do.
    virtual void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Steady::time_point until,
                           const std::function<bool()>& done) = 0;
};
