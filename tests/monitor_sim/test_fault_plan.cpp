#include <gtest/gtest.h>

#include <algorithm>

#include "FaultPlan.h"
#include "MonitorModel.h"
#include "ValuesLog.h"

using monitor_sim::FaultPlan;
using monitor_sim::Frame;
using Decision = FaultPlan::Decision;

namespace {

FaultPlan::Settings AllFaults(double rate) {
    FaultPlan::Settings s;
    s.silence = s.drop = s.wrong_addr = s.corrupt = s.garbage = s.split = rate;
    return s;
}

Frame Joined(const Decision& d) {
    Frame all;
    for (const auto& c : d.chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
}

// Replies as a monitor would send them, varied by drift.
std::vector<Frame> SomeReplies(int n) {
    monitor_sim::MonitorModel m(0x81, monitor_sim::MonitorProfile{}, 5);
    const uint8_t commands[] = {0xA1, 0xA2, 0xA3, 0xA4};
    std::vector<Frame> out;
    for (int i = 0; i < n; ++i) out.push_back(m.Answer(commands[i % 4], 0.0)->frame);
    return out;
}

}  // namespace

TEST(FaultPlan, WithoutFaultsEveryReplyGoesOutWhole) {
    FaultPlan plan(FaultPlan::Settings{}, 1);
    for (const auto& f : SomeReplies(40)) {
        const Decision d = plan.Decide(f);
        ASSERT_TRUE(d.Intact());
        ASSERT_EQ(d.chunks.size(), 1u);
        EXPECT_EQ(d.chunks[0].bytes, f);
        EXPECT_EQ(d.chunks[0].pause.count(), 0);
        EXPECT_EQ(d.Describe(), "");
    }
    EXPECT_EQ(plan.Totals().Injected(), 0u);
    EXPECT_EQ(plan.Totals().requests, 40u);
}

TEST(FaultPlan, SameSeedSameDecisionsOtherSeedOthers) {
    const auto replies = SomeReplies(400);
    FaultPlan a(AllFaults(0.2), 77), b(AllFaults(0.2), 77), c(AllFaults(0.2), 78);
    bool differs = false;
    for (const auto& f : replies) {
        const Decision da = a.Decide(f), db = b.Decide(f), dc = c.Decide(f);
        ASSERT_EQ(da.withheld, db.withheld);
        ASSERT_EQ(da.chunks.size(), db.chunks.size());
        for (size_t i = 0; i < da.chunks.size(); ++i) {
            ASSERT_EQ(da.chunks[i].bytes, db.chunks[i].bytes);
            ASSERT_EQ(da.chunks[i].pause, db.chunks[i].pause);
        }
        differs = differs || da.withheld != dc.withheld || Joined(da) != Joined(dc);
    }
    EXPECT_TRUE(differs);
    EXPECT_EQ(a.Totals().Injected(), b.Totals().Injected());
}

TEST(FaultPlan, EachFaultComesAtRoughlyItsRate) {
    struct {
        const char* name;
        double FaultPlan::Settings::*rate;
        uint64_t FaultPlan::Counts::*count;
    } faults[] = {
        {"drop", &FaultPlan::Settings::drop, &FaultPlan::Counts::dropped},
        {"wrong address", &FaultPlan::Settings::wrong_addr, &FaultPlan::Counts::wrong_addr},
        {"corrupt", &FaultPlan::Settings::corrupt, &FaultPlan::Counts::corrupted},
        {"garbage", &FaultPlan::Settings::garbage, &FaultPlan::Counts::garbage},
        {"split", &FaultPlan::Settings::split, &FaultPlan::Counts::split},
    };
    const auto replies = SomeReplies(4000);
    for (const auto& f : faults) {
        FaultPlan::Settings s;
        s.*f.rate = 0.25;
        FaultPlan plan(s, 3);
        for (const auto& r : replies) plan.Decide(r);
        EXPECT_NEAR(static_cast<double>(plan.Totals().*f.count) / 4000.0, 0.25, 0.03) << f.name;
        EXPECT_EQ(plan.Totals().Injected(), plan.Totals().*f.count) << f.name;
    }
}

TEST(FaultPlan, ACorruptedReplyNeverPassesTheReceiversChecks) {
    FaultPlan::Settings s;
    s.corrupt = 1.0;
    FaultPlan plan(s, 11);
    // Also frames whose byte sums sit where the modulo-254 checksum is
    // weakest: 0 and 254, or 1 and 255, give the same checksum.
    std::vector<Frame> replies = SomeReplies(3000);
    for (int v = 0; v < 256; ++v)
        replies.push_back(monitor_sim::ToFrame(monitor::BuildShortReply(0x01, static_cast<uint16_t>(v))));
    for (const auto& f : replies) {
        const Decision d = plan.Decide(f);
        const Frame got = Joined(d);
        ASSERT_EQ(got.size(), f.size());
        size_t changed = 0;
        for (size_t i = 0; i < f.size(); ++i) changed += got[i] != f[i];
        ASSERT_EQ(changed, 1u);
        const int len = static_cast<int>(f.size());
        ASSERT_FALSE(monitor::AcceptReply(got.data(), len, len, f[1])) << "corruption slipped through";
        ASSERT_FALSE(d.Intact());
    }
}

TEST(FaultPlan, AWrongAddressReplyIsValidButNotForTheAsker) {
    FaultPlan::Settings s;
    s.wrong_addr = 1.0;
    FaultPlan plan(s, 2);
    for (const auto& f : SomeReplies(200)) {
        const Frame got = Joined(plan.Decide(f));
        const int len = static_cast<int>(f.size());
        ASSERT_NE(got[1], f[1]);
        EXPECT_TRUE(monitor::AcceptReply(got.data(), len, len, got[1]));
        EXPECT_FALSE(monitor::AcceptReply(got.data(), len, len, f[1]));
    }
    // As another of the monitors answered: a valid frame of that monitor,
    // still intact (its values are what the asked one read), and never
    // with one monitor alone on the line.
    const struct {
        std::vector<uint8_t> monitors;
        bool answers_as_another;
    } buses[] = {{{0x81, 0x82, 0x83}, true}, {{0x81}, false}};
    for (const auto& bus : buses) {
        FaultPlan::Settings m;
        m.wrong_monitor = 1.0;
        m.monitors = bus.monitors;
        FaultPlan as_other(m, 2);
        for (const auto& f : SomeReplies(40)) {
            const Decision d = as_other.Decide(f);
            const Frame got = Joined(d);
            const int len = static_cast<int>(f.size());
            EXPECT_EQ(d.as_monitor.has_value(), bus.answers_as_another);
            EXPECT_TRUE(d.Intact());
            if (!d.as_monitor) {
                EXPECT_EQ(got, f);
                continue;
            }
            EXPECT_NE(*d.as_monitor, f[1]);
            EXPECT_NE(std::find(bus.monitors.begin(), bus.monitors.end(), *d.as_monitor), bus.monitors.end());
            EXPECT_TRUE(monitor::AcceptReply(got.data(), len, len, *d.as_monitor));
        }
        EXPECT_EQ(as_other.Totals().wrong_monitor, bus.answers_as_another ? 40u : 0u);
    }
}

TEST(FaultPlan, GarbageComesBeforeAnUntouchedReply) {
    for (const bool any : {false, true}) {
        FaultPlan::Settings s;
        s.garbage = 1.0;
        s.garbage_max_bytes = 6;
        s.garbage_any_byte = any;
        FaultPlan plan(s, 4);
        bool start_byte_seen = false;
        for (const auto& f : SomeReplies(2000)) {
            const Decision d = plan.Decide(f);
            ASSERT_TRUE(d.Intact());
            ASSERT_GE(d.garbage_bytes, 1u);
            ASSERT_LE(d.garbage_bytes, 6u);
            const Frame got = Joined(d);
            ASSERT_EQ(Frame(got.begin() + static_cast<long>(d.garbage_bytes), got.end()), f);
            start_byte_seen = start_byte_seen ||
                std::count(got.begin(), got.begin() + static_cast<long>(d.garbage_bytes), monitor::kStartByte) > 0;
        }
        EXPECT_EQ(start_byte_seen, any);
    }
}

TEST(FaultPlan, ASplitReplyArrivesWholeInSeveralPiecesWithBoundedPauses) {
    FaultPlan::Settings s;
    s.split = 1.0;
    s.split_max_chunks = 5;
    s.split_max_pause = std::chrono::microseconds(3000);
    FaultPlan plan(s, 8);
    std::vector<int> pieces_seen(6, 0);
    for (const auto& f : SomeReplies(1000)) {
        const Decision d = plan.Decide(f);
        ASSERT_TRUE(d.Intact());
        ASSERT_GE(d.chunks.size(), 2u);
        ASSERT_LE(d.chunks.size(), 5u);
        ++pieces_seen[d.chunks.size()];
        EXPECT_EQ(Joined(d), f);
        EXPECT_EQ(d.chunks[0].pause.count(), 0);
        for (const auto& c : d.chunks) {
            EXPECT_FALSE(c.bytes.empty());
            EXPECT_LE(c.pause.count(), 3000);
        }
    }
    // Short replies (5 bytes) can take every piece count too.
    for (int n = 2; n <= 5; ++n) EXPECT_GT(pieces_seen[n], 0) << n << " pieces";
}

TEST(FaultPlan, SilenceLastsItsLengthAndStopAfterIsForGood) {
    FaultPlan::Settings s;
    s.silence = 1.0;
    s.silence_requests = 3;
    FaultPlan silent(s, 1);
    const Frame f = monitor_sim::ToFrame(monitor::BuildShortReply(0x81, 1));
    for (int i = 0; i < 9; ++i) EXPECT_EQ(silent.Decide(f).withheld, Decision::Withheld::kSilent);

    FaultPlan::Settings stop;
    stop.stop_after = 5;
    FaultPlan stopping(stop, 1);
    for (int i = 1; i <= 20; ++i) EXPECT_EQ(stopping.Decide(f).Answered(), i <= 5) << "request " << i;
    EXPECT_EQ(stopping.Totals().silent, 15u);
}

TEST(FaultPlan, StopAfterWithALengthAnswersAgain) {
    FaultPlan::Settings s;
    s.stop_after = 4;
    s.stop_for = 3;
    FaultPlan plan(s, 1);
    const Frame f = monitor_sim::ToFrame(monitor::BuildShortReply(0x81, 1));
    std::string answered;
    for (int i = 0; i < 10; ++i) answered += plan.Decide(f).Answered() ? 'y' : '-';
    EXPECT_EQ(answered, "yyyy---yyy");
}

// A late reply is the monitor's frame unchanged, held back whole; it is an
// intact reply for the values log, marked late.
TEST(FaultPlan, ALateReplyIsHeldBackWhole) {
    FaultPlan::Settings s;
    s.late = 1.0;
    s.late_delay = std::chrono::milliseconds(150);
    FaultPlan plan(s, 3);
    for (const auto& f : SomeReplies(8)) {
        const Decision d = plan.Decide(f);
        ASSERT_TRUE(d.Intact());
        EXPECT_TRUE(d.Late());
        EXPECT_EQ(d.delay, std::chrono::milliseconds(150));
        EXPECT_EQ(Joined(d), f);
        EXPECT_EQ(d.Describe(), "late by 150 ms");
    }
    EXPECT_EQ(plan.Totals().late, 8u);
    EXPECT_NE(monitor_sim::ValuesLog::Format(1, 0x81, 0xA2, {3915}, true).find(R"("raw":3915,"late":true})"),
              std::string::npos);
}

TEST(FaultPlan, LateAndStopOptionsAreParsedOrRefused) {
    struct {
        const char* text;
        bool ok;
        double p;
        long delay_us;
    } late[] = {
        {"0.1:150", true, 0.1, 150000}, {"1:0.5", true, 1.0, 500},  {"0:20", true, 0.0, 20000},
        {"1.5:100", false, 0, 0},       {"0.1:0", false, 0, 0},     {"0.1", false, 0, 0},
        {"x:10", false, 0, 0},          {"0.1:10ms", false, 0, 0},
    };
    for (const auto& c : late) {
        SCOPED_TRACE(c.text);
        if (!c.ok) {
            EXPECT_THROW(monitor_sim::ParseLate(c.text), std::invalid_argument);
            continue;
        }
        const auto parsed = monitor_sim::ParseLate(c.text);
        EXPECT_DOUBLE_EQ(parsed.probability, c.p);
        EXPECT_EQ(parsed.delay.count(), c.delay_us);
    }
    EXPECT_EQ(monitor_sim::ParseStop("20").after, 20u);
    EXPECT_FALSE(monitor_sim::ParseStop("20").for_requests);
    EXPECT_EQ(*monitor_sim::ParseStop("20:16").for_requests, 16u);
    for (const char* bad : {"", "x", "20:", ":5", "-1", "2:3:4"}) EXPECT_THROW(monitor_sim::ParseStop(bad), std::invalid_argument) << bad;
}
