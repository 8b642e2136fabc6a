#include <gtest/gtest.h>

#include "WireTiming.h"

using monitor_sim::FaultPlan;
using monitor_sim::WireTiming;
using std::chrono::microseconds;
using std::chrono::nanoseconds;
using Chunk = FaultPlan::Decision::Chunk;

TEST(WireTiming, ByteTimeIsTenBitsAtTheLineSpeed) {
    EXPECT_EQ(WireTiming(true, 19200, {}).ByteTime(), nanoseconds(520833));
    EXPECT_EQ(WireTiming(true, 9600, {}).ByteTime(), nanoseconds(1041666));
    EXPECT_EQ(WireTiming(true, 115200, {}).ByteTime(), nanoseconds(86805));
}

TEST(WireTiming, UnpacedChunksGoOutAsSoonAsTheirPausesAllow) {
    const WireTiming t(false, 19200, microseconds(5000));
    const auto w = t.Schedule({Chunk{{1, 2}, microseconds(0)}, Chunk{{3}, microseconds(700)}, Chunk{{4, 5}, microseconds(300)}});
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].at, nanoseconds(0));
    EXPECT_EQ(w[1].at, microseconds(700));
    EXPECT_EQ(w[2].at, microseconds(1000));
    EXPECT_EQ(w[2].bytes, (monitor_sim::Frame{4, 5}));
}

TEST(WireTiming, PacedReplyTakesTheWireTimeOfRequestTurnaroundAndEveryByte) {
    const WireTiming t(true, 19200, microseconds(5000));
    const nanoseconds bt = t.ByteTime();
    const nanoseconds request = 5 * bt;
    // The long reply: 67 bytes, each handed over as its stop bit ends.
    const auto w = t.Schedule({Chunk{monitor_sim::Frame(67, 0x11), microseconds(0)}});
    ASSERT_EQ(w.size(), 67u);
    EXPECT_EQ(w.front().at, request + microseconds(5000) + bt);
    EXPECT_EQ(w.back().at, request + microseconds(5000) + 67 * bt);  // about 42.5 ms
    for (size_t i = 1; i < w.size(); ++i) EXPECT_EQ(w[i].at - w[i - 1].at, bt);

    // A pause inside a split reply delays every later byte.
    const auto s = t.Schedule({Chunk{{1, 2}, microseconds(0)}, Chunk{{3}, microseconds(2000)}});
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[2].at - s[1].at, bt + microseconds(2000));
}
