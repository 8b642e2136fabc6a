// The parts of bench-host run that decide what the user is told: a
// device's health, why an exchange failed, the lines and JSON said about
// them, and the live view's layout on a small screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <json/reader.h>

#include <algorithm>
#include <sstream>

#include "bus/BusDevice.h"
#include "record/DeviceHealth.h"
#include "record/FailureReason.h"
#include "basics/ClockWatch.h"
#include "outputs/JsonOutput.h"
#include "outputs/OutputWatch.h"
#include "events/RunEvents.h"
#include "outputs/RunText.h"
#include "outputs/ScreenLayout.h"
#include "outputs/TextOutput.h"
#include "protocol/MonitorProtocol.h"

namespace {

using namespace std::chrono_literals;
using State = DeviceHealth::State;
using Moment = DeviceHealth::Moment;

Moment At(std::chrono::milliseconds t) {
    const Moment zero{};
    return Moment{zero.mono + t, std::chrono::system_clock::time_point{} + t};
}

TEST(DeviceHealth, OneChangePerStateNeverOnePerFailedCycle) {
    enum Input { kDone, kFail, kMiss, kLost, kBack, kCheck };
    struct Step {
        Input input;
        std::chrono::milliseconds at;
        State state;             // after the step
        bool change;             // a change reported
        long lost;               // cycles lost in the current trouble
    } steps[] = {
        {kFail, 1000ms, State::kNeverAnswered, false, 1},
        {kDone, 2000ms, State::kAnswering, true, 0},       // answering, after one lost cycle
        {kFail, 3000ms, State::kAnswering, false, 1},      // a lone failure is counted, not announced
        {kDone, 4000ms, State::kAnswering, false, 0},
        {kFail, 5000ms, State::kAnswering, false, 1},
        {kFail, 6000ms, State::kAnswering, false, 2},
        {kFail, 7000ms, State::kNotAnswering, true, 3},    // the third in a row
        {kFail, 8000ms, State::kNotAnswering, false, 4},
        {kDone, 20000ms, State::kAnswering, true, 0},      // answering again
        {kCheck, 79000ms, State::kAnswering, false, 0},
        {kCheck, 80000ms, State::kStale, true, 0},         // 60 s without a round
        {kCheck, 90000ms, State::kStale, false, 0},
        {kLost, 91000ms, State::kPortLost, true, 0},
        {kMiss, 92000ms, State::kPortLost, false, 1},
        {kLost, 93000ms, State::kPortLost, false, 1},
        {kBack, 94000ms, State::kPortLost, false, 1},
        {kFail, 95000ms, State::kPortLost, false, 2},
        {kFail, 96000ms, State::kPortLost, false, 3},
        {kFail, 97000ms, State::kNotAnswering, true, 4},  // back, but the device does not answer
        {kDone, 98000ms, State::kAnswering, true, 0},
    };
    DeviceHealth h(At(0ms));
    int i = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE("step " + std::to_string(i++));
        std::optional<DeviceHealth::Change> c;
        switch (s.input) {
            case kDone: c = h.CycleCompleted(At(s.at)); break;
            case kFail: c = h.CycleFailed(FailureReason::kTimeout, At(s.at)); break;
            case kMiss: h.CycleMissed(); break;
            case kLost: c = h.PortLost(At(s.at)); break;
            case kBack: h.PortReopened(); break;
            case kCheck: c = h.Check(At(s.at)); break;
        }
        EXPECT_EQ(h.state(), s.state);
        EXPECT_EQ(c.has_value(), s.change);
        EXPECT_EQ(h.cycles_lost(), s.lost);
    }
}

TEST(DeviceHealth, AChangeSaysSinceWhenHowManyAndWhy) {
    DeviceHealth h(At(0ms));
    h.CycleCompleted(At(1000ms));
    h.CycleFailed(FailureReason::kChecksum, At(5000ms));
    h.CycleFailed(FailureReason::kTimeout, At(6000ms));
    const auto silent = h.CycleFailed(FailureReason::kTimeout, At(7000ms));
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->from, State::kAnswering);
    EXPECT_EQ(silent->since.mono, At(5000ms).mono);  // the first failure of the run
    EXPECT_EQ(silent->cycles_lost, 3);
    EXPECT_EQ(silent->reason, FailureReason::kTimeout);
    h.CycleMissed();
    const auto back = h.CycleCompleted(At(21000ms));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->from, State::kNotAnswering);
    EXPECT_EQ(back->cycles_lost, 4);
    EXPECT_EQ(back->without_round, 20000ms);  // since the last round
}

// A state's since is when it began: a silence from its first unanswered
// request (not the give-up of the cycle that announced it), answering from
// the round that ended the silence.
TEST(DeviceHealth, SinceIsWhenTheNewStateBegan) {
    DeviceHealth h(At(0ms));
    h.CycleCompleted(At(1000ms));
    h.CycleFailed(FailureReason::kTimeout, At(5400ms), At(5000ms));
    h.CycleFailed(FailureReason::kTimeout, At(6400ms), At(6000ms));
    const auto silent = h.CycleFailed(FailureReason::kTimeout, At(7400ms), At(7000ms));
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->since.mono, At(5000ms).mono);
    const auto back = h.CycleCompleted(At(9000ms));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->since.mono, At(9000ms).mono);
    EXPECT_EQ(h.since().mono, At(9000ms).mono);
}

// Silent periods: only troubles that were announced count, each from its
// start to the round that ended it, the one going on up to the end.
TEST(DeviceHealth, SilentPeriodsCountTotalLongestFirstAndLast) {
    enum Input { kDone, kFail, kLost, kCheck };
    struct Step {
        Input input;
        std::chrono::milliseconds at;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::chrono::milliseconds end;
        int count;
        std::chrono::milliseconds total, longest, first, last;
        bool last_ended;
    } cases[] = {
        {"a lone failure is no silence", {{kDone, 0ms}, {kFail, 1000ms}, {kDone, 2000ms}}, 5000ms, 0, 0ms, 0ms, 0ms, 0ms,
         false},
        {"one silence that ended",
         {{kDone, 0ms}, {kFail, 1000ms}, {kFail, 2000ms}, {kFail, 3000ms}, {kFail, 4000ms}, {kDone, 18000ms}},
         20000ms, 1, 17000ms, 17000ms, 1000ms, 1000ms, true},
        {"two, the second going on at the end",
         {{kDone, 0ms}, {kFail, 1000ms}, {kFail, 2000ms}, {kFail, 3000ms}, {kDone, 5000ms}, {kLost, 10000ms}},
         13000ms, 2, 7000ms, 4000ms, 1000ms, 10000ms, false},
        {"stale, then not answering: one silence",
         {{kDone, 0ms}, {kCheck, 60000ms}, {kFail, 61000ms}, {kFail, 62000ms}, {kFail, 63000ms}, {kDone, 70000ms}},
         70000ms, 1, 70000ms, 70000ms, 0ms, 0ms, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceHealth h(At(0ms));
        for (const auto& s : c.steps) {
            switch (s.input) {
                case kDone: h.CycleCompleted(At(s.at)); break;
                case kFail: h.CycleFailed(FailureReason::kTimeout, At(s.at)); break;
                case kLost: h.PortLost(At(s.at)); break;
                case kCheck: h.Check(At(s.at)); break;
            }
        }
        const auto silence = h.Silences(At(c.end));
        EXPECT_EQ(silence.count, c.count);
        EXPECT_EQ(silence.total, c.total);
        EXPECT_EQ(silence.longest, c.longest);
        if (c.count == 0) continue;
        EXPECT_EQ(silence.first_began->mono, At(c.first).mono);
        EXPECT_EQ(silence.last_began->mono, At(c.last).mono);
        EXPECT_EQ(silence.last_ended.has_value(), c.last_ended);
    }
}

// The host judges a refused reply with the plug-in's own frame checks.
TEST(FailureReason, RefusedRepliesAreJudgedByTheFrameChecks) {
    const auto good = monitor::BuildShortReply(0x81, 3915);
    auto with = [&](int at, uint8_t value) {
        std::vector<uint8_t> f(good.begin(), good.end());
        f[at] = value;
        return f;
    };
    const std::vector<uint8_t> noise{0x11, 0x22};
    std::vector<uint8_t> behind_noise = noise;
    for (const uint8_t b : good) behind_noise.push_back(b);
    const auto cells = monitor::BuildLongReply(0x81, monitor::CellSlots{});
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int reply_len;
        FailureReason reason;
    } cases[] = {
        {"half a reply", {good.begin(), good.begin() + 3}, monitor::kShortReplyLen, FailureReason::kPartial},
        {"half the cells", {cells.begin(), cells.begin() + 40}, monitor::kLongReplyLen, FailureReason::kPartial},
        {"another monitor", with(monitor::kReplyAddrOffset, 0x82), monitor::kShortReplyLen, FailureReason::kAddress},
        {"a changed reading", with(monitor::kShortValueOffset, 0x00), monitor::kShortReplyLen, FailureReason::kChecksum},
        {"no start byte at all", {0x01, 0x02, 0x03, 0x04, 0x05}, monitor::kShortReplyLen, FailureReason::kStartByte},
        {"noise only, short", noise, monitor::kShortReplyLen, FailureReason::kPartial},
        {"a good frame behind noise", behind_noise, monitor::kShortReplyLen, FailureReason::kRefused},
        {"more than the device gathers", std::vector<uint8_t>(monitor::kReplyCapacity + 1, 0xED), monitor::kShortReplyLen,
         FailureReason::kRefused},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FailureName(JudgeRefusal(c.bytes.data(), c.bytes.size(), c.reply_len, 0x81)),
                  std::string(FailureName(c.reason)))
            << c.what;
    // The names are the plug-in's for what its checks refuse.
    EXPECT_STREQ(FailureName(FailureReason::kChecksum), monitor::ReplyFaultName(monitor::ReplyFault::kChecksum));
}

BusDevice Device(uint32_t id) {
    BusDevice d;
    d.conf.id = id;
    d.port_path = "/dev/ttyUSB0";
    return d;
}

// What text mode prints for a device that stops answering and comes back:
// a line per state change, none per failed exchange.
TEST(RunOutputs, TextSaysEachStateChangeOnceInItsOwnWords) {
    BusDevice d = Device(12);
    std::ostringstream out, err;
    TextOutput text(out, err, false);
    RunEvents events;
    events.Subscribe(text);
    DeviceHealth& h = d.health;
    const Moment t0 = Moment::Now();
    auto at = [&](std::chrono::seconds s) { return Moment{t0.mono + s, t0.wall + s}; };
    auto publish = [&](const std::optional<DeviceHealth::Change>& c) {
        if (c) events.Publish(run::HealthChanged{&d, *c});
    };
    publish(h.CycleCompleted(at(0s)));
    for (int i = 1; i <= 12; ++i) {
        events.Publish(run::ExchangeFailed{&d, FailureReason::kTimeout});
        publish(h.CycleFailed(FailureReason::kTimeout, at(std::chrono::seconds(i))));
    }
    publish(h.CycleCompleted(at(15s)));
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string l; std::getline(in, l);) lines.push_back(l.substr(l.find(' ') + 1));  // without the clock
    const std::string since = runtext::Clock(at(1s).wall, false);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "device 12: answering",
                         "device 12: no answer since " + since +
                             " — 3 cycles, timeout; nothing from bus address 0x81 (addr 1) on /dev/ttyUSB0: check its "
                             "power and the cable",
                         "device 12: answering again after 15 s, 12 cycles lost",
                     }));
    EXPECT_TRUE(err.str().empty());
}

// A plug-in line said every round is printed once and then counted.
TEST(RunOutputs, TextCollapsesRepeatedPluginLines) {
    std::ostringstream out, err;
    TextOutput text(out, err, false);
    RunEvents events;
    events.Subscribe(text);
    for (const char* line : {"rvSize is 0", "rvSize is 0", "rvSize is 0", "other", "other", "rvSize is 0"})
        events.Publish(run::PluginLine{line});
    events.Publish(run::RunEnded{});
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string l; std::getline(in, l) && l.rfind("plug-in: ", 0) == 0;) lines.push_back(l);
    EXPECT_EQ(lines, (std::vector<std::string>{"plug-in: rvSize is 0", "plug-in: (the same line 2 more times)",
                                               "plug-in: other", "plug-in: (the same line 1 more time)",
                                               "plug-in: rvSize is 0"}));
}

TEST(RunOutputs, JsonSummaryGivesNumbersAndEveryReason) {
    BusDevice d = Device(12);
    d.cycles = 10;
    d.completed = 7;
    d.abandoned = 3;
    d.missed = 3;
    At(d.failures, FailureReason::kLateReply) = 2;
    std::ostringstream out, err;
    JsonOutput json(out, err, false);
    run::RunEnded end;
    end.devices = {&d};
    end.ports = {run::PortSummary{"/dev/ttyUSB0", 1, 15200ms}};
    end.clock_steps = {run::ClockStepped{run::WallClock::now(), -3600000ms}};
    json.OnEvent(end);
    std::istringstream lines(out.str());
    std::string device_line, port_line, history_line;
    std::getline(lines, device_line);
    std::getline(lines, port_line);
    std::getline(lines, history_line);
    Json::Value v, p, h;
    Json::Reader().parse(device_line, v);
    Json::Reader().parse(port_line, p);
    Json::Reader().parse(history_line, h);
    EXPECT_TRUE(v["poll_interval_s"].isNull()) << "fewer than two cycles started: no interval, not 0";
    ASSERT_EQ(h["clock_steps"].size(), 1u);
    EXPECT_DOUBLE_EQ(h["clock_steps"][0]["step_s"].asDouble(), -3600.0);
    EXPECT_TRUE(v["loss"].isDouble());
    EXPECT_DOUBLE_EQ(v["loss"].asDouble(), 46.2);  // 3 abandoned and 3 missed of 13 cycles due
    EXPECT_EQ(v["missed"].asInt(), 3);
    EXPECT_EQ(v["failures"].size(), kFailureReasons);
    EXPECT_EQ(v["failures"]["late reply"].asInt(), 2);
    EXPECT_EQ(p["ev"].asString(), "port_summary");
    EXPECT_EQ(p["outages"].asInt(), 1);
    EXPECT_DOUBLE_EQ(p["outage_s"].asDouble(), 15.2);
    EXPECT_FALSE(v.isMember("late_by_s"));  // no reply came late
}

// A round's line, plain and JSON: a value the monitor marked invalid is no
// value (null in JSON, in words in the plain line), never 0 V or the last
// temperature, and the cells' range is that of the cells read.
TEST(RunOutputs, RoundLinesShowNoValueForReadingsMarkedInvalid) {
    using Mask = BatteryRecord::NoValueMask;
    const struct {
        const char* name;
        Mask no_value;
        const char* plain;  // the line from "string"
        std::vector<int> null_cells;
        bool null_temperature;
    } cases[] = {
        {"all read", 0, "string 391.5 V, current -1.5 A, temperature 25.0 °C, 29 cells 12.80..13.50 V", {}, false},
        {"cell 3 and the temperature", Mask{1} << 3 | Mask{1} << BatteryRecord::kTemperatureBit,
         "string 391.5 V, current -1.5 A, temperature no value, 29 cells 13.50..13.50 V (1 no value)", {3}, true},
        {"the string voltage and the current",
         Mask{1} << BatteryRecord::kStringVoltageBit | Mask{1} << BatteryRecord::kCurrentBit,
         "string no value, current no value, temperature 25.0 °C, 29 cells 12.80..13.50 V", {}, false},
        {"every cell", (Mask{1} << 29) - 1, "string 391.5 V, current -1.5 A, temperature 25.0 °C, 29 cells no value",
         [] {
             std::vector<int> all;
             for (int c = 0; c < 29; ++c) all.push_back(c);
             return all;
         }(),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BusDevice d = Device(12);
        d.cell_count = 29;
        d.completed = 1;
        BatteryRecord r;
        r.cells.fill(13.5f);
        r.cells[3] = 12.8f;
        r.group_voltage = 391.5f;
        r.group_current = -1.5f;
        r.temperature = 25.0f;
        r.MarkNoValue(c.no_value);
        const run::RoundCompleted round{&d, r, "", {}};
        std::ostringstream out, json_out, err;
        TextOutput text(out, err, false);
        JsonOutput json(json_out, err, false);
        text.OnEvent(round);
        json.OnEvent(round);
        EXPECT_NE(out.str().find(c.plain), std::string::npos) << out.str();
        Json::Value v;
        ASSERT_TRUE(Json::Reader().parse(json_out.str(), v)) << json_out.str();
        ASSERT_EQ(v["cells"].size(), 29u);
        for (int i = 0; i < 29; ++i) {
            const bool none = std::count(c.null_cells.begin(), c.null_cells.end(), i) > 0;
            EXPECT_EQ(v["cells"][i].isNull(), none) << "cell " << i;
        }
        EXPECT_EQ(v["temperature"].isNull(), c.null_temperature);
        EXPECT_EQ(v["group_voltage"].isNull(), (c.no_value >> BatteryRecord::kStringVoltageBit & 1u) != 0);
        EXPECT_EQ(v["group_current"].isNull(), (c.no_value >> BatteryRecord::kCurrentBit & 1u) != 0);
        EXPECT_TRUE(err.str().empty());
    }
}

// A step is a move of the wall clock against the monotonic one beyond the
// bound between two readings; slewing, however long, never is.
TEST(ClockWatch, StepsBeyondTheBoundBetweenTwoReadings) {
    constexpr int64_t kBound = ClockWatch::kBoundMs;
    const struct {
        const char* what;
        int64_t wall_ms, mono_ms;     // the next reading, from wall 1e12 and mono 5000 before
        std::optional<int64_t> step;  // told
    } cases[] = {
        {"both on a second", 1000000001000, 6000, std::nullopt},
        {"slewing 0.5 ms", 1000000001000, 5999, std::nullopt},
        {"at the bound", 1000000001000 + kBound, 6000, std::nullopt},
        {"past the bound", 1000000001001 + kBound, 6000, kBound + 1},
        {"back 1 h", 1000000001000 - 3600000, 6000, -3600000},
        {"back 80 s", 1000000001000 - 80000, 6000, -80000},
        {"forward 1 day", 1000000001000 + 86400000, 6000, 86400000},
        {"a stalled loop: both moved 30 s", 1000000030000, 35000, std::nullopt},
    };
    for (const auto& c : cases) {
        ClockWatch w(1000000000000, 5000);
        EXPECT_EQ(w.Check(c.wall_ms, c.mono_ms), c.step) << c.what;
        // The reading is the new reference: the next second is no step.
        EXPECT_EQ(w.Check(c.wall_ms + 1000, c.mono_ms + 1000), std::nullopt) << c.what;
    }
    // Slewing of 0.9 s a reading, ten times: 9 s apart in all, never a step.
    ClockWatch slew(0, 0);
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(slew.Check(i * 1900, i * 1000), std::nullopt) << i;
}

// A reader that goes away fails the writes: said once, on standard error,
// in the words of the run, and never again.
TEST(RunOutputs, ALostOutputIsSaidOnceOnStandardError) {
    std::ostringstream out, err;
    TextOutput text(out, err, false);
    RunEvents events;
    events.Subscribe(text);
    OutputWatch watch(out, events);
    events.Subscribe(watch);
    events.Publish(run::SetupWarning{"first"});
    EXPECT_TRUE(err.str().empty());
    errno = 0;
    out.setstate(std::ios::badbit);  // as a write to a closed pipe leaves it
    events.Publish(run::SetupWarning{"second"});
    events.Publish(run::SetupWarning{"third"});
    watch.Refresh(std::chrono::steady_clock::now());
    EXPECT_EQ(err.str(),
              "bench-host: standard output lost (a write failed): the run goes on polling and storing, its lines are "
              "no longer shown\n");
}

// How the polls kept their tick, and how late the replies came with the
// guard that would have covered them, in the summary's lines and JSON.
TEST(RunOutputs, SummarySaysLatePollsAndLateReplies) {
    BusDevice d = Device(12);
    d.tick_period = 1.0;
    d.starts = 11;
    d.first_start = BusDevice::Clock::time_point{};
    d.last_start = d.first_start + 19s;  // ten intervals of 1.9 s
    d.late_polls = 9;
    d.skipped = 4;
    d.conf.addr = 1;
    d.health.ReplyLate(350ms);
    d.health.ReplyLate(2003ms);
    d.health.ReplyLate(500ms);
    d.guard_raised = BusDevice::GuardRaise{DeviceHealth::Moment::At(BusDevice::Clock::time_point{}), 2003ms};
    d.failures[static_cast<std::size_t>(FailureReason::kTwoAnswers)] = 3;
    run::RunEnded end;
    end.devices = {&d};

    const auto lines = runtext::Summary(end);
    // Polled slower than the tick: the summary says the tick cannot be held.
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "polls: every 1.90 s against a tick of 1 s, 9 late, 4 ticks skipped; the tick cannot be held: "
                        "this bus holds one of 1.90 s"),
              lines.end());
    const std::string raised = "late replies: 3 replies late, up to 2.0 s after their request; \"quiet_guard_ms\": 2050 "
                               "would cover them; they raised the quiet guard to 2.0 s at ";
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.compare(0, raised.size(), raised) == 0; }),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "two answers: 3 rounds or exchanges dropped; two monitors may share address 1"),
              lines.end());

    std::ostringstream out, err;
    JsonOutput(out, err, false).OnEvent(end);
    Json::Value v;
    Json::Reader().parse(out.str().substr(0, out.str().find('\n')), v);
    EXPECT_EQ(v["late_polls"].asInt(), 9);
    EXPECT_DOUBLE_EQ(v["poll_interval_s"].asDouble(), 1.9);
    EXPECT_EQ(v["late_replies"].asInt(), 3);
    EXPECT_DOUBLE_EQ(v["late_by_s"].asDouble(), 2.003);
    EXPECT_EQ(v["quiet_guard_ms_needed"].asInt(), 2050);
    EXPECT_EQ(v["quiet_guard_raised_ms"].asInt(), 2003);
    EXPECT_TRUE(v.isMember("quiet_guard_raised_at"));
    EXPECT_EQ(v["skipped"].asInt(), 4);
    EXPECT_EQ(v["failures"]["two answers"].asInt(), 3);
    EXPECT_EQ(v["two_monitors_may_share_addr"].asInt(), 1);
}

// The end of a run tells what happened during it, not only how it ended:
// a device answering at the end was silent for a while, an alarm stands.
TEST(RunOutputs, SummaryTellsSilencesAndStandingAlarms) {
    BusDevice d = Device(12);
    d.alarms.SetLimits("battery_4_value", {12.0f, 14.4f});
    d.alarms.Evaluate("battery_4_value", "第5节电池", 11.2f);
    const Moment t0 = Moment::Now();
    auto at = [&](std::chrono::seconds s) { return Moment{t0.mono + s, t0.wall + s}; };
    d.health = DeviceHealth(at(0s));
    d.health.CycleCompleted(at(1s));
    for (int i = 2; i <= 4; ++i) d.health.CycleFailed(FailureReason::kTimeout, at(std::chrono::seconds(i)));
    d.health.CycleCompleted(at(19s));
    // Its string discharging at the end, at the 10 h rate from full.
    d.charge.emplace(BatteryData{});
    d.charge->Add(verdict::Reading{1000, std::vector<double>(29, 12.2), 353.8, -10.0, 25.0});
    d.resistance.emplace(BatteryData{}, std::vector<double>(29, 5.0));  // a baseline, no step yet
    d.resistance->Add(verdict::Reading{1000, std::vector<double>(29, 12.2), 353.8, -10.0, 25.0});
    d.capacity.emplace(BatteryData{}, true);  // a run marked as a test, ended within it
    for (const int64_t ms : {1000, 61000})
        d.capacity->Add(verdict::Reading{ms, std::vector<double>(29, 12.2), 353.8, -10.0, 25.0},
                        verdict::Charge::discharge);
    // Its float drift on the same baseline: block 6 judged 30 mV above it.
    d.float_drift.emplace(BatteryData{}, std::vector<std::optional<double>>(29, 13.5), 25.0);
    std::vector<std::optional<double>> judged(29, 0.0);
    judged[5] = 0.03;
    d.float_drift->Add(judged);
    d.baseline_date = "2026-06-01";
    run::RunEnded end;
    end.at = at(30s);
    end.devices = {&d};
    end.history_file = "h.sqlite";
    end.records_not_stored = 1;
    const auto lines = runtext::Summary(end);
    const auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has("state: answering; last round none"));
    EXPECT_TRUE(has("silent: 1 period, 17 s in all, from " + runtext::Clock(at(2s).wall, false) + " to " +
                    runtext::Clock(at(19s).wall, false)));
    EXPECT_TRUE(has("alarms standing: 第5节电池 (battery_4_value) 11.20 V below 12.00 V"));
    EXPECT_TRUE(has("1 record not stored"));
    EXPECT_TRUE(has("charge: discharge since " + runtext::Clock(run::WallClock::time_point{1s}, false) +
                    "; about 600 min left (peukert)"));

    std::ostringstream out, err;
    JsonOutput json(out, err, false);
    json.OnEvent(end);
    Json::Value v;
    Json::Reader().parse(out.str().substr(0, out.str().find('\n')), v);
    EXPECT_EQ(v["silent_periods"].asInt(), 1);
    EXPECT_DOUBLE_EQ(v["silent_s"].asDouble(), 17.0);
    EXPECT_EQ(v["first_silence"].asString(), runtext::Iso(at(2s).wall));
    ASSERT_EQ(v["alarms_standing"].size(), 1u);
    EXPECT_EQ(v["alarms_standing"][0]["name"].asString(), "battery_4_value");
    EXPECT_EQ(v["alarms_standing"][0]["bound"].asString(), "low");
    EXPECT_EQ(v["charge_state"].asString(), "discharge");
    EXPECT_EQ(v["time_remaining_s"].asDouble(), 36000.0);
    ASSERT_EQ(v["resistance_rise_pct"].size(), 29u);
    EXPECT_TRUE(v["resistance_rise_pct"][10].isNull());
    EXPECT_EQ(v["capacity"]["source"].asString(), "test");
    EXPECT_TRUE(v["capacity"]["lower_bound"].asBool()) << "stopped with the run, before its end voltage";
    ASSERT_EQ(v["float_drift_mv"].size(), 29u);
    EXPECT_DOUBLE_EQ(v["float_drift_mv"][5].asDouble(), 30.0);
    EXPECT_DOUBLE_EQ(v["float_drift_mv"][0].asDouble(), 0.0);
    EXPECT_EQ(v["baseline_date"].asString(), "2026-06-01");
}

// Bytes received are traced once: a verdict on them (refused, or no whole
// reply in time) gives its reason and points back at them.
TEST(RunOutputs, TraceShowsReceivedBytesOnceAndTheVerdictWithItsReason) {
    const run::WallClock::time_point at{};
    const std::string clock = runtext::Clock(at, true);
    const struct {
        bool sent;
        std::vector<uint8_t> bytes;
        const char* note;
        std::string line;
    } cases[] = {
        {true, {0xFE, 0xFE, 0x81, 0xA2, 0x23}, "", clock + " /dev/ttyS0 > FE FE 81 A2 23"},
        {false, {0xED, 0x81, 0x0F, 0xA3, 0xDB}, "", clock + " /dev/ttyS0 < ED 81 0F A3 DB"},
        {false, {0xED, 0x81, 0x0F, 0xA3, 0xDB}, "refused: checksum", clock + " /dev/ttyS0 ! refused: checksum (the 5 bytes above)"},
        {false, {0xED}, "no reply in time: partial", clock + " /dev/ttyS0 ! no reply in time: partial (the 1 byte above)"},
        {false, {}, "no reply in time: timeout", clock + " /dev/ttyS0 ! no reply in time: timeout"},
        // Bytes not traced before keep their bytes.
        {false, {0xED, 0x81}, "late reply, dropped", clock + " /dev/ttyS0 < ED 81  (late reply, dropped)"},
    };
    for (const auto& c : cases) {
        run::Trace t;
        t.port = "/dev/ttyS0";
        t.sent = c.sent;
        t.bytes = c.bytes;
        t.note = c.note;
        t.at = at;
        EXPECT_EQ(runtext::Trace(t), c.line);
    }
}

BatteryRecord Record(float cell) {
    BatteryRecord r;
    for (int i = 0; i < 29; ++i) r.cells[i] = cell;
    r.group_voltage = 29 * cell;
    r.group_current = 1.5f;
    r.temperature = 25.0f;
    return r;
}

// Four devices on 80x24: the view fits, the silent device's values are
// shown with their age, and the alarm stays in view however many events
// and plug-in lines there are.
TEST(ScreenLayout, FourDevicesFitEightyByTwentyFourWithAgesAndAlarms) {
    std::vector<BusDevice> devices;
    for (uint32_t id = 101; id <= 104; ++id) devices.push_back(Device(id));
    const Moment t0 = Moment::Now();
    for (auto& d : devices) {
        d.cell_count = 29;
        d.last = Record(13.5f);
        d.health = DeviceHealth(t0);
        d.health.CycleCompleted(t0);
    }
    devices[0].alarms.SetLimits("battery_*_value", {12.0f, std::nullopt});
    devices[0].alarms.Evaluate("battery_5_value", "第6节电池", 11.2f);
    for (int i = 0; i < 3; ++i) devices[3].health.CycleFailed(FailureReason::kTimeout, t0);

    ScreenLayout::Content c;
    for (const auto& d : devices) c.devices.push_back(&d);
    for (int i = 0; i < 50; ++i) c.events.push_back({"event " + std::to_string(i), ScreenLayout::Look::kPlain});
    c.plugin_lines = 5000;
    c.last_plugin_line = "rvSize is 0";
    c.web_page = "http://127.0.0.1:8029/";
    c.now = t0.wall + 25s;

    for (const auto& [rows, cols] : {std::pair{24, 80}, std::pair{16, 60}, std::pair{8, 40}}) {
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
        const auto lines = ScreenLayout::Lay(c, rows, cols);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(rows));
        std::string all;
        for (const auto& l : lines) {
            EXPECT_LE(ScreenLayout::Width(l.text), static_cast<std::size_t>(cols)) << l.text;
            all += l.text + "\n";
        }
        EXPECT_EQ(lines.front().text.rfind("bench-host run", 0), 0u);
        // The page's address whole, also on 40 columns.
        EXPECT_NE(lines.front().text.find("http://127.0.0.1:8029/"), std::string::npos) << lines.front().text;
        EXPECT_EQ(lines.back().text.rfind("plug-in: 5000 console lines", 0), 0u);
        EXPECT_NE(all.find("device 104: not answering"), std::string::npos) << all;
        if (rows >= 16) {
            EXPECT_NE(all.find("ALARM 第6节电池"), std::string::npos) << all;
            EXPECT_NE(all.find("25 s old"), std::string::npos) << all;  // never shown as current
            EXPECT_NE(all.find("event 49"), std::string::npos) << all;  // the newest events
        }
    }

    // Room enough: every cell with its bar.
    c.devices.resize(1);
    const auto tall = ScreenLayout::Lay(c, 40, 100);
    EXPECT_EQ(tall[2].text.rfind("── device 101", 0), 0u);
    EXPECT_NE(tall[3].text.find("  1  13.50 V ████"), std::string::npos) << tall[3].text;  // 0.01 V, aligned
}

// However narrow the terminal, a device that does not answer keeps its
// reason on screen: the rest of its heading gives way first.
TEST(ScreenLayout, ANarrowScreenKeepsTheReasonADeviceIsSilent) {
    BusDevice d = Device(104);
    d.port_path = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    d.conf.type = "upsbattery_29";
    const Moment t0 = Moment::Now();
    d.health = DeviceHealth(t0);
    d.health.CycleCompleted(t0);
    for (int i = 0; i < 12; ++i) d.health.CycleFailed(FailureReason::kChecksum, t0);
    ScreenLayout::Content c;
    c.devices = {&d};
    c.now = t0.wall;
    for (const auto& [rows, cols] : {std::pair{40, 120}, std::pair{24, 80}, std::pair{16, 60}, std::pair{8, 40},
                                     std::pair{4, 36}}) {
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
        const auto lines = ScreenLayout::Lay(c, rows, cols);
        bool kept = false;
        for (const auto& l : lines) {
            EXPECT_LE(ScreenLayout::Width(l.text), static_cast<std::size_t>(cols)) << l.text;
            kept = kept || (l.text.find("device 104") != std::string::npos && l.text.find("checksum") != std::string::npos);
        }
        std::string all;
        for (const auto& l : lines) all += l.text + "\n";
        EXPECT_TRUE(kept) << all;
    }
}

TEST(ScreenLayout, WidthCountsWideLabelsTwiceAndFitCutsWholeCharacters) {
    EXPECT_EQ(ScreenLayout::Width("第6节电池"), 9u);
    EXPECT_EQ(ScreenLayout::Width("13.5 V █·"), 9u);
    EXPECT_EQ(ScreenLayout::Fit("第6节电池", 4), "第6");
    EXPECT_EQ(ScreenLayout::Fit("第6节电池", 5), "第6节");
    EXPECT_EQ(ScreenLayout::Fit("abc", 10), "abc");
}

}  // namespace
