#include "run/BusLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>

#include "basics/ClockWatch.h"
#include "bus/BusScheduler.h"
#include "events/RunEvents.h"

namespace {

int64_t MsOf(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

int64_t MsOf(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// Counted in the signal handler (a lock-free atomic may be); the self-pipe
// wakes the loop at once.  Read by the store thread too, whose drain a
// second stop cuts short.
std::atomic<int> g_stops{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop signals are counted in their handler");
int g_wake_pipe[2] = {-1, -1};

void OnStopSignal(int) {
    g_stops.fetch_add(1);
    if (g_wake_pipe[1] >= 0) {
        const char c = 's';
        [[maybe_unused]] const ssize_t n = ::write(g_wake_pipe[1], &c, 1);
    }
}

// SIGHUP: the terminal closed, or the user's session ended; the run still
// ends with its summary.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

BusLoop::BusLoop(RunSetup& site, RunEvents& events, Limits limits, RunClock& clock)
    : site_(site), events_(events), limits_(limits), clock_(clock), previous_(std::size(kStopSignals)) {
    g_stops = 0;
    if (::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wake_pipe[0] = g_wake_pipe[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) ::sigaction(kStopSignals[i], &sa, &previous_[i]);
}

BusLoop::~BusLoop() {
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) ::sigaction(kStopSignals[i], &previous_[i], nullptr);
    for (int& fd : g_wake_pipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

int BusLoop::StopRequests() const { return g_stops.load() + (ended_by_limit_ ? 1 : 0); }

bool BusLoop::Done(std::chrono::steady_clock::time_point now) const {
    if (g_stops.load() > 0) return true;
    if (limits_.duration > 0 && now - started_ >= std::chrono::duration<double>(limits_.duration)) return true;
    if (limits_.rounds > 0) {
        for (const auto& d : site_.Devices())
            if (d->completed + d->abandoned + d->missed < limits_.rounds) return false;
        return true;
    }
    return false;
}

void BusLoop::Run() {
    auto& buses = site_.Buses();
    started_ = clock_.Now();
    for (auto& bus : buses) bus.scheduler->Start(started_);
    // Read at least once a second, with the loop's own wake-ups.
    ClockWatch watch(MsOf(clock_.WallNow()), MsOf(started_));

    while (!Done(clock_.Now())) {
        auto now = clock_.Now();
        for (auto& bus : buses) bus.scheduler->Service(now);
        if (Done(clock_.Now())) break;

        now = clock_.Now();
        auto wake = now + std::chrono::seconds(1);
        for (auto& bus : buses) wake = std::min(wake, bus.scheduler->NextWake(now));
        if (limits_.duration > 0)
            wake = std::min(wake, started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                 std::chrono::duration<double>(limits_.duration)));

        std::vector<pollfd> fds;
        std::vector<BusScheduler*> owners;
        for (auto& bus : buses) {
            if (!bus.scheduler->PortOpen()) continue;
            fds.push_back(pollfd{bus.scheduler->Fd(), POLLIN, 0});
            owners.push_back(bus.scheduler.get());
        }
        if (g_wake_pipe[0] >= 0) fds.push_back(pollfd{g_wake_pipe[0], POLLIN, 0});
        const int n = clock_.Poll(fds, wake);
        if (n < 0 && errno != EINTR) break;
        now = clock_.Now();
        const auto wall = clock_.WallNow();
        if (const auto step = watch.Check(MsOf(wall), MsOf(now))) {
            clock_steps_.push_back(run::ClockStepped{wall, std::chrono::milliseconds(*step)});
            events_.Publish(clock_steps_.back());
        }
        for (std::size_t i = 0; i < owners.size(); ++i) {
            const short ev = fds[i].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
                owners[i]->OnReadable(now, (ev & (POLLHUP | POLLERR | POLLNVAL)) != 0);
        }
        events_.Refresh(now);
    }
    ended_by_limit_ = g_stops.load() == 0;
    // Rounds still waiting for a second answer wait out their time.
    std::optional<std::chrono::steady_clock::time_point> until;
    for (auto& bus : buses)
        if (const auto by = bus.scheduler->FinishBy()) until = std::max(until.value_or(*by), *by);
    if (until) {
        std::vector<pollfd> none;
        while (clock_.Now() < *until && clock_.Poll(none, *until) >= 0) {
        }
    }
    const auto now = clock_.Now();
    for (auto& bus : buses) bus.scheduler->Finish(now);
}
