#include "basics/RealClock.h"

#include <algorithm>

RealClock& RealClock::Shared() {
    static RealClock clock;
    return clock;
}

int RealClock::Poll(std::vector<pollfd>& fds, Steady::time_point until) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()).count();
    // Rounded up: woken a millisecond late rather than early, so that the
    // timer it waits for is due when the loop looks.
    return ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait) + 1));
}

void RealClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Steady::time_point until,
                          const std::function<bool()>& done) {
    cv.wait_until(lock, until, done);
}
