// The bus scheduler on its own: the plug-in's battery devices polled over a
// scripted line on the bench's clock (BusBench.h).  Each case says what
// the monitors do, and checks what went out on the line and when, which
// rounds were kept and with which readings, and what each device counts.
//
// The times below follow from the line: at 19200 bit/s a request and the
// 67-byte reply take 37.5 ms on the wire, a request and a 5-byte reply
// 5.21 ms; with the 100 ms margin a cell reply is overdue 137.5 ms after
// its request, a short one after 105.21 ms, and the quiet guard after a
// timeout is twice that (275 ms, 210.42 ms) until a later reply is seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BusBench.h"
#include "models/Models.h"
#include "protocol/MonitorProtocol.h"
#include "record/FailureReason.h"

namespace {

using namespace busbench;
using namespace std::chrono_literals;
using Reason = FailureReason;
using State = DeviceHealth::State;

constexpr uint8_t kA1 = monitor::kCmdCellVoltages;
constexpr uint8_t kA2 = monitor::kCmdStringVoltage;
constexpr uint8_t kA3 = monitor::kCmdCurrent;
constexpr uint8_t kA4 = monitor::kCmdTemperature;

// Times in the tables are milliseconds from the start, to the microsecond.
constexpr double kNear = 0.001;

// A round owed nothing is kept once a second answer to its last request
// could no longer come: when that (short) request's reply would be
// overdue, 105.21 ms after it.  The time a round completed with its last
// reply answer_ms after the request, and the time it is kept.
constexpr double kShortTimeout = 100.0 + 100.0 / 19.2;
double Quiet(double completed_ms, double answer_ms = 10) { return completed_ms - answer_ms + kShortTimeout; }

Clock::duration Dur(double ms) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

BusScheduler::Options Options(double tick_period = 1.0) {
    BusScheduler::Options o;
    o.tick_period = tick_period;
    o.response_margin_ms = 100;
    o.frame_gap_ms = 20;
    o.probe_interval_ms = 5000;
    return o;
}

const char* Name(uint8_t command) {
    switch (command) {
        case kA1: return "A1";
        case kA2: return "A2";
        case kA3: return "A3";
        case kA4: return "A4";
        default: return "??";
    }
}

// The commands of the requests sent, "A1 A2 ...".
std::string Commands(const std::vector<Sent>& sent) {
    std::string out;
    for (const Sent& s : sent) out += std::string(out.empty() ? "" : " ") + Name(s.command);
    return out;
}

std::vector<Sent> Between(const std::vector<Sent>& sent, const Bench& b, double from_ms, double to_ms) {
    std::vector<Sent> out;
    for (const Sent& s : sent)
        if (b.Since(s.at).count() >= from_ms && b.Since(s.at).count() < to_ms) out.push_back(s);
    return out;
}

std::vector<double> Times(const Bench& b, const std::vector<Sent>& sent) {
    std::vector<double> out;
    for (const Sent& s : sent) out.push_back(b.Since(s.at).count());
    return out;
}

std::vector<double> KeptTimes(const Bench& b, std::size_t device) {
    std::vector<double> out;
    for (const Kept& k : b.KeptOf(device)) out.push_back(b.Since(k.at).count());
    return out;
}

void ExpectTimes(const std::vector<double>& got, const std::vector<double>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], kNear) << what << " #" << i;
}

// Every failure count of the device is 0 but those given.
void ExpectFailures(const BusDevice& d, std::map<Reason, long> want) {
    for (std::size_t r = 0; r < kFailureReasons; ++r) {
        const Reason reason = static_cast<Reason>(r);
        EXPECT_EQ(d.failures[r], want[reason]) << "failures: " << FailureName(reason);
    }
}

// A kept record holds the readings the monitors sent (Readings{}).
void ExpectReadings(const Kept& k, const Readings& r = Readings{}) {
    for (int c = 0; c < models::kUPSBattery29.cells; ++c) EXPECT_FLOAT_EQ(k.record.cells[c], r.cell / 100.0f) << "cell " << c;
    EXPECT_FLOAT_EQ(k.record.group_voltage, r.string_voltage / 10.0f);
    EXPECT_FLOAT_EQ(k.record.group_current, r.current / 10.0f);
    EXPECT_FLOAT_EQ(k.record.temperature, r.temperature / 100.0f);
}

int Notes(const Bench& b, const std::string& prefix) {
    return static_cast<int>(std::count_if(b.log.notes.begin(), b.log.notes.end(), [&](const std::string& n) {
        return n.compare(0, prefix.size(), prefix) == 0;
    }));
}

// A piece of a scripted reply: bytes [from, to) of it, this long after the
// request.
struct Pause {
    double after_ms;
    std::size_t from, to;
};

// Readings the monitors held a moment ago: what a late reply carries.
Readings Old() {
    Readings r;
    r.cell = 1200;
    r.string_voltage = 3800;
    r.current = 100;
    r.temperature = 2400;
    return r;
}

// The bytes [from, to) of a reply.
Bytes Cut(const Bytes& reply, std::size_t from, std::size_t to) {
    return Bytes(reply.begin() + static_cast<std::ptrdiff_t>(from), reply.begin() + static_cast<std::ptrdiff_t>(to));
}

// ---------------------------------------------------------------------------

TEST(BusScheduler, WholeRepliesAreKeptOnTheTick) {
    struct Case {
        const char* name;
        int devices;
        double tick_period;
        int answer_ms;  // each reply whole, this long after its request
        int ticks;      // in the 10 s run
        bool echo = false;
    };
    const Case cases[] = {
        {"one device, 1 s", 1, 1.0, 10, 10},
        {"one device, 2 s", 1, 2.0, 10, 5},
        {"three devices share the tick", 3, 1.0, 10, 10},
        {"three slow monitors, half a second", 3, 0.5, 30, 20},
        {"each request heard back first", 2, 1.0, 10, 10, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BusScheduler::Options o = Options(c.tick_period);
        o.echo = c.echo;
        Bench b(o, c.devices);
        b.echo = c.echo;
        for (int i = 0; i < c.devices; ++i)
            b.SetMonitor(static_cast<std::size_t>(i), [&c](const Bench::Asked& a) {
                return std::vector<Piece>{Piece{Dur(c.answer_ms), Reply(a.addr, a.command)}};
            });
        b.RunFor(10s - 1ms);

        const double period = c.tick_period * 1000;
        const double round = 4.0 * c.answer_ms;
        for (std::size_t i = 0; i < b.devices.size(); ++i) {
            SCOPED_TRACE("device " + std::to_string(i));
            const BusDevice& d = *b.devices[i];
            // Each device on its own grid, the later ones as soon as the bus
            // is free.
            std::vector<double> starts, kept, requests;
            for (int k = 0; k < c.ticks; ++k) {
                const double t = k * period + static_cast<double>(i) * round;
                starts.push_back(t);
                kept.push_back(Quiet(t + round, c.answer_ms));
                for (int e = 0; e < 4; ++e) requests.push_back(t + e * c.answer_ms);
            }
            std::vector<double> got_starts;
            for (const auto& t : b.cycle_starts[i]) got_starts.push_back(b.Since(t).count());
            ExpectTimes(got_starts, starts, "cycle starts");
            ExpectTimes(KeptTimes(b, i), kept, "rounds kept");
            const auto sent = b.SentTo(i);
            ExpectTimes(Times(b, sent), requests, "requests");
            for (std::size_t s = 0; s < sent.size(); ++s) {
                const uint8_t command = static_cast<uint8_t>(kA1 + s % 4);
                const auto want = monitor::BuildRequest(b.BusAddr(i), command);
                EXPECT_EQ(sent[s].bytes, Bytes(want.begin(), want.end())) << "request #" << s;
            }
            for (const Kept& k : b.KeptOf(i)) ExpectReadings(k);
            EXPECT_EQ(d.cycles, c.ticks);
            EXPECT_EQ(d.completed, c.ticks);
            EXPECT_EQ(d.abandoned, 0);
            EXPECT_EQ(d.resends, 0);
            EXPECT_EQ(d.late_polls, 0);
            EXPECT_EQ(d.missed, 0);
            ExpectFailures(d, {});
            EXPECT_EQ(d.health.state(), State::kAnswering);
            EXPECT_NEAR(d.PollIntervalSeconds(), c.tick_period, 1e-9);
        }
        EXPECT_TRUE(std::all_of(b.sent.begin(), b.sent.end(), [](const Sent& s) { return s.command != 0; }));
        EXPECT_EQ(Notes(b, "echo"), c.echo ? static_cast<int>(b.sent.size()) : 0);
        EXPECT_EQ(b.line.used_while_closed, 0);
        EXPECT_EQ(b.log.device_call_failures, 0);
    }
}

// A reading the monitor marks invalid (0xFFFF) is no value in the round kept
// from it, and in that round alone: the plug-in's record holds 0 V for the
// cell and the temperature of the round before, which the bench must not
// show or judge as readings.
TEST(BusScheduler, ReadingsMarkedInvalidAreNoValue) {
    constexpr uint16_t kInvalid = 0xFFFF;
    struct Case {
        const char* name;
        Readings first;                     // the first round's replies; Readings{} after
        std::vector<std::string> no_value;  // in the first round kept
        std::vector<Pause> cell_pieces = {};  // the first cell reply cut so
    };
    auto with = [](auto set) {
        Readings r;
        set(r);
        return r;
    };
    const Case cases[] = {
        {"a cell and the temperature", with([&](Readings& r) { r.slots[4] = kInvalid; r.temperature = kInvalid; }),
         {"battery_4_value", "temperature"}},
        {"the string voltage and the current",
         with([&](Readings& r) { r.string_voltage = kInvalid; r.current = kInvalid; }), {"group_voltage", "group_current"}},
        {"every cell", with([&](Readings& r) { r.cell = kInvalid; }), [] {
             std::vector<std::string> all;
             for (int c = 0; c < models::kUPSBattery29.cells; ++c) all.push_back("battery_" + std::to_string(c) + "_value");
             return all;
         }()},
        {"a slot the model does not decode", with([&](Readings& r) { r.slots[30] = kInvalid; }), {}},
        {"0xFFFE is a reading, out of the window", with([&](Readings& r) { r.slots[4] = 0xFFFE; }), {}},
        {"a cell in a reply cut in three pieces", with([&](Readings& r) { r.slots[20] = kInvalid; }),
         {"battery_20_value"}, {{5, 0, 20}, {60, 20, 50}, {130, 50, 67}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(1.0), 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            const Bytes reply = Reply(a.addr, a.command, a.n < 4 ? c.first : Readings{});
            if (a.n != 0 || c.cell_pieces.empty()) return std::vector<Piece>{Piece{Dur(10), reply}};
            std::vector<Piece> out;
            for (const Pause& p : c.cell_pieces) out.push_back(Piece{Dur(p.after_ms), Cut(reply, p.from, p.to)});
            return out;
        });
        b.RunFor(2s - 1ms);
        ASSERT_EQ(b.kept.size(), 2u);
        const BatteryRecord& first = b.kept[0].record;
        for (int bit = 0; bit < BatteryRecord::kValueBits; ++bit) {
            const std::string name = bit == BatteryRecord::kStringVoltageBit ? "group_voltage"
                                     : bit == BatteryRecord::kCurrentBit     ? "group_current"
                                     : bit == BatteryRecord::kTemperatureBit ? "temperature"
                                                                              : "battery_" + std::to_string(bit) + "_value";
            const bool want = std::find(c.no_value.begin(), c.no_value.end(), name) != c.no_value.end();
            EXPECT_EQ(first.NoValue(name), want) << name;
        }
        for (int cell = 0; cell < models::kUPSBattery29.cells; ++cell)
            EXPECT_EQ(BatteryRecord::HasValue(first.cells[static_cast<std::size_t>(cell)]),
                      !first.NoValue("battery_" + std::to_string(cell) + "_value"))
                << "cell " << cell;
        EXPECT_EQ(BatteryRecord::HasValue(first.temperature), !first.NoValue("temperature"));
        EXPECT_EQ(BatteryRecord::HasValue(first.group_voltage), !first.NoValue("group_voltage"));
        EXPECT_EQ(BatteryRecord::HasValue(first.group_current), !first.NoValue("group_current"));
        // The next round's replies are all read: nothing carries over.
        EXPECT_EQ(b.kept[1].record.no_value, 0u);
        ExpectReadings(b.kept[1]);
        EXPECT_EQ(b.devices[0]->completed, 2);
    }
}


// A reply arrives however the adapter cuts it: pieces with pauses inside
// the response timeout make one reply; a reply that stops short, or that
// the device refuses, fails its exchange for what is wrong with it, and
// nothing of it reaches a kept round.
TEST(BusScheduler, RepliesInPieces) {
    struct Case {
        const char* name;
        uint8_t command;  // of the first cycle, answered in pieces
        std::vector<Pause> pieces;
        std::string first_cycle;  // requests of the first second
        double first_kept_ms;     // -1: the first cycle keeps nothing
        std::map<Reason, long> failures;
        long resends;
        long abandoned;
        long reruns = 0;  // cycles spoilt early in their tick, run again at once
        // The loop held up from a time for a while: what came meanwhile
        // waits on the port.
        std::optional<std::pair<double, double>> stall_ms = std::nullopt;
        std::size_t noise = 0;  // bytes of noise before the reply with the bad checksum
    };
    std::vector<Pause> byte_by_byte;
    for (std::size_t i = 0; i < monitor::kLongReplyLen; ++i) byte_by_byte.push_back(Pause{10.0 + i, i, i + 1});
    const Case cases[] = {
        {"cell reply in three pieces", kA1, {{5, 0, 20}, {60, 20, 50}, {130, 50, 67}}, "A1 A2 A3 A4", 160, {}, 0, 0},
        {"cell reply a byte a millisecond", kA1, byte_by_byte, "A1 A2 A3 A4", 106, {}, 0, 0},
        // The string voltage is asked 10 ms in.
        {"short reply in two, paused 95 ms", kA2, {{5, 0, 2}, {100, 2, 5}}, "A1 A2 A3 A4", 130, {}, 0, 0},
        {"start byte alone, the rest at 105 ms", kA2, {{1, 0, 1}, {105, 1, 5}}, "A1 A2 A3 A4", 135, {}, 0, 0},
        // Overdue at 137.5 ms, quiet for 275 ms, asked again at 412.5 ms.
        {"cell reply stops short", kA1, {{5, 0, 40}}, "A1 A1 A2 A3 A4", 452.5, {{Reason::kPartial, 1}}, 1, 0},
        // Overdue at 115.21 ms, quiet for 210.42 ms, asked again at 325.63 ms.
        {"short reply stops short", kA2, {{5, 0, 3}}, "A1 A2 A2 A3 A4", 355.625, {{Reason::kPartial, 1}}, 1, 0},
        // The rest comes at 150 ms, past the timeout: dropped, and once it has
        // passed the line needs only a frame gap (to 170 ms).
        {"rest of the cell reply after its timeout",
         kA1,
         {{5, 0, 40}, {150, 40, 67}},
         "A1 A1 A2 A3 A4",
         210,
         {{Reason::kPartial, 1}, {Reason::kLateReply, 1}},
         1,
         0},
        // Refused at 30 ms: after a frame gap the tick is run again.
        {"current reply with a bad checksum", kA3, {}, "A1 A2 A3 A1 A2 A3 A4", 90, {{Reason::kChecksum, 1}}, 0, 1, 1},
        // Thirteen bytes for a five-byte reply, but the noise before its
        // start byte is no second answer.
        {"current reply with a bad checksum behind noise", kA3, {}, "A1 A2 A3 A1 A2 A3 A4", 90, {{Reason::kChecksum, 1}},
         0, 1, 1, std::nullopt, 8},
        {"another monitor answers the temperature", kA4, {}, "A1 A2 A3 A4 A1 A2 A3 A4", 100, {{Reason::kAddress, 1}}, 0,
         1, 1},
        // The reply waited on the port past its timeout while the loop was
        // held up: read before anything is judged overdue, and taken.
        {"short reply read after the loop was held up past its timeout", kA2, {{5, 0, 5}}, "A1 A2 A3 A4", 420, {}, 0,
         0, 0, std::make_pair(12.0, 388.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            if (a.command != c.command || a.nth_of_command != 0) return Bench::Whole(a);
            Bytes reply = Reply(a.addr, a.command);
            std::vector<Piece> out;
            for (const Pause& p : c.pieces) out.push_back(Piece{Dur(p.after_ms), Cut(reply, p.from, p.to)});
            if (c.failures.count(Reason::kChecksum)) {
                // The whole reply, its checksum off by one.
                reply.back() = static_cast<uint8_t>(reply.back() + 1);
                reply.insert(reply.begin(), c.noise, 0x13);
                out = {Piece{Dur(10), reply}};
            }
            if (c.failures.count(Reason::kAddress)) {
                monitor::SetReplyAddress(reply.data(), static_cast<int>(reply.size()), monitor::BusAddress(7));
                out = {Piece{Dur(10), reply}};
            }
            return out;
        });
        if (c.stall_ms) b.StallAt(Dur(c.stall_ms->first), Dur(c.stall_ms->second));
        b.RunFor(1999ms);

        const BusDevice& d = *b.devices[0];
        EXPECT_EQ(Commands(Between(b.sent, b, 0, 1000)), c.first_cycle);
        EXPECT_EQ(Commands(Between(b.sent, b, 1000, 2000)), "A1 A2 A3 A4");
        std::vector<double> kept;
        if (c.first_kept_ms >= 0) kept.push_back(Quiet(c.first_kept_ms));
        kept.push_back(Quiet(1040));
        ExpectTimes(KeptTimes(b, 0), kept, "rounds kept");
        for (const Kept& k : b.kept) ExpectReadings(k);
        ExpectFailures(d, c.failures);
        EXPECT_EQ(d.resends, c.resends);
        EXPECT_EQ(d.abandoned, c.abandoned);
        EXPECT_EQ(d.cycles, 2 + c.reruns);
        EXPECT_EQ(d.completed, c.first_kept_ms >= 0 ? 2 : 1);
        EXPECT_EQ(d.health.state(), State::kAnswering);
    }
}

// No reply at all: the request is asked again after the quiet guard, three
// times in a cycle, then the cycle is given up and the next one starts.
// Nothing is written while the line has to be quiet.
TEST(BusScheduler, NoReplyResendsAfterTheQuietGuard) {
    struct Case {
        const char* name;
        uint8_t command;  // never answered in the first cycle
        std::optional<int> quiet_guard_ms;
        std::vector<double> requests;  // of the unanswered command
        double next_cycle_ms;          // the first request of the next cycle
        // Ticks passed whole before the next cycle starts a new grid: lost.
        long skipped = 0;
    };
    const Case cases[] = {
        // 137.5 ms to the timeout, 275 ms quiet.
        {"cell reply, guard of twice the timeout", kA1, std::nullopt, {0, 412.5, 825, 1237.5}, 1650},
        // The tick at 1 s passed whole: the next cycle stands for the one at 2 s.
        {"cell reply, guard set to 500 ms", kA1, 500, {0, 637.5, 1275, 1912.5}, 2550, 1},
        // 105.21 ms to the timeout, 210.42 ms quiet; the bus is free again
        // within half a tick of the next poll, which keeps its time.
        {"short reply, guard of twice the timeout", kA2, std::nullopt, {10, 325.625, 641.25, 956.875}, 1272.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BusScheduler::Options o = Options();
        o.quiet_guard_ms = c.quiet_guard_ms;
        Bench b(o, 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            if (a.command == c.command && a.nth_of_command < monitor::kResendsPerCycle + 1) return std::vector<Piece>{};
            return Bench::Whole(a);
        });
        b.RunFor(2999ms);

        const BusDevice& d = *b.devices[0];
        std::vector<Sent> asked;
        for (const Sent& s : b.sent)
            if (s.command == c.command && b.Since(s.at).count() < c.next_cycle_ms) asked.push_back(s);
        ExpectTimes(Times(b, asked), c.requests, "requests of the unanswered command");
        // Whatever the guard, nothing else went out while it ran.
        const int reply_len = monitor::ReplyLength(c.command);
        const auto quiet = b.scheduler.ResponseTimeout(reply_len) + b.scheduler.QuietGuard(reply_len);
        for (std::size_t i = 1; i < asked.size(); ++i) {
            EXPECT_GE(asked[i].at - asked[i - 1].at, quiet) << "resend #" << i;
            EXPECT_TRUE(Between(b.sent, b, b.Since(asked[i - 1].at).count() + kNear, b.Since(asked[i].at).count()).empty())
                << "written while the line had to be quiet, before resend #" << i;
        }
        const long cycles = static_cast<long>(b.cycle_starts[0].size());
        ASSERT_GE(cycles, 2);
        EXPECT_NEAR(b.Since(b.cycle_starts[0][1]).count(), c.next_cycle_ms, kNear);
        const auto first = Between(b.sent, b, c.next_cycle_ms - kNear, c.next_cycle_ms + kNear);
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first.front().command, kA1);
        EXPECT_EQ(d.resends, monitor::kResendsPerCycle);
        EXPECT_EQ(d.abandoned, 1);
        EXPECT_EQ(d.completed, cycles - 1);
        EXPECT_EQ(d.skipped, c.skipped);
        EXPECT_EQ(d.Lost(), 1 + c.skipped);
        ExpectFailures(d, {{Reason::kTimeout, monitor::kResendsPerCycle + 1}});
        EXPECT_EQ(Notes(b, "no reply in time: timeout"), monitor::kResendsPerCycle + 1);
        ASSERT_FALSE(b.kept.empty());
        for (const Kept& k : b.kept) ExpectReadings(k);
        EXPECT_EQ(d.health.state(), State::kAnswering);
        EXPECT_EQ(d.health.late_replies(), 0);
    }
}

// A reply that comes after its timeout, while the line must be quiet, and
// is the only one its monitor owes, can answer nothing but its own request:
// it is timed late and handed to the device at its next turn, a frame gap
// after it came, in the place of the resend.  (Replies that could answer
// another request are dropped: the rows of the quarter table below.)
TEST(BusScheduler, LateReplyOwedAloneAnswersItsOwnRequest) {
    struct Case {
        const char* name;
        uint8_t command;            // answered late the first time
        std::vector<Pause> pieces;  // of the late reply, after its request
        std::optional<double> resend_ms;  // none: the late reply was taken
        double kept_ms;
        long late_by_ms;
        std::optional<std::pair<double, double>> stall_ms = std::nullopt;  // the loop held up, as above
    };
    const Case cases[] = {
        {"whole cell reply at 200 ms", kA1, {{200, 0, 67}}, std::nullopt, 250, 200},
        // Read at 600 ms by a loop held up from 150 ms: judged as come when
        // the loop was due, at the guard's end (412.5 ms).
        {"cell reply at 200 ms, the loop held up to 600 ms", kA1, {{200, 0, 67}}, std::nullopt, 630, 412,
         std::make_pair(150.0, 450.0)},
        // Its first part alone is no whole reply: dropped, its rest after
        // it, and the request asked again once a frame gap has passed.
        {"cell reply in two pieces, 200 and 210 ms", kA1, {{200, 0, 30}, {210, 30, 67}}, 230, 270, 200},
        // Asked at 10 ms, back at 160 ms.
        {"string voltage at 150 ms", kA2, {{150, 0, 5}}, std::nullopt, 200, 150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            if (a.command != c.command || a.nth_of_command != 0) return Bench::Whole(a);
            const Bytes reply = Reply(a.addr, a.command, Old());
            std::vector<Piece> out;
            for (const Pause& p : c.pieces) out.push_back(Piece{Dur(p.after_ms), Cut(reply, p.from, p.to)});
            return out;
        });
        if (c.stall_ms) b.StallAt(Dur(c.stall_ms->first), Dur(c.stall_ms->second));
        b.RunFor(999ms);

        const BusDevice& d = *b.devices[0];
        std::vector<double> asked;
        for (const Sent& s : b.sent)
            if (s.command == c.command) asked.push_back(b.Since(s.at).count());
        ASSERT_EQ(asked.size(), c.resend_ms ? 2u : 1u);
        if (c.resend_ms) {
            EXPECT_NEAR(asked[1], *c.resend_ms, kNear);
        }
        ExpectTimes(KeptTimes(b, 0), {Quiet(c.kept_ms)}, "rounds kept");
        // Taken, the late reply's readings answer its own command, and only
        // it; dropped, they reach no round.
        Readings want;
        const Readings old = Old();
        if (!c.resend_ms && c.command == kA1) want.cell = old.cell;
        if (!c.resend_ms && c.command == kA2) want.string_voltage = old.string_voltage;
        for (const Kept& k : b.kept) ExpectReadings(k, want);
        std::map<Reason, long> failures{{Reason::kTimeout, 1}};
        if (c.resend_ms) failures[Reason::kLateReply] = 1;
        ExpectFailures(d, failures);
        EXPECT_EQ(d.health.late_replies(), 1);
        EXPECT_EQ(d.health.late_by(), std::chrono::milliseconds(c.late_by_ms));
        EXPECT_EQ(b.scheduler.GuardNeeded(), std::chrono::milliseconds((c.late_by_ms + 49) / 50 * 50));
        EXPECT_EQ(Notes(b, c.resend_ms ? "late reply, dropped" : "late reply, kept as the answer to its request"), 1);
        EXPECT_EQ(d.resends, c.resend_ms ? 1 : 0);
        EXPECT_EQ(d.completed, 1);
        EXPECT_EQ(d.abandoned, 0);
    }
}

// A round whose monitor still owes a reply (one given up on in the round)
// is held until the line has been quiet for a response timeout: kept when
// it was, dropped as late, discarded when a reply no request explains
// comes meanwhile.
TEST(BusScheduler, RoundOwedAReplyIsHeld) {
    // The string voltage, asked at 10 ms, is not answered in time; asked
    // again at 325.63 ms, the round completes at 355.63 ms and is held for
    // 105.21 ms, to 460.83 ms.
    struct Case {
        const char* name;
        std::optional<double> late_ms;  // the first string voltage reply, after its request
        std::vector<double> kept;
        std::map<Reason, long> failures;
        long late_replies;  // measured against the request they answer
    };
    const Case cases[] = {
        {"quiet while held: kept", std::nullopt, {460.833, Quiet(1040)}, {{Reason::kTimeout, 1}}, 0},
        {"owed reply comes while held: dropped",
         420,
         {Quiet(1040)},
         {{Reason::kTimeout, 1}, {Reason::kLateDiscarded, 1}},
         1},
        // Once the hold is over the reply owed is no longer expected: it is
        // an unasked reply, late, and the kept round stands.
        {"owed reply after the hold", 500, {460.833, Quiet(1040)}, {{Reason::kTimeout, 1}, {Reason::kLateReply, 1}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            if (a.command != kA2 || a.nth_of_command != 0) return Bench::Whole(a);
            if (!c.late_ms) return std::vector<Piece>{};
            return std::vector<Piece>{Piece{Dur(*c.late_ms), Reply(a.addr, a.command, Old())}};
        });
        b.RunFor(1999ms);

        const BusDevice& d = *b.devices[0];
        EXPECT_EQ(Commands(Between(b.sent, b, 0, 1000)), "A1 A2 A2 A3 A4");
        // Nothing is asked while the round is held.
        EXPECT_TRUE(Between(b.sent, b, 355.625 + kNear, 1000).empty());
        std::vector<double> kept = KeptTimes(b, 0);
        ExpectTimes(kept, c.kept, "rounds kept");
        for (const Kept& k : b.kept) ExpectReadings(k);
        ExpectFailures(d, c.failures);
        EXPECT_EQ(d.health.late_replies(), c.late_replies);
        EXPECT_EQ(d.cycles, 2);
        EXPECT_EQ(d.completed + d.abandoned, 2);
        EXPECT_EQ(Notes(b, "round dropped"), c.failures.count(Reason::kLateDiscarded) ? 1 : 0);
    }
}

// Two replies to one request, or a reply waiting on the line before the
// request it would answer: the line is out of step and the round, though
// complete, is not kept (late, discarded).
TEST(BusScheduler, RoundOutOfStepIsNotKept) {
    struct Case {
        const char* name;
        std::function<std::vector<Piece>(const Bench::Asked&)> monitor;
        // Bytes that land unseen at 1 s, when the next cycle's first
        // request is written.
        bool waiting_at_tick;
        std::vector<double> kept;
        std::string note;
        // A second answer from the monitor while it owed nothing (past the
        // whole reply, waiting behind it, sooner than it answers): two
        // monitors may share the address.
        Reason why = Reason::kLateDiscarded;
    };
    const auto doubled = [](uint8_t command, bool one_chunk) {
        return [command, one_chunk](const Bench::Asked& a) {
            if (a.command != command || a.n >= 4) return Bench::Whole(a);
            Bytes reply = Reply(a.addr, a.command);
            const Bytes again = Reply(a.addr, kA2);
            if (!one_chunk) return std::vector<Piece>{Piece{Dur(10), reply}, Piece{Dur(10), again}};
            reply.insert(reply.end(), again.begin(), again.end());
            return std::vector<Piece>{Piece{Dur(10), reply}};
        };
    };
    // After the monitor has been timed answering in 10 ms eight times, a
    // reply 3 ms after its request was on its way before it.
    const auto too_soon = [](const Bench::Asked& a) {
        if (a.command != kA1 || a.nth_of_command != 2) return Bench::Whole(a);
        return std::vector<Piece>{Piece{Dur(3), Reply(a.addr, a.command)}};
    };
    const Case cases[] = {
        {"two replies in one chunk", doubled(kA3, true), false, {Quiet(1040), Quiet(2040)},
         "more than was asked, dropped", Reason::kTwoAnswers},
        {"a short reply behind the cell reply", doubled(kA1, true), false, {Quiet(1040), Quiet(2040)},
         "more than was asked, dropped", Reason::kTwoAnswers},
        {"a second chunk waiting behind the reply", doubled(kA2, false), false, {Quiet(1040), Quiet(2040)},
         "before the request, dropped", Reason::kTwoAnswers},
        {"bytes waiting when the tick writes", [](const Bench::Asked& a) { return Bench::Whole(a); }, true,
         {Quiet(40), Quiet(2040)}, "before the request, dropped", Reason::kTwoAnswers},
        {"a reply sooner than the monitor answers", too_soon, false, {Quiet(40), Quiet(1040)},
         "out of step: sooner than", Reason::kTwoAnswers},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 1);
        b.SetMonitor(0, c.monitor);
        if (c.waiting_at_tick) b.ArriveAt(1s, Reply(b.BusAddr(0), kA4, Old()), false);
        b.RunFor(2999ms);

        const BusDevice& d = *b.devices[0];
        ExpectTimes(KeptTimes(b, 0), c.kept, "rounds kept");
        for (const Kept& k : b.kept) ExpectReadings(k);
        EXPECT_EQ(d.cycles, 3);
        EXPECT_EQ(d.completed, 2);
        EXPECT_EQ(d.abandoned, 1);
        ExpectFailures(d, {{c.why, 1}});
        EXPECT_EQ(Notes(b, c.note), 1);
        EXPECT_EQ(Notes(b, "round dropped"), 1);
        // Every cycle asked all four: the round ran to its end.
        EXPECT_EQ(Commands(b.sent), "A1 A2 A3 A4 A1 A2 A3 A4 A1 A2 A3 A4");
    }
}

// A monitor that answers a request with another monitor's address (a
// cross-wired or misconfigured unit): the frame comes in the time of its
// own reply, so by the line's timing it is its own exchange, and it names
// another.  It reaches neither device, even when the monitor it names owes
// a reply of that length, and is counted as an address failure of the
// exchange it came into.  Monitor A (device 0) leaves a request unanswered
// first; monitor B (device 1) answers one of its own with A's address.
TEST(BusScheduler, AReplyNamingAnotherMonitorAnswersNeither) {
    struct Case {
        const char* name;
        uint8_t a_drops;     // A's first request of this command goes unanswered
        uint8_t b_as_a;      // B's first answer to this command carries A's address
    };
    const Case cases[] = {
        // The trace that stored B's current as A's temperature.
        {"A's temperature owed, B's current as A", kA4, kA3},
        {"A's string voltage owed, B's temperature as A", kA2, kA4},
        {"A's cells owed, B's cells as A", kA1, kA1},
        {"A's string voltage owed, B's string voltage as A", kA2, kA2},
        {"A owes nothing, B's current as A", 0, kA3},
    };
    // B reads other values than A, each unlike any of A's: a value of B's
    // in A's round shows.
    Readings b_reads;
    b_reads.cell = 1111;
    b_reads.string_voltage = 3333;
    b_reads.current = 777;
    b_reads.temperature = 1999;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 2);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            if (a.command == c.a_drops && a.nth_of_command == 0) return std::vector<Piece>{};
            return Bench::Whole(a);
        });
        const uint8_t a_addr = b.BusAddr(0);
        b.SetMonitor(1, [&c, a_addr, b_reads](const Bench::Asked& a) {
            if (a.command == c.b_as_a && a.nth_of_command == 0)
                return std::vector<Piece>{Piece{Bench::kTurnaround, Reply(a_addr, a.command, b_reads)}};
            return Bench::Whole(a, b_reads);
        });
        b.RunFor(3999ms);

        for (const Kept& k : b.KeptOf(0)) ExpectReadings(k);
        for (const Kept& k : b.KeptOf(1)) ExpectReadings(k, b_reads);
        // Both are read again on their next cycles.
        EXPECT_GE(b.KeptOf(0).size(), 3u);
        EXPECT_GE(b.KeptOf(1).size(), 3u);
        EXPECT_EQ(b.devices[1]->failures[static_cast<std::size_t>(Reason::kAddress)], 1);
        EXPECT_EQ(Notes(b, "late reply, kept as the answer"), 0);
    }
}

// A reply judged sooner than its monitor answers costs the cycle it came
// in, and no more: the monitor is timed afresh, so a quickest answer
// raised by a spell of slow answers (a busy controller reading them late)
// does not make every later answer look too soon.
TEST(BusScheduler, AFalseCollisionCostsOnlyItsCycle) {
    struct Case {
        const char* name;
        std::function<double(const Bench::Asked&)> answer_ms;
    };
    const Case cases[] = {
        {"answers at 60 ms for four cycles, then at 10 ms",
         [](const Bench::Asked& a) { return a.n < 16 ? 60.0 : 10.0; }},
        {"one reply 3 ms after its request among answers at 10 ms",
         [](const Bench::Asked& a) { return a.n == 20 ? 3.0 : 10.0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            return std::vector<Piece>{Piece{Dur(c.answer_ms(a)), Reply(a.addr, a.command)}};
        });
        b.RunFor(9999ms);

        const BusDevice& d = *b.devices[0];
        EXPECT_EQ(d.cycles, 10);
        EXPECT_EQ(d.completed, 9);
        EXPECT_EQ(d.abandoned, 1);
        ExpectFailures(d, {{Reason::kTwoAnswers, 1}});
        for (const Kept& k : b.kept) ExpectReadings(k);
    }
}

// Two monitors set to the same address both answer every request, each
// with its own readings, whatever their answer times: no kept round holds a
// field of one and a field of the other, and the second answers are counted
// and named.  Where the second monitor's cell reply lands in the next
// request's short reply, or the two replies go out together a byte at a
// time and interleave, the frame fails its checks as a faulty line's would;
// the second answer's worth of bytes that follows it names it.
TEST(BusScheduler, TwoMonitorsAtOneAddressAreNeverMixed) {
    const struct {
        double first_ms, second_ms;
        Reason why;
        bool paced = false;  // each byte 0.52 ms after the one before, as on the wire
    } cases[] = {{9, 11, Reason::kTwoAnswers},     {10, 10, Reason::kTwoAnswers}, {10, 16, Reason::kTwoAnswers},
                 {10, 30, Reason::kTwoAnswers},    {5, 60, Reason::kTwoAnswers},  {10, 100, Reason::kTwoAnswers},
                 {40, 45, Reason::kTwoAnswers},    {9, 11, Reason::kTwoAnswers, true},
                 {11, 9, Reason::kTwoAnswers, true}, {0, 30, Reason::kTwoAnswers, true},
                 {5, 5, Reason::kTwoAnswers, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first_ms) + " and " + std::to_string(c.second_ms) + " ms" +
                     (c.paced ? ", paced" : ""));
        Bench b(Options(0.2), 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            std::vector<Piece> out;
            const Bytes replies[] = {Reply(a.addr, a.command), Reply(a.addr, a.command, Old())};
            const double at[] = {c.first_ms, c.second_ms};
            for (int m = 0; m < 2; ++m) {
                if (!c.paced) out.push_back(Piece{Dur(at[m]), replies[m]});
                for (std::size_t i = 0; c.paced && i < replies[m].size(); ++i)
                    out.push_back(Piece{Dur(at[m] + 0.52 * static_cast<double>(i)), Cut(replies[m], i, i + 1)});
            }
            return out;
        });
        b.RunFor(20s);

        const BusDevice& d = *b.devices[0];
        const Readings now{}, old = Old();
        for (const Kept& k : b.kept) {
            const bool mine = k.record.group_voltage == now.string_voltage / 10.0f;
            const Readings& r = mine ? now : old;
            EXPECT_FLOAT_EQ(k.record.group_current, r.current / 10.0f);
            EXPECT_FLOAT_EQ(k.record.temperature, r.temperature / 100.0f);
            for (int i = 0; i < models::kUPSBattery29.cells; ++i) EXPECT_FLOAT_EQ(k.record.cells[i], r.cell / 100.0f);
        }
        EXPECT_GE(d.failures[static_cast<std::size_t>(c.why)], d.cycles * 9 / 10);
        EXPECT_GE(d.completed + d.abandoned, d.cycles - 1);
    }
}

// One monitor of the bus never answers.  Its neighbours keep their tick:
// once it counts as not answering it is only probed every probe interval,
// and each probe holds the bus for one timeout and its guard.
TEST(BusScheduler, AbsentNeighbourDoesNotStopTheOthers) {
    struct Case {
        const char* name;
        int devices;
        std::size_t absent;
        int probe_interval_ms;
    };
    const Case cases[] = {
        {"middle of three, probed every 5 s", 3, 1, 5000},
        {"first of three, probed every 5 s", 3, 0, 5000},
        {"last of three, probed every 2 s", 3, 2, 2000},
        {"second of two, probed every 10 s", 2, 1, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BusScheduler::Options o = Options(1.0);
        o.probe_interval_ms = c.probe_interval_ms;
        Bench b(o, c.devices);
        b.SetMonitor(c.absent, [](const Bench::Asked&) { return std::vector<Piece>{}; });
        // By 20 s the silent one has long been told not answering.
        const auto settled = 20s;
        b.RunFor(settled);
        std::vector<long> late_by_then;
        for (const auto& d : b.devices) late_by_then.push_back(d->late_polls);
        b.RunFor(60s);

        const BusDevice& gone = *b.devices[c.absent];
        EXPECT_EQ(gone.health.state(), State::kNotAnswering);
        EXPECT_EQ(gone.completed, 0);
        EXPECT_TRUE(b.KeptOf(c.absent).empty());
        // Told once, from its first unanswered request.
        const EventLog::HealthAt* silent = nullptr;
        for (const auto& h : b.log.health)
            if (h.device == &gone) {
                EXPECT_EQ(silent, nullptr) << "told more than once";
                EXPECT_EQ(h.change.to, State::kNotAnswering);
                silent = &h;
            }
        ASSERT_NE(silent, nullptr);
        const auto asked = b.SentTo(c.absent);
        ASSERT_FALSE(asked.empty());
        EXPECT_EQ(silent->change.since.mono, asked.front().at);
        // Once it was told silent, probed a tick after, then two ticks, four
        // ... and no more often than the interval.
        std::vector<Sent> probes;
        for (const Sent& s : asked)
            if (s.at >= silent->at) probes.push_back(s);
        ASSERT_GE(probes.size(), 2u);
        const auto interval = std::chrono::milliseconds(c.probe_interval_ms);
        for (std::size_t i = 1; i < probes.size(); ++i)
            EXPECT_GE(probes[i].at - probes[i - 1].at, std::min<Clock::duration>(1s * (1 << std::min<std::size_t>(i - 1, 8)), interval))
                << "probe #" << i;
        EXPECT_LE(probes.size(), 60000u / static_cast<unsigned>(c.probe_interval_ms) + 3);

        for (std::size_t i = 0; i < b.devices.size(); ++i) {
            if (i == c.absent) continue;
            SCOPED_TRACE("neighbour " + std::to_string(i));
            const BusDevice& d = *b.devices[i];
            EXPECT_GE(d.cycles, 54) << "ticks of a minute";
            EXPECT_GE(d.completed, 54);
            EXPECT_EQ(d.abandoned, 0);
            ExpectFailures(d, {});
            EXPECT_EQ(d.health.state(), State::kAnswering);
            for (const Kept& k : b.KeptOf(i)) ExpectReadings(k);
            // Never held up: the silent one's guard keeps only its own
            // monitor from being asked, and a probe holds the bus for one
            // timeout (137.5 ms, less than half a tick).
            EXPECT_EQ(d.late_polls, 0);
            EXPECT_EQ(d.late_polls, late_by_then[i]) << "late polls while the silent one was only probed";
            const auto& starts = b.cycle_starts[i];
            for (std::size_t k = 1; k < starts.size(); ++k) {
                if (starts[k - 1] < b.Start() + settled) continue;
                const double gap = busbench::Ms(starts[k] - starts[k - 1]).count();
                EXPECT_GE(gap, 500.0) << "cycle #" << k;
                EXPECT_LE(gap, 1500.0) << "cycle #" << k;
            }
        }
        EXPECT_EQ(b.line.used_while_closed, 0);
    }
}

// A monitor that loses a quarter of its exchanges, however, stays on its
// tick: no silent period, no two seconds without a kept round (three when
// it answers a quarter of its requests 700 ms late, in order, busy most of
// the time), nothing wrong kept.  While it owes a reply only it waits: its
// neighbour keeps its tick.
TEST(BusScheduler, AQuarterOfExchangesFailingLeavesNoLongSilence) {
    struct Case {
        const char* name;
        std::function<std::vector<Piece>(const Bench::Asked&)> monitor;
        double longest_gap_ms;  // between rounds kept, at most
    };
    // A quarter, out of step with the four requests of a cycle.
    const auto quarter = [](const Bench::Asked& a) { return a.n * 5 % 8 < 2; };
    // A busy monitor answers the requests that come meanwhile after the
    // late reply, in order.
    auto busy_until = std::make_shared<Clock::time_point>();
    const Case cases[] = {
        {"a quarter unanswered",
         [&](const Bench::Asked& a) { return quarter(a) ? std::vector<Piece>{} : Bench::Whole(a); }, 1000},
        {"a quarter answered 700 ms late",
         [&, busy_until](const Bench::Asked& a) {
             const Clock::time_point at = std::max(a.at + (quarter(a) ? 700ms : Bench::kTurnaround), *busy_until + 1ms);
             *busy_until = at;
             return std::vector<Piece>{Piece{at - a.at, Reply(a.addr, a.command, quarter(a) ? Old() : Readings{})}};
         },
         3000},
        {"a quarter with a bad checksum",
         [&](const Bench::Asked& a) {
             if (!quarter(a)) return Bench::Whole(a);
             Bytes reply = Reply(a.addr, a.command);
             reply.back() = static_cast<uint8_t>(reply.back() + 1);
             return std::vector<Piece>{Piece{Dur(10), reply}};
         },
         1000},
        // A whole cycle's request and its three resends go unanswered.
        {"four in a row of every sixteen unanswered",
         [](const Bench::Asked& a) { return a.n % 16 >= 12 ? std::vector<Piece>{} : Bench::Whole(a); }, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(0.2), 2);
        *busy_until = b.Start();
        b.SetMonitor(0, c.monitor);
        b.RunFor(60s);

        const BusDevice& d = *b.devices[0];
        EXPECT_EQ(d.health.Silences(DeviceHealth::Moment::At(b.Now())).count, 0);
        std::vector<double> kept = KeptTimes(b, 0);
        ASSERT_GE(kept.size(), 2u);
        double longest = kept.front();
        for (std::size_t i = 1; i < kept.size(); ++i) longest = std::max(longest, kept[i] - kept[i - 1]);
        EXPECT_LE(longest, c.longest_gap_ms);
        for (const Kept& k : b.KeptOf(0)) ExpectReadings(k);
        // The neighbour keeps its tick, waiting only while the bus is busy.
        // (A slow monitor's late answers, taken at its turn, may cost it a
        // tick or two of three hundred.)
        EXPECT_GE(b.devices[1]->completed, 275) << "ticks of a minute";
        for (const Kept& k : b.KeptOf(1)) ExpectReadings(k);
    }
}

// The port lost on a failed write or a hang-up: nothing is written until
// it opens again, the outage runs from the failure to the reopening that
// worked (tried again after 250 ms, then twice as long each time, at most a
// second apart), polls due meanwhile are counted missed, and every device
// polls again once the port is back.
TEST(BusScheduler, PortLostAndReopened) {
    struct Case {
        const char* name;
        bool hang_up;         // else the next write fails
        double at_ms;         // of the hang-up, or from when writes fail
        int refused_opens;
        double lost_ms;       // the failure
        double reopened_ms;
        std::vector<long> missed;     // per device
        std::vector<long> port_lost;  // exchanges failed by it, per device
    };
    const Case cases[] = {
        // The first device's request at 2 s fails; its neighbour's poll due
        // then cannot run.
        {"write fails, reopened at once", false, 1500, 0, 2000, 2250, {0, 1}, {1, 0}},
        {"write fails, two opens refused", false, 1500, 2, 2000, 3750, {1, 2}, {1, 0}},
        {"hang-up between rounds", true, 2500, 0, 2500, 2750, {0, 0}, {0, 0}},
        {"hang-up while a reply is awaited", true, 2005, 0, 2005, 2255, {0, 1}, {1, 0}},
        {"hang-up, three opens refused", true, 2500, 3, 2500, 5250, {3, 3}, {0, 0}},
        // The first device's round ended at 2040 ms and is held for a
        // second answer that cannot come once the port is gone; its
        // neighbour's request is on the line.
        {"hang-up while a round is held, three opens refused", true, 2045, 3, 2045, 4795, {2, 2}, {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 2);
        if (c.hang_up) {
            b.At(Dur(c.at_ms), [&b, &c] { b.line.refuse_opens = c.refused_opens; });
            b.HangUpAt(Dur(c.at_ms));
        } else {
            b.At(Dur(c.at_ms), [&b, &c] {
                b.line.fail_writes = 1;
                b.line.refuse_opens = c.refused_opens;
            });
        }
        b.RunFor(8s);

        EXPECT_EQ(b.scheduler.Outages(), 1);
        EXPECT_NEAR(busbench::Ms(b.scheduler.OutageTime(b.Now())).count(), c.reopened_ms - c.lost_ms, kNear);
        ASSERT_EQ(b.log.lost.size(), 1u);
        EXPECT_EQ(b.log.lost[0].retry_in, 250ms);
        ASSERT_EQ(b.log.reopened.size(), 1u);
        EXPECT_EQ(b.log.reopened[0].outage, std::chrono::milliseconds(static_cast<long>(c.reopened_ms - c.lost_ms)));
        EXPECT_EQ(b.line.open_calls, 1 + c.refused_opens + 1);
        EXPECT_TRUE(b.line.open);
        EXPECT_EQ(b.line.used_while_closed, 0);
        EXPECT_TRUE(Between(b.sent, b, c.lost_ms, c.reopened_ms).empty()) << "written while the port was lost";
        EXPECT_FALSE(Between(b.sent, b, c.reopened_ms, c.reopened_ms + kNear).empty()) << "not polled at the reopening";

        for (std::size_t i = 0; i < b.devices.size(); ++i) {
            SCOPED_TRACE("device " + std::to_string(i));
            const BusDevice& d = *b.devices[i];
            EXPECT_EQ(d.missed, c.missed[i]);
            EXPECT_EQ(d.failures[static_cast<std::size_t>(Reason::kPortLost)], c.port_lost[i]);
            // Polled again: a round a second from the reopening on.
            const auto kept = KeptTimes(b, i);
            const long after = std::count_if(kept.begin(), kept.end(), [&](double t) { return t > c.reopened_ms; });
            EXPECT_GE(after, static_cast<long>((8000 - c.reopened_ms) / 1000));
            for (const Kept& k : b.KeptOf(i)) ExpectReadings(k);
            EXPECT_EQ(d.health.state(), State::kAnswering);
            bool told = false;
            for (const auto& h : b.log.health) {
                if (h.device != &d) continue;
                if (h.change.to == State::kPortLost) {
                    told = true;
                    EXPECT_NEAR(b.Since(h.at).count(), c.lost_ms, kNear);
                } else if (told) {
                    // Nothing is heard from a lost port: the device answers
                    // again only on a round after the reopening.
                    EXPECT_GT(b.Since(h.at).count(), c.reopened_ms) << "shown answering while its port was lost";
                }
            }
            EXPECT_TRUE(told) << "port lost not told";
        }
    }
}


// With a number of rounds to run (--rounds), a device that has had its
// cycles is polled no more: its poll times neither wake the bus, nor count
// as missed while the port is lost, while a neighbour still runs its own.
TEST(BusScheduler, DeviceDoneWithItsCyclesIsLeftAlone) {
    struct Case {
        const char* name;
        int devices;
        long cycle_limit;
        bool second_silent;
        double hang_up_ms;  // 0: none
        int refused_opens;
    };
    const Case cases[] = {
        // The silent one, once told not answering, runs a cycle only every
        // few probes: it goes on long after its neighbour is done.
        {"done while a silent neighbour is still probed", 2, 5, true, 0, 0},
        {"done before the port is lost", 1, 3, false, 2500, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BusScheduler::Options o = Options();
        o.cycle_limit = c.cycle_limit;
        Bench b(o, c.devices);
        if (c.second_silent) b.SetMonitor(1, [](const Bench::Asked&) { return std::vector<Piece>{}; });
        if (c.hang_up_ms > 0) {
            b.At(Dur(c.hang_up_ms), [&b, &c] { b.line.refuse_opens = c.refused_opens; });
            b.HangUpAt(Dur(c.hang_up_ms));
        }
        b.RunFor(60s);

        const BusDevice& d = *b.devices[0];
        EXPECT_EQ(d.cycles, c.cycle_limit);
        EXPECT_EQ(d.completed, c.cycle_limit);
        EXPECT_EQ(d.missed, 0);
        EXPECT_EQ(static_cast<long>(b.KeptOf(0).size()), c.cycle_limit);
        EXPECT_EQ(static_cast<long>(b.SentTo(0).size()), 4 * c.cycle_limit);
        if (c.second_silent) {
            const BusDevice& silent = *b.devices[1];
            EXPECT_EQ(silent.health.state(), State::kNotAnswering);
            EXPECT_EQ(silent.completed + silent.abandoned + silent.missed, c.cycle_limit);
            // Still probed after its neighbour was done.
            EXPECT_GT(b.SentTo(1).back().at, b.SentTo(0).back().at + 10s);
        }
    }
}


// The port lost part-way through a round: the device keeps its pending
// request and asks it again at the reopening; a round held for a quiet
// line cannot be shown in step any more and is dropped; a request owed
// from before the loss still holds the round that follows.
TEST(BusScheduler, PortLostInTheMiddleOfARound) {
    struct Case {
        const char* name;
        std::optional<double> fail_writes_from_ms;
        std::optional<double> hang_up_ms;
        uint8_t silent_once;  // command whose first request goes unanswered; 0: none
        double lost_ms;
        std::vector<double> requests;  // up to 1 s
        std::vector<double> kept;
        std::map<Reason, long> failures;
        long resends;
    };
    const Case cases[] = {
        // The string voltage request at 10 ms is never written.
        {"write of the second request fails", 5, std::nullopt, 0, 10, {0, 260, 270, 280}, {Quiet(290), Quiet(1040)},
         {{Reason::kPortLost, 1}}, 1},
        // Held from 355.63 ms for 105.21 ms; lost at 400 ms, back at 650 ms.
        // The reply owed may still come after the reopening: the next round
        // is held in its turn.
        {"hang-up while a round is held", std::nullopt, 400, kA2, 400,
         {0, 10, 325.625, 335.625, 345.625, 650, 660, 670, 680}, {795.208, Quiet(1690)},
         {{Reason::kTimeout, 1}, {Reason::kLateDiscarded, 1}}, 1},
        // While its monitor may not be asked after the cell request at 0 ms
        // timed out (no exchange open, so none lost); back at 450 ms the
        // request is asked again, and the round held for the reply still
        // owed.
        {"hang-up in the guard after a timeout", std::nullopt, 200, kA1, 200, {0, 450, 460, 470, 480},
         {595.208, Quiet(1040)}, {{Reason::kTimeout, 1}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(Options(), 1);
        b.SetMonitor(0, [&c](const Bench::Asked& a) {
            if (a.command == c.silent_once && a.nth_of_command == 0) return std::vector<Piece>{};
            return Bench::Whole(a);
        });
        if (c.fail_writes_from_ms) b.At(Dur(*c.fail_writes_from_ms), [&b] { b.line.fail_writes = 1; });
        if (c.hang_up_ms) b.HangUpAt(Dur(*c.hang_up_ms));
        b.RunFor(1999ms);

        const BusDevice& d = *b.devices[0];
        ExpectTimes(Times(b, Between(b.sent, b, 0, 1000)), c.requests, "requests");
        ExpectTimes(KeptTimes(b, 0), c.kept, "rounds kept");
        for (const Kept& k : b.kept) ExpectReadings(k);
        ExpectFailures(d, c.failures);
        EXPECT_EQ(d.resends, c.resends);
        EXPECT_EQ(b.scheduler.Outages(), 1);
        ASSERT_EQ(b.log.reopened.size(), 1u);
        EXPECT_EQ(b.log.reopened[0].outage, 250ms);
        ASSERT_EQ(b.log.lost.size(), 1u);
        EXPECT_EQ(d.health.state(), State::kAnswering);
        EXPECT_EQ(b.line.used_while_closed, 0);
    }
}

}  // namespace
