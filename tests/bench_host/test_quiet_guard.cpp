// The quiet kept on the line after an exchange went wrong: how late
// replies and the rest of a frame stretch it, that the device timed out
// waits for its end, and the guard a person would set.  (The guard's
// length from the lateness measured: GuardFollowsLateness.)
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "bus/DeviceCycle.h"
#include "bus/QuietGuard.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Clock::time_point t0 = Clock::time_point{} + 1h;
constexpr auto kGap = 20ms;

TEST(QuietGuard, LateRepliesAndRestsStretchTheQuiet) {
    const struct {
        const char* what;
        int at_ms;        // a late reply (owing: still owed after it), or a frame's rest
        bool rest, owing;
        int until_ms;     // the quiet after it; it began at 0 for 400 ms
        bool counted;     // counted as the timed-out device's late reply
    } rows[] = {
        {"a late reply, more owed: the guard again", 100, false, true, 500, true},
        {"a late reply, nothing more owed: the gap", 100, false, false, 120, true},
        {"a frame's rest, early: the guard holds", 100, true, false, 400, false},
        {"a frame's rest at the end: the gap after it", 390, true, false, 410, false},
    };
    for (const auto& r : rows) {
        BusDevice device;
        DeviceCycle c(device);
        QuietGuard g;
        g.StartAfterTimeout(t0, c, 400ms);
        const auto at = t0 + std::chrono::milliseconds(r.at_ms);
        if (r.rest) {
            g.Rest(at, kGap);
        } else {
            EXPECT_EQ(g.LateReply(at, r.owing, 300ms, kGap), r.counted) << r.what;
        }
        EXPECT_EQ(g.Until(), t0 + std::chrono::milliseconds(r.until_ms)) << r.what;
        if (!r.rest) {
            EXPECT_FALSE(g.LateReply(at, r.owing, 300ms, kGap)) << r.what << ": counted once";
        }
        EXPECT_EQ(g.TimedOut(), &c) << r.what;
    }
}

TEST(QuietGuard, TheTimedOutDeviceWaitsForTheEnd) {
    BusDevice device;
    DeviceCycle c(device);
    QuietGuard g;
    EXPECT_EQ(g.AfterUnasked(kGap), kGap) << "no guard running: the gap";
    g.StartAfterTimeout(t0, c, 400ms);
    EXPECT_EQ(g.AfterUnasked(kGap), 400ms) << "a guard running is not cut short";
    g.Start(t0 + 50ms, kGap);  // a refusal's quiet: the device still waits
    EXPECT_FALSE(g.Over(t0 + 69ms));
    EXPECT_TRUE(g.Over(t0 + 70ms));
    g.End();
    EXPECT_FALSE(g.Active());
    EXPECT_EQ(g.TakeTimedOut(), &c);
    EXPECT_EQ(g.TakeTimedOut(), nullptr);
    g.StartAfterTimeout(t0, c, 400ms);
    g.Cancel();
    EXPECT_FALSE(g.Active());
    EXPECT_EQ(g.TimedOut(), nullptr) << "a lost port leaves nobody waiting";
}

TEST(QuietGuard, RaisedOnlyPastTheDefaultAndAdvisedInFifties) {
    const std::optional<Clock::duration> none;
    EXPECT_TRUE(QuietGuard::Raises(false, none, 211ms, 105ms));
    EXPECT_FALSE(QuietGuard::Raises(false, none, 210ms, 105ms)) << "the default covers it";
    EXPECT_FALSE(QuietGuard::Raises(false, 900ms, 900ms, 105ms)) << "not raised by a reply no later";
    EXPECT_FALSE(QuietGuard::Raises(true, none, 2s, 105ms)) << "fixed by the port";
    const struct {
        int latest_ms, advised_ms;
    } rows[] = {{0, 0}, {1, 50}, {50, 50}, {51, 100}, {2003, 2050}};
    for (const auto& r : rows)
        EXPECT_EQ(QuietGuard::Advised(std::chrono::milliseconds(r.latest_ms)),
                  std::chrono::milliseconds(r.advised_ms))
            << r.latest_ms;
}

}  // namespace
