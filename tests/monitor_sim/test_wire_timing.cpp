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

// Two monitors set to one address answer one request: their writes in time
// order, the earlier reply's bytes first at the same moment, writes due
// together joined, so nothing the simulator does can come between them.
TEST(WireTiming, TwoAnswersToOneRequestShareTheLineByTheirTimes) {
    using W = WireTiming::Write;
    using monitor_sim::Frame;
    const struct {
        const char* name;
        std::vector<W> earlier, later, merged;
    } cases[] = {
        {"unpaced: both due at once, one write, one reply after the other",
         {W{nanoseconds(0), {1, 2, 3}}}, {W{nanoseconds(0), {7, 8, 9}}}, {W{nanoseconds(0), {1, 2, 3, 7, 8, 9}}}},
        {"paced, the later half a byte behind: the bytes alternate",
         {W{microseconds(520), {1}}, W{microseconds(1040), {2}}},
         {W{microseconds(780), {7}}, W{microseconds(1300), {8}}},
         {W{microseconds(520), {1}}, W{microseconds(780), {7}}, W{microseconds(1040), {2}}, W{microseconds(1300), {8}}}},
        {"paced at the same moments: each pair of bytes in one write",
         {W{microseconds(520), {1}}, W{microseconds(1040), {2}}},
         {W{microseconds(520), {7}}, W{microseconds(1040), {8}}},
         {W{microseconds(520), {1, 7}}, W{microseconds(1040), {2, 8}}}},
        {"the first held back: the other's answer goes out before it",
         {W{microseconds(300000), {1, 2}}}, {W{nanoseconds(0), {7}}},
         {W{nanoseconds(0), {7}}, W{microseconds(300000), {1, 2}}}},
        {"a split first reply: the other's whole answer behind its first piece",
         {W{nanoseconds(0), {1}}, W{microseconds(700), {2}}}, {W{nanoseconds(0), {7, 8}}},
         {W{nanoseconds(0), {1, 7, 8}}, W{microseconds(700), {2}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto merged = WireTiming::Merge(c.earlier, c.later);
        ASSERT_EQ(merged.size(), c.merged.size());
        for (std::size_t i = 0; i < merged.size(); ++i) {
            EXPECT_EQ(merged[i].at, c.merged[i].at) << i;
            EXPECT_EQ(merged[i].bytes, c.merged[i].bytes) << i;
        }
    }
}
