#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ReplySchedule.h"

namespace {

using monitor_sim::ReplySchedule;
using monitor_sim::WireTiming;
using std::chrono::milliseconds;
using Clock = ReplySchedule::Clock;

// A request read at `at` ms to monitor `addr`; its reply's writes as
// (offset ms, one byte naming it).
struct Asked {
    int at;
    uint8_t addr;
    std::vector<std::pair<int, char>> writes;
};

// Drives the schedule as the simulator's loop does, every write taken the
// moment it is due; returns what went out as "byte@ms ...", and how many
// requests found no room.
std::string Drive(const std::vector<Asked>& asked, int* refused) {
    ReplySchedule s;
    const Clock::time_point t0{};
    Clock::time_point now = t0;  // never runs back
    std::string out;
    std::size_t next = 0;
    *refused = 0;
    while (next < asked.size() || !s.Empty()) {
        const auto due = s.NextDue();
        if (next < asked.size() && (!due || t0 + milliseconds(asked[next].at) <= *due)) {
            std::vector<WireTiming::Write> writes;
            for (const auto& [ms, byte] : asked[next].writes)
                writes.push_back(WireTiming::Write{milliseconds(ms), {static_cast<uint8_t>(byte)}});
            if (!s.Add(asked[next].addr, t0 + milliseconds(asked[next].at), writes)) ++*refused;
            ++next;
            continue;
        }
        now = std::max(now, *due);
        const auto w = s.TakeDue(now);
        if (!w) return out + " nothing due at its time";
        out += (out.empty() ? "" : " ") + std::string(1, static_cast<char>(w->bytes.at(0))) + "@" +
               std::to_string(std::chrono::duration_cast<milliseconds>(now - t0).count()) + (w->last ? "" : "+");
    }
    return out;
}

constexpr uint8_t kA = 0x81, kB = 0x82;

// "+" marks a write with more of its reply to come.
TEST(ReplySchedule, EachMonitorWaitsOnlyForItsOwnRepliesAndTheLine) {
    std::vector<Asked> flood;
    for (int i = 0; i < 18; ++i) flood.push_back({0, kA, {{700, 'a'}}});
    flood.push_back({1, kB, {{5, 'b'}}});
    std::string flood_out = "b@6";
    for (int i = 0; i < 16; ++i) flood_out += " a@" + std::to_string(700 * (i + 1));
    const struct {
        const char* name;
        std::vector<Asked> asked;
        const char* out;
        int refused;
    } cases[] = {
        {"a late reply to A does not delay B", {{0, kA, {{700, 'a'}}}, {10, kB, {{5, 'b'}}}}, "b@15 a@700", 0},
        {"a second request to A while it owes waits behind, timed from its reply",
         {{0, kA, {{700, 'a'}}}, {300, kA, {{5, 'c'}}}, {310, kB, {{5, 'b'}}}}, "b@315 a@700 c@705", 0},
        {"a request to A after its reply is out is timed from the request",
         {{0, kA, {{5, 'a'}}}, {100, kA, {{5, 'c'}}}}, "a@5 c@105", 0},
        {"two replies due together go one after the other, never interleaved",
         {{0, kA, {{0, '1'}, {10, '2'}, {20, '3'}}}, {5, kB, {{0, 'b'}}}}, "1@0+ 2@10+ 3@20 b@20", 0},
        {"a reply that waited for the line keeps its split pauses",
         {{0, kA, {{0, '1'}, {20, '2'}}}, {5, kB, {{0, 'x'}, {7, 'y'}, {10, 'z'}}}}, "1@0+ 2@20 x@20+ y@27+ z@30", 0},
        {"due at the same moment: the one asked first goes first",
         {{0, kB, {{10, 'b'}}}, {5, kA, {{5, 'a'}}}}, "b@10 a@10", 0},
        {"due sooner goes first, whoever was asked first",
         {{0, kB, {{30, 'b'}}}, {5, kA, {{5, 'a'}}}}, "a@10 b@30", 0},
        {"a monitor owes at most sixteen replies; the others are not held", flood, flood_out.c_str(), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int refused = 0;
        EXPECT_EQ(Drive(c.asked, &refused), c.out);
        EXPECT_EQ(refused, c.refused);
    }
}

TEST(ReplySchedule, NothingGoesOutBeforeItIsDueAndClearDropsAll) {
    ReplySchedule s;
    const Clock::time_point t0{};
    ASSERT_TRUE(s.Add(kA, t0, {{milliseconds(0), {1}}, {milliseconds(10), {2}}}));
    ASSERT_TRUE(s.Add(kB, t0, {{milliseconds(3), {3}}}));
    EXPECT_TRUE(s.Owes(kA));
    ASSERT_TRUE(s.TakeDue(t0));
    EXPECT_TRUE(s.OnLine());
    EXPECT_FALSE(s.TakeDue(t0 + milliseconds(9))) << "B's reply is due, but A's is on the line";
    EXPECT_EQ(*s.NextDue(), t0 + milliseconds(10));
    EXPECT_EQ(s.Clear().size(), 2u);
    EXPECT_TRUE(s.Empty());
    EXPECT_FALSE(s.OnLine());
    EXPECT_FALSE(s.NextDue());
}

}  // namespace
