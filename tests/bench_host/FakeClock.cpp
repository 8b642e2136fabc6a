#include "FakeClock.h"

#include <algorithm>

FakeClock::FakeClock(Steady::time_point start, Wall::time_point wall_start)
    : start_(start), wall_start_(wall_start), now_(start) {}

RunClock::Steady::time_point FakeClock::Now() const {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
}

RunClock::Wall::time_point FakeClock::WallNow() const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto run = now_ - start_;
    const auto slewed = run + run * slew_ppm_ / 1000000;
    return wall_start_ + std::chrono::duration_cast<Wall::duration>(slewed) + wall_offset_;
}

void FakeClock::At(Steady::duration from_start, std::function<void()> what) {
    std::lock_guard<std::mutex> lock(mu_);
    timeline_.emplace(start_ + from_start, std::move(what));
}

void FakeClock::StepWallAt(Steady::duration from_start, std::chrono::milliseconds step) {
    At(from_start, [this, step] {
        std::lock_guard<std::mutex> lock(mu_);
        wall_offset_ += step;
    });
}

void FakeClock::SlewWall(int ppm) {
    std::lock_guard<std::mutex> lock(mu_);
    slew_ppm_ = ppm;
}

int FakeClock::RunDue() {
    int ran = 0;
    for (;;) {
        std::function<void()> what;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (timeline_.empty() || timeline_.begin()->first > now_) return ran;
            what = std::move(timeline_.begin()->second);
            timeline_.erase(timeline_.begin());
        }
        what();
        ++ran;
    }
}

void FakeClock::MoveTo(Steady::time_point t) {
    std::vector<Waiter> waiters;
    {
        std::lock_guard<std::mutex> lock(mu_);
        now_ = std::max(now_, t);
        waiters = waiters_;
    }
    // Under each waiter's own lock, so that a wait that has just found its
    // time not come cannot miss the move.
    for (const Waiter& w : waiters) {
        std::lock_guard<std::mutex> lock(*w.mutex);
        w.cv->notify_all();
    }
}

int FakeClock::Poll(std::vector<pollfd>& fds, Steady::time_point until) {
    for (;;) {
        RunDue();
        // What is ready now, as the real wait would see it on waking.
        const int ready = ::poll(fds.data(), fds.size(), 0);
        if (ready != 0) return ready;
        Steady::time_point next = until;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (now_ >= until) return 0;
            if (!timeline_.empty()) next = std::min(next, timeline_.begin()->first);
        }
        MoveTo(next);
    }
}

void FakeClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Steady::time_point until,
                          const std::function<bool()>& done) {
    {
        std::lock_guard<std::mutex> own(mu_);
        waiters_.push_back(Waiter{lock.mutex(), &cv});
    }
    cv.wait(lock, [&] { return done() || Now() >= until; });
    std::lock_guard<std::mutex> own(mu_);
    waiters_.erase(std::find_if(waiters_.begin(), waiters_.end(),
                                [&](const Waiter& w) { return w.cv == &cv && w.mutex == lock.mutex(); }));
}
