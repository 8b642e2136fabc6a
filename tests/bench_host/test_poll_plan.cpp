// When the devices of one bus are polled: each on its own grid of ticks, a
// device that does not answer only probed, polls that come late counted,
// poll times lost while the port is away.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "bus/BusDevice.h"
#include "bus/DeviceCycle.h"
#include "bus/PollPlan.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Clock::time_point t0 = Clock::time_point{} + 1h;

PollPlan Plan(long cycle_limit = 0) { return PollPlan(PollPlan::Options{1000ms, 5000ms, cycle_limit}); }

void Silence(DeviceCycle& d) {
    const DeviceHealth::Moment m{t0, std::chrono::system_clock::time_point{}};
    for (int i = 0; i < DeviceHealth::kFailuresToSilence; ++i) d.device.health.CycleFailed(FailureReason::kTimeout, m);
    ASSERT_TRUE(Plan().Probing(d, t0));
}

TEST(PollPlan, NextPollStaysOnTheDevicesGrid) {
    struct Case {
        const char* what;
        int due_ms;       // when the tick that started the cycle was due
        int released_ms;  // when the device gave the bus back
        int next_ms;
        long skipped = 0;  // ticks of the old grid passed whole: lost
    } cases[] = {
        {"cycle on time", 0, 200, 1000},
        {"started late by a neighbour, still on the grid", 0, 1400, 1000},
        {"exactly half a tick behind: the grid holds", 0, 1500, 1000},
        {"more than half a tick behind: a new grid from now", 0, 1501, 1501},
        {"three ticks behind: the poll now stands for the last", 0, 3200, 3200, 2},
        {"a long cycle behind it", 0, 9000, 9000, 8},
    };
    const PollPlan plan = Plan();
    for (const Case& c : cases) {
        BusDevice device;
        DeviceCycle d(device);
        d.cycle_due_at = t0 + std::chrono::milliseconds(c.due_ms);
        plan.Released(d, t0 + std::chrono::milliseconds(c.released_ms));
        EXPECT_EQ(d.next_poll, t0 + std::chrono::milliseconds(c.next_ms)) << c.what;
        EXPECT_EQ(d.device.skipped, c.skipped) << c.what;
        EXPECT_EQ(d.device.Lost(), c.skipped) << c.what;
    }
}

TEST(PollPlan, TicksSkippedWholeAreNotMadeUpOneAfterAnother) {
    struct Case {
        const char* what;
        int started_ms;  // the tick was due at 0
        int ended_ms;
        int next_ms;
        long late;
        long skipped;  // ticks passed whole, never polled: lost
    } cases[] = {
        {"on time", 0, 200, 1000, 0, 0},
        {"most of a tick behind: the next tick is due at once", 900, 1100, 1000, 1, 0},
        {"a whole tick behind: the next tick after it", 1000, 1460, 2000, 1, 1},
        {"two ticks and more behind", 2300, 2460, 3000, 1, 2},
    };
    const PollPlan plan = Plan();
    for (const Case& c : cases) {
        BusDevice device;
        DeviceCycle d(device);
        plan.CycleStarted(d, t0, t0 + std::chrono::milliseconds(c.started_ms));
        plan.Released(d, t0 + std::chrono::milliseconds(c.ended_ms));
        EXPECT_EQ(d.next_poll, t0 + std::chrono::milliseconds(c.next_ms)) << c.what;
        EXPECT_EQ(d.device.late_polls, c.late) << c.what;
        EXPECT_EQ(d.device.skipped, c.skipped) << c.what;
        EXPECT_EQ(d.device.Lost(), c.skipped) << c.what;
    }
}

// A cycle the line spoilt early in its tick is run again at once, on the
// same tick, once a tick; late in it, or from a device not answering, it
// waits for the next tick.
TEST(PollPlan, ACycleSpoiltEarlyInItsTickIsRunAgainOnce) {
    struct Case {
        const char* what;
        std::vector<int> failed_ms;  // cycles of the tick due at 0 that failed, each at once run again
        bool silent;
        int next_ms;
        int grid_ms;  // the tick the next cycle stands for
    } cases[] = {
        {"spoilt at 50 ms", {50}, false, 50, 0},
        {"spoilt at 499 ms", {499}, false, 499, 0},
        {"spoilt at half the tick", {500}, false, 1000, 1000},
        {"spoilt again in the same tick", {50, 100}, false, 1000, 1000},
        {"not answering: probed a tick after", {50}, true, 1050, 1050},
    };
    const PollPlan plan = Plan();
    for (const Case& c : cases) {
        BusDevice device;
        DeviceCycle d(device);
        if (c.silent) Silence(d);
        plan.CycleStarted(d, t0, t0);
        for (std::size_t i = 0; i < c.failed_ms.size(); ++i) {
            const auto at = t0 + std::chrono::milliseconds(c.failed_ms[i]);
            if (i > 0) plan.CycleStarted(d, d.next_poll, at);
            plan.Released(d, at);
            plan.Failed(d, at);
        }
        EXPECT_EQ(d.next_poll, t0 + std::chrono::milliseconds(c.next_ms)) << c.what;
        plan.CycleStarted(d, d.next_poll, d.next_poll);
        EXPECT_EQ(d.cycle_due_at, t0 + std::chrono::milliseconds(c.grid_ms)) << c.what;
        EXPECT_EQ(d.device.late_polls, 0) << c.what;
    }
}

TEST(PollPlan, ADeviceThatDoesNotAnswerIsProbedAtTheProbeInterval) {
    const PollPlan plan = Plan();
    BusDevice device;
    DeviceCycle d(device);
    d.cycle_due_at = t0;
    Silence(d);
    // Four timeouts and their guards, then probes that go unanswered: each
    // waits twice as long as the one before, up to the probe interval.
    const struct {
        int released_ms;
        int next_ms;
    } probes[] = {{1700, 2700}, {3100, 5100}, {5500, 9500}, {9900, 14900}, {15300, 20300}};
    for (const auto& p : probes) {
        plan.Released(d, t0 + std::chrono::milliseconds(p.released_ms));
        EXPECT_EQ(d.next_poll, t0 + std::chrono::milliseconds(p.next_ms)) << "released at " << p.released_ms;
    }
    // A probe is spaced on purpose, never a late poll.
    plan.CycleStarted(d, t0, t0 + 4000ms);
    EXPECT_EQ(d.device.late_polls, 0);
}

// A device backs off only on evidence: not answering, and no answer in the
// last three ticks, and fewer than half of its latest requests answered.
TEST(PollPlan, ADeviceThatAnswersStaysOnItsTick) {
    const struct {
        const char* what;
        bool silenced;                 // three failed cycles in a row
        std::optional<int> answer_ms;  // its last answer, before now
        std::vector<bool> exchanges;   // oldest first
        bool probing;
    } cases[] = {
        {"answering", false, std::nullopt, {}, false},
        {"silent, nothing answered", true, std::nullopt, {false, false, false, false}, true},
        {"silent, answered 2 s ago", true, 2000, {false, false, false, false}, false},
        {"silent, answered 4 s ago", true, 4000, {true, false, false, false, false}, true},
        {"silent, a quarter of its exchanges failing", true, 4000,
         {true, true, true, false, true, true, true, false, true, false, true, true, true, true, false, true}, false},
        {"silent, half answered", true, 4000, {true, false, true, false}, false},
        {"silent, too few exchanges to judge by", true, 4000, {true, true, true}, true},
        {"silent, only the oldest sixteen answered", true, 4000, [] {
             std::vector<bool> e(16, true);
             e.insert(e.end(), 16, false);
             return e;
         }(),
         true},
    };
    const PollPlan plan = Plan();
    for (const auto& c : cases) {
        BusDevice device;
        DeviceCycle d(device);
        d.cycle_due_at = t0;
        if (c.silenced) {
            const DeviceHealth::Moment m{t0, std::chrono::system_clock::time_point{}};
            for (int i = 0; i < DeviceHealth::kFailuresToSilence; ++i) d.device.health.CycleFailed(FailureReason::kTimeout, m);
        }
        for (const bool answered : c.exchanges) d.device.Exchanged(answered, t0 - 10s);
        if (c.answer_ms) d.device.last_answer = t0 + 10s - std::chrono::milliseconds(*c.answer_ms);
        EXPECT_EQ(plan.Probing(d, t0 + 10s), c.probing) << c.what;
        plan.Released(d, t0 + 10s);
        EXPECT_EQ(d.next_poll, c.probing ? t0 + 11s : t0 + 10s) << c.what;
    }
}

TEST(PollPlan, PollsHalfATickBehindAreLate) {
    struct Case {
        int started_ms;
        long late;
    } cases[] = {{0, 0}, {499, 0}, {500, 1}, {2500, 1}};
    const PollPlan plan = Plan();
    for (const Case& c : cases) {
        BusDevice device;
        DeviceCycle d(device);
        plan.CycleStarted(d, t0, t0 + std::chrono::milliseconds(c.started_ms));
        EXPECT_EQ(d.device.late_polls, c.late) << c.started_ms << " ms after due";
    }
}

TEST(PollPlan, TheDeviceDueLongestGoesFirst) {
    BusDevice da, db, dc;
    DeviceCycle a(da), b(db), c(dc);
    std::vector<DeviceCycle*> devices{&a, &b, &c};
    const PollPlan plan = Plan();
    plan.Start(devices, t0);
    EXPECT_EQ(plan.Due(devices, t0), &a) << "a tie: the first added";
    a.next_poll = t0 + 1000ms;
    b.next_poll = t0 + 300ms;
    c.next_poll = t0 + 200ms;
    EXPECT_EQ(plan.Due(devices, t0 + 100ms), nullptr);
    EXPECT_EQ(plan.Due(devices, t0 + 400ms), &c);
    EXPECT_EQ(plan.Earliest(devices, t0 + 1s), t0 + 200ms);
    EXPECT_EQ(plan.Earliest({}, t0 + 1s), t0 + 1s);
    // A device probed takes only the time no ticked device is due in.
    const DeviceHealth::Moment m{t0, std::chrono::system_clock::time_point{}};
    for (int i = 0; i < DeviceHealth::kFailuresToSilence; ++i) c.device.health.CycleFailed(FailureReason::kTimeout, m);
    EXPECT_EQ(plan.Due(devices, t0 + 400ms), &b) << "due later, but on its tick";
    EXPECT_EQ(plan.Due(devices, t0 + 250ms), &c) << "nobody else due: probed";
}

TEST(PollPlan, ADeviceThatRanItsCyclesIsPolledNoMore) {
    BusDevice da, db;
    DeviceCycle a(da), b(db);
    std::vector<DeviceCycle*> devices{&a, &b};
    const PollPlan plan = Plan(3);
    plan.Start(devices, t0);
    a.device.completed = 1;
    a.device.abandoned = 1;
    a.device.missed = 1;
    EXPECT_EQ(plan.Due(devices, t0), &b);
    b.device.completed = 3;
    EXPECT_EQ(plan.Due(devices, t0), nullptr);
}

TEST(PollPlan, ADeviceThatRanItsCyclesWakesNothingAndMissesNothing) {
    struct Case {
        const char* what;
        long limit;
        long completed, abandoned, missed;
        long missed_in_outage;  // poll times 0, 1 and 2 s passed
        bool wakes;             // its poll time, 0 s, is the earliest
    } cases[] = {
        {"all its cycles to run", 3, 0, 0, 0, 3, true},
        {"one cycle left", 3, 1, 1, 0, 1, true},
        {"done", 3, 2, 0, 1, 0, false},
        {"no limit", 0, 100, 0, 0, 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const PollPlan plan = Plan(c.limit);
        BusDevice device, next_to_it;
        DeviceCycle d(device), neighbour(next_to_it);
        d.device.completed = c.completed;
        d.device.abandoned = c.abandoned;
        d.device.missed = c.missed;
        d.next_poll = t0;
        neighbour.next_poll = t0 + 700ms;
        EXPECT_EQ(plan.Earliest({&d, &neighbour}, t0 + 1s), c.wakes ? t0 : t0 + 700ms);
        EXPECT_EQ(plan.Missed(d, t0 + 2500ms), c.missed_in_outage);
    }
}

TEST(PollPlan, PollTimesPassedWhileThePortIsAwayAreMissed) {
    const PollPlan plan = Plan();
    BusDevice device;
    DeviceCycle d(device);
    d.next_poll = t0;
    EXPECT_EQ(plan.Missed(d, t0 - 1ms), 0);
    EXPECT_EQ(plan.Missed(d, t0 + 2500ms), 3);  // 0, 1 and 2 s
    EXPECT_EQ(d.next_poll, t0 + 3000ms);
    EXPECT_EQ(plan.Missed(d, t0 + 2999ms), 0);
    plan.Resumed(d, t0 + 2999ms);
    EXPECT_EQ(d.next_poll, t0 + 2999ms) << "due at once when the port is back";

    const PollPlan still(PollPlan::Options{Clock::duration::zero(), 5000ms, 0});
    EXPECT_EQ(still.Missed(d, t0 + 10s), 0) << "a zero period must not loop";
}

TEST(PollPlan, ACycleCutByThePortIsRetriedATickAfterItStarted) {
    const PollPlan plan = Plan();
    BusDevice device;
    DeviceCycle d(device);
    d.cycle_started_at = t0 + 250ms;
    plan.Interrupted(d);
    EXPECT_EQ(d.next_poll, t0 + 1250ms);
}

}  // namespace
