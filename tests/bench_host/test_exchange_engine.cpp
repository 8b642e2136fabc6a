// The host's side of an exchange, without a line: the line reader and the
// exchange tracker fed bytes and times the way the bus scheduler feeds them,
// one table of cases, each also cut at every byte and paused inside; the
// port keeper's outage times.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bus/ExchangeTracker.h"
#include "bus/LineReader.h"
#include "bus/PortKeeper.h"
#include "bus/ReplyAttribution.h"
#include "protocol/MonitorProtocol.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) {
    std::istringstream in(text);
    Bytes out;
    std::string byte;
    while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::string Text(const Bytes& bytes) {
    std::string out;
    char b[4];
    for (const uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02X ", x);
        out += b;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

// Bytes at a time after the request went out.
struct Step {
    int at_ms;
    std::string hex;
};

// What the engine made of one exchange.
struct Outcome {
    std::string reply;  // handed to the device
    int reply_at_ms = -1;
    bool timed_out = false;
    std::string gathered;  // at the timeout
    std::string surplus;   // past the whole reply
    std::string stray;     // while nothing was asked
    bool too_soon = false;
    std::string echo;
    std::string owed;  // other monitors' replies set apart
    bool operator==(const Outcome& o) const {
        return reply == o.reply && reply_at_ms == o.reply_at_ms && timed_out == o.timed_out &&
               gathered == o.gathered && surplus == o.surplus && stray == o.stray && too_soon == o.too_soon &&
               echo == o.echo && owed == o.owed;
    }
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "{reply [" << o.reply << "] at " << o.reply_at_ms << (o.timed_out ? ", timed out" : "") << ", gathered ["
        << o.gathered << "], surplus [" << o.surplus << "], stray [" << o.stray << "]" << (o.too_soon ? ", too soon" : "")
        << ", echo [" << o.echo << "], owed [" << o.owed << "]}";
}

constexpr uint8_t kAddr = 0x81;

// Drives one exchange: a request for command at 0 ms, then the steps.  The
// tracker has timed eight answers of `turnaround_ms` first, when given.
Outcome Exchange(uint8_t command, const std::vector<Step>& steps, bool echo, std::optional<int> turnaround_ms,
                 const std::map<uint8_t, LineReader::Owed>& owed = {}) {
    const Clock::time_point t0{};
    LineReader reader(LineReader::Options{echo, 20ms});
    ExchangeTracker tracker(ExchangeTracker::Options{19200, 100ms, std::nullopt});
    const int reply_len = monitor::ReplyLength(command);
    if (turnaround_ms) {
        for (int i = 0; i < ExchangeTracker::kTurnaroundSamples; ++i) {
            tracker.Sent(kAddr, reply_len, t0);
            tracker.FirstByte(t0 + std::chrono::milliseconds(*turnaround_ms));
            tracker.Answered();
        }
    }
    const auto request = monitor::BuildRequest(kAddr, command);
    reader.Expect(request.data(), request.size(), reply_len, owed);
    tracker.Sent(kAddr, reply_len, t0);

    Outcome o;
    auto take = [&](const LineReader::Out& out, Clock::time_point now) {
        o.echo += (o.echo.empty() || out.echo.empty() ? "" : " ") + Text(out.echo);
        for (const Bytes& late : out.owed) o.owed += (o.owed.empty() ? "" : " ") + Text(late);
        if (out.first_byte && !tracker.FirstByte(now)) o.too_soon = true;
        if (!out.reply.empty()) {
            o.reply = Text(out.reply);
            o.reply_at_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - t0).count());
            tracker.Answered();
        }
        o.surplus += (o.surplus.empty() || out.surplus.empty() ? "" : " ") + Text(out.surplus);
        o.stray += (o.stray.empty() || out.stray.empty() ? "" : " ") + Text(out.stray);
    };
    for (const Step& s : steps) {
        const Clock::time_point now = t0 + std::chrono::milliseconds(s.at_ms);
        if (tracker.Outstanding() && now >= tracker.Deadline()) {
            o.timed_out = true;
            o.gathered = Text(reader.Gathered());
            tracker.TimedOut();
            reader.Forget();
        }
        const Bytes b = Hex(s.hex);
        take(reader.Feed(b.data(), b.size(), now), now);
    }
    if (tracker.Outstanding()) {
        o.timed_out = true;
        o.gathered = Text(reader.Gathered());
    }
    return o;
}

struct Case {
    const char* name;
    uint8_t command;
    std::vector<Step> steps;
    Outcome expected;
    bool echo;
    std::optional<int> turnaround_ms;
    std::map<uint8_t, LineReader::Owed> owed;  // replies other monitors owe
};

Case C(const char* name, uint8_t command, std::vector<Step> steps, Outcome expected, bool echo = false,
       std::optional<int> turnaround_ms = std::nullopt, std::map<uint8_t, LineReader::Owed> owed = {}) {
    return Case{name, command, std::move(steps), std::move(expected), echo, turnaround_ms, std::move(owed)};
}

// A reply handed over after other monitors' replies set apart.
Outcome AfterOwed(std::string owed, std::string reply, int at_ms, std::string surplus = "") {
    Outcome o;
    o.owed = std::move(owed);
    o.reply = std::move(reply);
    o.reply_at_ms = at_ms;
    o.surplus = std::move(surplus);
    return o;
}

// A reply handed over at a time, what came past it, and how.
Outcome Replied(std::string reply, int at_ms, std::string surplus = "", bool too_soon = false, std::string echo = "") {
    Outcome o;
    o.reply = std::move(reply);
    o.reply_at_ms = at_ms;
    o.surplus = std::move(surplus);
    o.too_soon = too_soon;
    o.echo = std::move(echo);
    return o;
}

// No reply in time: what had come of it, and what came after.
Outcome Missed(std::string gathered, std::string stray) {
    Outcome o;
    o.timed_out = true;
    o.gathered = std::move(gathered);
    o.stray = std::move(stray);
    return o;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// The cells reply, 67 bytes: 29 cells of 13.50 V and three empty slots.
std::string CellsOf(uint8_t addr) {
    monitor::CellSlots slots{};
    for (int i = 0; i < 29; ++i) slots[i] = 1350;
    const auto frame = monitor::BuildLongReply(addr, slots);
    return Text(Bytes(frame.begin(), frame.end()));
}
const std::string kCells = CellsOf(kAddr);
const std::string kCells82 = CellsOf(0x82);

std::string Zeros(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += i ? " 00" : "00";
    return out;
}

class Exchanges : public ::testing::TestWithParam<Case> {};

// Each case as listed; then each chunk cut in two at every byte, the halves
// arriving together; then, for a reply that comes whole in time, cut at
// every byte with the second half after a pause that still ends within the
// response timeout.  Neither changes what the engine makes of the bytes,
// except when the reply is handed over.
TEST_P(Exchanges, GivesEachByteItsPlace) {
    const Case& c = GetParam();
    EXPECT_EQ(Exchange(c.command, c.steps, c.echo, c.turnaround_ms, c.owed), c.expected) << "as listed";

    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const Bytes b = Hex(c.steps[i].hex);
        for (std::size_t cut = 1; cut < b.size(); ++cut) {
            auto steps = c.steps;
            steps[i].hex = Text(Bytes(b.begin(), b.begin() + cut));
            steps.insert(steps.begin() + i + 1, Step{c.steps[i].at_ms, Text(Bytes(b.begin() + cut, b.end()))});
            EXPECT_EQ(Exchange(c.command, steps, c.echo, c.turnaround_ms, c.owed), c.expected)
                << "step " << i << " cut at " << cut;
        }
    }

    if (c.expected.reply.empty() || c.steps.size() != 1 || c.echo || c.turnaround_ms) return;
    ExchangeTracker timing(ExchangeTracker::Options{19200, 100ms, std::nullopt});
    const int timeout_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(timing.ResponseTimeout(monitor::ReplyLength(c.command)))
            .count());
    const Bytes b = Hex(c.steps[0].hex);
    for (const int pause : {21, 60, timeout_ms - c.steps[0].at_ms - 1}) {
        // Cut inside the reply, so that it is whole only with the second part.
        for (std::size_t cut = 1; cut < Hex(c.expected.reply).size(); ++cut) {
            const std::vector<Step> steps{{c.steps[0].at_ms, Text(Bytes(b.begin(), b.begin() + cut))},
                                          {c.steps[0].at_ms + pause, Text(Bytes(b.begin() + cut, b.end()))}};
            Outcome expected = c.expected;
            expected.reply_at_ms = c.steps[0].at_ms + pause;
            EXPECT_EQ(Exchange(c.command, steps, false, std::nullopt, c.owed), expected)
                << "pause " << pause << " at " << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Exchanges,
    ::testing::Values(
        C("ShortWhole", 0xA2, {{3, "ED 81 0F 4B DB"}}, Replied("ED 81 0F 4B DB", 3)),
        C("CellsWhole", 0xA1, {{40, kCells}}, Replied(kCells, 40)),
        // Bytes before the start byte go with the reply: the device skips
        // them itself.
        C("GarbageBefore", 0xA3, {{4, "00 13 FE ED 81 00 0F 90"}}, Replied("00 13 FE ED 81 00 0F 90", 4)),
        // Bytes after the whole reply are kept from the next exchange.
        C("GarbageAfter", 0xA3, {{4, "ED 81 00 0F 90 00 13"}}, Replied("ED 81 00 0F 90", 4, "00 13")),
        C("EchoThenReply", 0xA4, {{1, "FE FE 81 A4 25"}, {5, "ED 81 09 C4 4E"}},
          Replied("ED 81 09 C4 4E", 5, "", false, "FE FE 81 A4 25"), true),
        // A reply that does not repeat the request is no echo.
        C("NoEchoWhereExpected", 0xA4, {{5, "ED 81 09 C4 4E"}}, Replied("ED 81 09 C4 4E", 5), true),
        // Two replies in one chunk: the second answers another request.
        C("TwoFramesInOneChunk", 0xA2, {{3, "ED 81 0F 4B DB ED 81 0F 4B DB"}},
          Replied("ED 81 0F 4B DB", 3, "ED 81 0F 4B DB")),
        // Nothing until after the timeout (105 ms for a short reply): the
        // reply comes with nothing asked.
        C("LateFrame", 0xA2, {{350, "ED 81 0F 4B DB"}}, Missed("", "ED 81 0F 4B DB")),
        // Part of a reply, and the rest after the timeout.
        C("PartialThenLate", 0xA2, {{3, "ED 81 0F"}, {200, "4B DB"}}, Missed("ED 81 0F", "4B DB")),
        // A wrong address comes whole; the device judges it.
        C("OtherMonitor", 0xA2, {{3, "ED 82 0F 4B DC"}}, Replied("ED 82 0F 4B DC", 3)),
        // Noise with no frame in it is handed over once there is more of it
        // than the device gathers, never kept growing.
        C("EndlessNoise", 0xA2, {{3, Zeros(81)}}, Replied(Zeros(81), 3)),
        // A monitor that has always taken 8 ms answers in 1 ms: that reply
        // was on its way before the request.
        C("SoonerThanTheMonitorAnswers", 0xA3, {{1, "ED 81 00 0F 90"}}, Replied("ED 81 00 0F 90", 1, "", true),
          false, 8),
        C("AsSoonAsTheMonitorAnswers", 0xA3, {{7, "ED 81 00 0F 90"}}, Replied("ED 81 00 0F 90", 7), false, 8),
        // A monitor that owes a reply sends it, late, where another's answer
        // is awaited: set apart by the length it owes, the answer after it.
        C("LateReplyOfAnotherMonitorFirst", 0xA2, {{3, "ED 82 0F 4B DC ED 81 0F 4B DB"}},
          AfterOwed("ED 82 0F 4B DC", "ED 81 0F 4B DB", 3), false, std::nullopt, {{0x82, {5, 1}}}),
        C("LateCellsOfAnotherMonitorFirst", 0xA2, {{3, "00 13 " + kCells82}, {40, "ED 81 0F 4B DB"}},
          AfterOwed("00 13 " + kCells82, "ED 81 0F 4B DB", 40), false, std::nullopt, {{0x82, {67, 1}}}),
        C("TwoLateRepliesOfAnotherMonitor", 0xA3, {{3, "ED 82 0F 4B DC ED 82 0F 4B DC ED 81 00 0F 90"}},
          AfterOwed("ED 82 0F 4B DC ED 82 0F 4B DC", "ED 81 00 0F 90", 3), false, std::nullopt, {{0x82, {5, 2}}}),
        // No more than it owes: a second frame from it is the reply, for
        // the device to refuse.
        C("MoreThanAnotherMonitorOwes", 0xA2, {{3, "ED 82 0F 4B DC ED 82 0F 4B DC"}},
          AfterOwed("ED 82 0F 4B DC", "ED 82 0F 4B DC", 3), false, std::nullopt, {{0x82, {5, 1}}}),
        // The monitor asked is never set apart from its own answer.
        C("OwedByTheMonitorAsked", 0xA2, {{3, "ED 81 0F 4B DB"}}, Replied("ED 81 0F 4B DB", 3), false, std::nullopt,
          {{0x81, {5, 1}}})),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A frame while nothing is asked is stray, whole or cut.
TEST(LineReader, BytesWithNothingAskedAreStray) {
    LineReader reader(LineReader::Options{false, 20ms});
    const Bytes frame = Hex("ED 81 0F 4B DB");
    const auto out = reader.Feed(frame.data(), frame.size(), Clock::time_point{});
    EXPECT_EQ(out.stray, frame);
    EXPECT_TRUE(out.reply.empty());
    EXPECT_FALSE(reader.NextWake());
}

// Stray bytes within the frame gap of others are the rest of their reply,
// unless they begin one.
TEST(LineReader, StrayBytesAreGroupedByTheFrameGap) {
    const struct {
        int at_ms;
        const char* hex;
        bool rest;
    } feeds[] = {{0, "ED 81 0F", false}, {5, "4B DB", true}, {10, "ED 81 00 0F 90", false},
                 {40, "09 C4", false}, {45, "4E", true}};
    LineReader reader(LineReader::Options{false, 20ms});
    for (const auto& f : feeds) {
        const Bytes b = Hex(f.hex);
        const auto out = reader.Feed(b.data(), b.size(), Clock::time_point{} + std::chrono::milliseconds(f.at_ms));
        EXPECT_EQ(out.stray, b);
        EXPECT_EQ(out.stray_rest, f.rest) << f.hex << " at " << f.at_ms;
    }
}

// Replies in bytes nobody asked for: counted by their start byte and
// address, so a busy monitor's burst pays off as many requests.
TEST(LineReader, RepliesAreCountedInABurst) {
    const struct {
        const char* hex;
        std::optional<uint8_t> addr;
        int replies;
    } cases[] = {
        {"ED 81 0F 4B DB", 0x81, 1},
        {"ED 81 0F 4B DB ED 81 0F 4B DB ED 81 0F 4B DB ED 81 0F 4B DB", 0x81, 4},
        {"00 13 ED 82 00 0F 91 ED 82", 0x82, 2},
        // A cell value that looks like a start byte inside a reply is
        // skipped with it.
        {"ED 81 ED 81 DB", 0x81, 1},
        {"00 13", std::nullopt, 1},
        {"ED", std::nullopt, 1},
    };
    for (const auto& c : cases) {
        const Bytes b = Hex(c.hex);
        EXPECT_EQ(LineReader::ReplyAddress(b), c.addr) << c.hex;
        EXPECT_EQ(LineReader::Replies(b), c.replies) << c.hex;
    }
    const Bytes cells = Hex(kCells);
    EXPECT_EQ(LineReader::Replies(cells), 1);
}

// Replies of several monitors that come together are cut where one
// monitor's replies of a known length owed end and another's begin; what
// is not known is left whole.
TEST(LineReader, RepliesQueuedBehindALateOneAreCutByMonitor) {
    const std::map<uint8_t, LineReader::Owed> one_each{{0x81, {5, 1}}, {0x82, {67, 1}}};
    const struct {
        const char* what;
        std::string hex;
        std::map<uint8_t, LineReader::Owed> owed;
        std::vector<std::string> parts;
    } cases[] = {
        {"one reply", "ED 81 0F 4B DB", one_each, {"ED 81 0F 4B DB"}},
        {"a late reply and the answer behind it", "ED 81 0F 4B DB " + kCells82, one_each,
         {"ED 81 0F 4B DB", kCells82}},
        {"noise before each", "00 13 " + kCells82 + " 00 ED 81 0F 4B DB", one_each,
         {"00 13 " + kCells82, "00 ED 81 0F 4B DB"}},
        {"no more than owed", "ED 81 0F 4B DB " + kCells82 + " ED 82 00 0F 91", one_each,
         {"ED 81 0F 4B DB", kCells82 + " ED 82 00 0F 91"}},
        // A burst of one monitor pays its requests together.
        {"two of one monitor, then another's", "ED 81 0F 4B DB ED 81 0F 4B DB " + kCells82,
         {{0x81, {5, 2}}, {0x82, {67, 1}}}, {"ED 81 0F 4B DB ED 81 0F 4B DB", kCells82}},
        {"more of one monitor than it owes", "ED 81 0F 4B DB ED 81 0F 4B DB ED 82 00 0F 91", one_each,
         {"ED 81 0F 4B DB ED 81 0F 4B DB ED 82 00 0F 91"}},
        {"the first owes nothing", "ED 82 00 0F 91 ED 81 0F 4B DB", {{0x81, {5, 1}}},
         {"ED 82 00 0F 91 ED 81 0F 4B DB"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> parts;
        for (const Bytes& part : LineReader::ByMonitor(Hex(c.hex), c.owed)) parts.push_back(Text(part));
        EXPECT_EQ(parts, c.parts) << c.what;
    }
}

// A request the reader cannot read ends its reply at the frame gap.
TEST(LineReader, ReplyOfUnknownLengthEndsAtTheFrameGap) {
    LineReader reader(LineReader::Options{false, 20ms});
    const Bytes request = Hex("01 02 03");
    reader.Expect(request.data(), request.size(), 0);
    const Clock::time_point t0{};
    const Bytes bytes = Hex("ED 81 0F");
    EXPECT_TRUE(reader.Feed(bytes.data(), bytes.size(), t0 + 2ms).reply.empty());
    ASSERT_TRUE(reader.NextWake());
    EXPECT_EQ(*reader.NextWake(), t0 + 22ms);
    EXPECT_TRUE(reader.Poll(t0 + 21ms).reply.empty());
    EXPECT_EQ(reader.Poll(t0 + 22ms).reply, bytes);
}

struct Lateness {
    const char* name;
    std::vector<int> late_ms;  // replies given up on, each this late
    std::optional<int> fixed_guard_ms;
    int guard_ms;  // after a timeout of a short request
    int gap_s = 5;  // between the requests
};

class GuardFollowsLateness : public ::testing::TestWithParam<Lateness> {};

// The quiet guard covers the latest reply measured in the last minute,
// never less than twice the response timeout, and stays what the port
// fixes.
TEST_P(GuardFollowsLateness, CoversTheLatestReply) {
    const auto& c = GetParam();
    ExchangeTracker t(ExchangeTracker::Options{
        19200, 100ms,
        c.fixed_guard_ms ? std::optional<Clock::duration>(std::chrono::milliseconds(*c.fixed_guard_ms)) : std::nullopt});
    Clock::time_point now{};
    for (const int late : c.late_ms) {
        t.Sent(kAddr, monitor::kShortReplyLen, now);
        t.TimedOut();
        const auto measured = t.Unexplained(kAddr, now + std::chrono::milliseconds(late));
        ASSERT_TRUE(measured);
        EXPECT_EQ(*measured, std::chrono::milliseconds(late));
        EXPECT_EQ(t.Owed(kAddr), 0);
        now += std::chrono::seconds(c.gap_s);
    }
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(t.Guard(monitor::kShortReplyLen)).count(),
              c.guard_ms);
    // The guard was raised, and when, only by lateness beyond its default.
    EXPECT_EQ(t.Raised().has_value(), !c.fixed_guard_ms && !c.late_ms.empty() &&
                                          *std::max_element(c.late_ms.begin(), c.late_ms.end()) > 210);
    // What a port would have to fix to cover every reply of the run.
    if (!c.late_ms.empty()) {
        EXPECT_EQ(*t.LatestReply(), std::chrono::milliseconds(*std::max_element(c.late_ms.begin(), c.late_ms.end())));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GuardFollowsLateness,
    ::testing::Values(Lateness{"NoneLate", {}, std::nullopt, 210}, Lateness{"SoonAfterTimeout", {150}, std::nullopt, 210},
                      Lateness{"At350", {350}, std::nullopt, 350}, Lateness{"LatestCounts", {2000, 500}, std::nullopt, 2000},
                      Lateness{"NineSeconds", {9000}, std::nullopt, 9000},
                      Lateness{"AMinuteIsRemembered", {2000, 400}, std::nullopt, 2000, 50},
                      Lateness{"ForgottenAfterAMinute", {2000, 400}, std::nullopt, 400, 65},
                      Lateness{"FixedByThePort", {2000}, 300, 300},
                      // The guard follows the ninetieth percentile: one reply
                      // taken for another's among ten does not hold it up.
                      Lateness{"OneOutlierAmongTen", {2000, 300, 300, 300, 300, 300, 300, 300, 300, 300}, std::nullopt,
                               300, 1},
                      Lateness{"TwoOutliersAmongTen", {2000, 1500, 300, 300, 300, 300, 300, 300, 300, 300},
                               std::nullopt, 1500, 1}),
    [](const ::testing::TestParamInfo<Lateness>& info) { return std::string(info.param.name); });

// A reply later than any wait answers nothing the host still counts on,
// and leaves the guard as it was.
TEST(ExchangeTracker, ReplyBeyondAnyWaitIsNotMeasured) {
    ExchangeTracker t(ExchangeTracker::Options{});
    const Clock::time_point t0{};
    t.Sent(kAddr, monitor::kShortReplyLen, t0);
    t.TimedOut();
    EXPECT_FALSE(t.Unexplained(kAddr, t0 + ExchangeTracker::kMaxLateness + 1ms));
    EXPECT_FALSE(t.LatestReply());
    EXPECT_EQ(t.Guard(monitor::kShortReplyLen), 2 * t.ResponseTimeout(monitor::kShortReplyLen));
}

// A busy monitor answers in order: a burst of replies pays off as many
// requests, and the lateness is the oldest one's.
TEST(ExchangeTracker, BurstPaysOffTheOldestRequestsFirst) {
    ExchangeTracker t(ExchangeTracker::Options{});
    const Clock::time_point t0{};
    for (int i = 0; i < 4; ++i) {
        t.Sent(kAddr, monitor::kShortReplyLen, t0 + std::chrono::milliseconds(300 * i));
        t.TimedOut();
    }
    EXPECT_EQ(t.Owed(kAddr), 4);
    EXPECT_EQ(t.Owed(0x82), 0);
    EXPECT_FALSE(t.OnlyOwed(kAddr)) << "a reply could answer any of four";
    EXPECT_FALSE(t.Unexplained(0x82, t0 + 1s));  // not owed by that monitor
    // Three replies for four requests: the first answers the oldest, or the
    // second if the oldest one's reply was lost.  Only the lesser lateness
    // is measured; the greater is kept apart.
    EXPECT_EQ(*t.Unexplained(kAddr, t0 + 2s, 3), 1700ms);
    EXPECT_TRUE(t.LastAmbiguous());
    EXPECT_EQ(t.Ambiguous(), 1);
    EXPECT_EQ(t.AmbiguousLatest(), 2s);
    EXPECT_EQ(t.LatestReply(), 1700ms);
    EXPECT_EQ(t.Owed(kAddr), 1);
    // The one left is the newest request, so a reply can answer only it.
    ASSERT_TRUE(t.OnlyOwed(kAddr));
    EXPECT_EQ(t.OnlyOwed(kAddr)->sent, t0 + 900ms);
    EXPECT_EQ(t.OnlyOwed(kAddr)->reply_len, monitor::kShortReplyLen);
    t.Settled(kAddr);
    EXPECT_FALSE(t.OnlyOwed(kAddr));
    EXPECT_EQ(t.Owed(kAddr), 0);
    // Bytes from it are still taken for late replies while any could come.
    EXPECT_FALSE(t.OwesNothingLately(kAddr, t0 + 3s));
    EXPECT_TRUE(t.OwesNothingLately(kAddr, t0 + 900ms + ExchangeTracker::kMaxLateness + 1ms));
    EXPECT_TRUE(t.OwesNothingLately(0x82, t0 + 3s));
}

// A request whose monitor answered others since was most likely lost: a
// reply that comes later is the newest request's, and is measured from it.
TEST(ExchangeTracker, LostRepliesDoNotMakeLaterOnesLookLater) {
    ExchangeTracker t(ExchangeTracker::Options{});
    const Clock::time_point t0{};
    t.Sent(kAddr, monitor::kShortReplyLen, t0);
    t.TimedOut();  // never answered
    ASSERT_TRUE(t.OnlyOwed(kAddr));
    t.Sent(kAddr, monitor::kShortReplyLen, t0 + 400ms);
    t.FirstByte(t0 + 402ms);
    t.Answered();
    EXPECT_FALSE(t.OnlyOwed(kAddr)) << "answered since: that reply was lost";
    t.Sent(kAddr, monitor::kShortReplyLen, t0 + 3s);
    t.TimedOut();
    EXPECT_EQ(t.Owed(kAddr), 2);
    EXPECT_EQ(*t.Unexplained(kAddr, t0 + 3s + 350ms), 350ms);
    EXPECT_EQ(t.Guard(monitor::kShortReplyLen), 350ms);
}

// The quickest answer is a low quartile of the latest answers timed in
// step: an early reply or two (a second monitor at the address, a reply on
// its way before the request) cannot pull it down, and an answer judged too
// soon times nothing.
TEST(ExchangeTracker, QuickestAnswerIsRobust) {
    const struct {
        const char* what;
        std::vector<int> answers_us;
        std::optional<int> turnaround_us;
    } cases[] = {
        {"seven answers: not yet trusted", std::vector<int>(7, 8000), std::nullopt},
        {"eight alike", std::vector<int>(8, 8000), 8000},
        {"one early among eight", {8000, 8000, 1000, 8000, 8000, 8000, 8000, 8000}, 8000},
        {"three early among sixteen", {1000, 1000, 1000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000,
                                       9000, 9000, 9000},
         9000},
        {"a quarter early: that is the monitor", {1000, 1000, 1000, 1000, 9000, 9000, 9000, 9000, 9000, 9000, 9000,
                                                  9000, 9000, 9000, 9000, 9000},
         1000},
        {"the oldest forgotten beyond sixteen", {1000, 1000, 1000, 1000, 9000, 9000, 9000, 9000, 9000, 9000, 9000,
                                                 9000, 9000, 9000, 9000, 9000, 9000},
         9000},
        // Timed at 8 ms, then an answer in 1 ms: too soon, it times nothing
        // and the monitor is timed afresh, so the answers after it count.
        {"an answer too soon times nothing and starts the timing afresh", [] {
             std::vector<int> a(8, 8000);
             a.insert(a.end(), 1, 1000);
             a.insert(a.end(), 7, 1000);
             return a;
         }(),
         std::nullopt},
        // A quickest answer raised by answers timed late (a busy machine)
        // does not make every later answer too soon: the first is doubted,
        // the next eight time the monitor as it is.
        {"raised by a busy spell, then answering quickly again", [] {
             std::vector<int> a(16, 90000);
             a.insert(a.end(), 9, 10000);
             return a;
         }(),
         10000},
        // Read on a turn of the loop that came late: its time is a bound.
        {"answers read late time nothing", std::vector<int>(8, -90000), std::nullopt},
    };
    for (const auto& c : cases) {
        ExchangeTracker t(ExchangeTracker::Options{});
        const Clock::time_point t0{};
        for (const int us : c.answers_us) {
            t.Sent(kAddr, monitor::kShortReplyLen, t0);
            t.FirstByte(t0 + std::chrono::microseconds(std::abs(us)), us < 0);
            t.Answered();
        }
        const auto got = t.Turnaround();
        EXPECT_EQ(got.has_value(), c.turnaround_us.has_value()) << c.what;
        if (got && c.turnaround_us) {
            EXPECT_EQ(*got, std::chrono::microseconds(*c.turnaround_us)) << c.what;
        }
    }
}

// How long a completed round waits for a quiet line: owed nothing, until
// its last request's reply would be overdue (105.21 ms after a short
// request), as long as a second answer could come; owed a reply, at least a
// response timeout from now, and as long as the lateness measured lately.
TEST(ExchangeTracker, RoundsAreHeldAsLongAsTheAccountSays) {
    const struct {
        const char* what;
        int owed_ms;      // a request given up on this long before the last; 0: none
        int measured_ms;  // a reply measured this late a while ago; 0: none
        int answered_ms;  // the last request's answer, after it
        double hold_ms;
    } cases[] = {
        {"owed nothing, answered at 10 ms", 0, 0, 10, 95.208},
        {"owed nothing, answered at the deadline", 0, 0, 106, 0},
        {"owed a reply, none measured late", 300, 0, 10, 105.208},
        {"owed a reply, replies 1 s late lately", 300, 1000, 10, 690},
        {"owed a reply, replies 350 ms late lately", 300, 350, 10, 105.208},
    };
    for (const auto& c : cases) {
        ExchangeTracker t(ExchangeTracker::Options{});
        const Clock::time_point t0 = Clock::time_point{} + 1h;
        if (c.measured_ms) {
            t.Sent(kAddr, monitor::kShortReplyLen, t0 - 10s);
            t.TimedOut();
            t.Unexplained(kAddr, t0 - 10s + std::chrono::milliseconds(c.measured_ms));
        }
        if (c.owed_ms) {
            t.Sent(kAddr, monitor::kShortReplyLen, t0 - std::chrono::milliseconds(c.owed_ms));
            t.TimedOut();
        }
        t.Sent(kAddr, monitor::kShortReplyLen, t0);
        const auto now = t0 + std::chrono::milliseconds(c.answered_ms);
        t.FirstByte(now);
        t.Answered();
        const double hold_ms = std::chrono::duration<double, std::milli>(t.Hold(now)).count();
        EXPECT_NEAR(hold_ms, c.hold_ms, 0.001) << c.what;
    }
}

// Requests owed are bounded per monitor, and forgotten once older than any
// reply is waited for.
TEST(ExchangeTracker, OwedRequestsAreBounded) {
    ExchangeTracker t(ExchangeTracker::Options{});
    const Clock::time_point t0{};
    for (std::size_t i = 0; i < ExchangeTracker::kMaxOwed + 5; ++i) {
        t.Sent(kAddr, monitor::kShortReplyLen, t0 + std::chrono::milliseconds(10 * i));
        t.TimedOut();
    }
    EXPECT_EQ(t.Owed(kAddr), static_cast<int>(ExchangeTracker::kMaxOwed));
    t.Sent(kAddr, monitor::kShortReplyLen, t0 + ExchangeTracker::kMaxLateness + 1s);
    t.TimedOut();
    EXPECT_EQ(t.Owed(kAddr), 1);
}

// Answers on a line that takes no time teach nothing about the monitor:
// no reply is then too soon, even after a busy spell has timed every
// answer late.  A few answers that quick prove nothing of the line (on a
// wire they were replies on their way already): after them, and on a line
// that only ever answered in its wire time, a prompt reply is too soon.
TEST(ExchangeTracker, LineWithoutWireTimeJudgesNoReplyTooSoon) {
    const Clock::time_point t0{};
    const struct {
        const char* what;
        std::vector<double> answers_ms;  // timed in step, in order
        bool too_soon;                   // a reply 0.01 ms after the next request
        bool pty = false;                // the port says it has no wire
    } cases[] = {
        {"a pseudo-terminal, busy from its first answer", std::vector<double>(16, 6), false, true},
        {"every answer instant", std::vector<double>(8, 0.3), false},
        {"four instant answers, then a busy spell",
         {0.3, 0.3, 0.3, 0.3, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6}, false},
        {"three instant answers, then a busy spell",
         {0.3, 0.3, 0.3, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6}, true},
        {"only ever answers with wire time", std::vector<double>(16, 6), true},
    };
    for (const auto& c : cases) {
        ExchangeTracker t(ExchangeTracker::Options{});
        if (c.pty) t.WithoutWireTime();
        for (const double ms : c.answers_ms) {
            t.Sent(kAddr, monitor::kShortReplyLen, t0);
            EXPECT_TRUE(t.FirstByte(t0 + std::chrono::microseconds(static_cast<int>(ms * 1000)))) << c.what;
            t.Answered();
        }
        ASSERT_TRUE(t.Turnaround()) << c.what;
        t.Sent(kAddr, monitor::kShortReplyLen, t0);
        EXPECT_EQ(!t.FirstByte(t0 + 10us), c.too_soon) << c.what;
    }
}

// A monitor that owes a reply is not asked until the guard after its
// timeout has passed (137.5 ms to the timeout of a cell request, 275 ms
// quiet), or as long as a round of it is held; settled, at once.  The
// replies owed by the others are told by the length each owes.
TEST(ExchangeTracker, AMonitorThatOwesIsNotAskedUntilQuiet) {
    const Clock::time_point t0{};
    const struct {
        const char* what;
        std::vector<int> owed_lens;  // requests of 0x82 given up on, 100 ms apart
        std::optional<int> held_ms;  // a round of 0x82 held until then
        bool settled;
        double ask_ms;  // when 0x82 may be asked
        std::optional<ExchangeTracker::OwedFrames> frames;  // what it owes, seen from 0x81
    } cases[] = {
        {"owes nothing", {}, std::nullopt, false, -1, std::nullopt},
        {"a cell reply owed", {67}, std::nullopt, false, 412.5, ExchangeTracker::OwedFrames{67, 1}},
        {"two short replies owed", {5, 5}, std::nullopt, false, 100 + 315.625, ExchangeTracker::OwedFrames{5, 2}},
        {"replies of two lengths owed: neither told", {67, 5}, std::nullopt, false, 100 + 315.625, std::nullopt},
        {"a round held", {5}, 900, false, 900, ExchangeTracker::OwedFrames{5, 1}},
        {"settled", {67}, std::nullopt, true, -1, std::nullopt},
    };
    for (const auto& c : cases) {
        ExchangeTracker t(ExchangeTracker::Options{});
        for (std::size_t i = 0; i < c.owed_lens.size(); ++i) {
            t.Sent(0x82, c.owed_lens[i], t0 + std::chrono::milliseconds(100 * i));
            t.TimedOut();
        }
        if (c.held_ms) t.Bar(0x82, t0 + std::chrono::milliseconds(*c.held_ms));
        if (c.settled) t.Settled(0x82);
        const auto at = t.AskNotBefore(0x82);
        if (c.ask_ms < 0) {
            EXPECT_TRUE(t.MayAsk(0x82, t0)) << c.what;
        } else {
            EXPECT_NEAR((std::chrono::duration<double, std::milli>(at - t0).count()), c.ask_ms, 0.001) << c.what;
            EXPECT_FALSE(t.MayAsk(0x82, at - 1us)) << c.what;
            EXPECT_TRUE(t.MayAsk(0x82, at)) << c.what;
        }
        // The others are asked meanwhile.
        EXPECT_TRUE(t.MayAsk(kAddr, t0)) << c.what;
        const auto frames = t.OwedElsewhere(kAddr);
        EXPECT_EQ(frames.count(0x82), c.frames ? 1u : 0u) << c.what;
        if (c.frames && frames.count(0x82)) {
            EXPECT_EQ(frames.at(0x82).reply_len, c.frames->reply_len) << c.what;
            EXPECT_EQ(frames.at(0x82).count, c.frames->count) << c.what;
        }
        EXPECT_TRUE(t.OwedElsewhere(0x82).empty()) << c.what;
    }
}

// While a reply is owed, answers are not timed: they may be shifted ones.
TEST(ExchangeTracker, AnswersWhileOwedAreNotTimed) {
    ExchangeTracker t(ExchangeTracker::Options{});
    const Clock::time_point t0{};
    t.Sent(kAddr, monitor::kShortReplyLen, t0);
    t.TimedOut();
    for (int i = 0; i < 2 * ExchangeTracker::kTurnaroundSamples; ++i) {
        t.Sent(kAddr, monitor::kShortReplyLen, t0);
        t.FirstByte(t0 + 1ms);
        t.Answered();
    }
    EXPECT_FALSE(t.Turnaround());
}

struct Outage {
    const char* name;
    std::vector<int> failed_tries_ms;  // reopening tries that failed, from the loss
    int reopened_ms;
};

class PortOutages : public ::testing::TestWithParam<Outage> {};

// An outage runs from the loss to the reopening that worked, and the tries
// come at most a second apart, so it is told within a second of the line's.
TEST_P(PortOutages, AreTimedFromTheLossToTheReopening) {
    const auto& c = GetParam();
    PortKeeper k;
    const Clock::time_point t0{};
    EXPECT_TRUE(k.Lost(t0));
    EXPECT_FALSE(k.Lost(t0 + 1ms));  // already down: one outage
    Clock::time_point last = t0;
    for (const int at : c.failed_tries_ms) {
        const auto when = t0 + std::chrono::milliseconds(at);
        EXPECT_LE(k.ReopenAt() - last, PortKeeper::kMaxBackoff);
        k.ReopenFailed(when);
        last = when;
    }
    EXPECT_LE(k.ReopenAt() - last, PortKeeper::kMaxBackoff);
    EXPECT_EQ(k.OutageTime(t0 + 500ms), 500ms);
    EXPECT_EQ(k.Reopened(t0 + std::chrono::milliseconds(c.reopened_ms)), std::chrono::milliseconds(c.reopened_ms));
    EXPECT_FALSE(k.Down());
    EXPECT_EQ(k.Outages(), 1);
    EXPECT_EQ(k.OutageTime(t0 + 1h), std::chrono::milliseconds(c.reopened_ms));
}

INSTANTIATE_TEST_SUITE_P(Table, PortOutages,
                         ::testing::Values(Outage{"FirstTry", {}, 250}, Outage{"ThreeTries", {250, 750, 1750}, 2750},
                                           Outage{"TenSeconds", {250, 750, 1750, 2750, 3750, 4750, 5750, 6750, 7750,
                                                                 8750, 9750},
                                                  10750}),
                         [](const ::testing::TestParamInfo<Outage>& info) { return std::string(info.param.name); });

// What a lost port does to a device's exchanges: nothing more can come over
// the line to prove a round held while its monitor owed, nor to spoil one
// held owing nothing.
TEST(PortKeeper, ALossCutsTheExchangeAndDropsOnlyARoundOwed) {
    const struct {
        const char* what;
        PortKeeper::Exchanges e;
        bool cut;
        std::optional<FailureReason> dropped;
        bool stored;
        bool forgotten;
    } rows[] = {
        {"idle", {false, false, false, false}, false, std::nullopt, false, false},
        {"its request on the line", {true, false, false, false}, true, std::nullopt, false, false},
        {"a round held owing nothing is stored at once", {false, true, false, false}, false, std::nullopt, true,
         false},
        {"a round held owing", {false, true, true, false}, false, FailureReason::kLateDiscarded, false, false},
        {"a late answer kept", {false, false, false, true}, false, std::nullopt, false, true},
    };
    for (const auto& r : rows) {
        const auto f = PortKeeper::AtLoss(r.e);
        EXPECT_EQ(f.cut, r.cut) << r.what;
        EXPECT_EQ(f.drop_round, r.dropped) << r.what;
        EXPECT_EQ(f.store_round, r.stored) << r.what;
        EXPECT_EQ(f.forget_late_answer, r.forgotten) << r.what;
    }
}

}  // namespace

namespace {

// Which request a frame answers, by the line's timeline.  Monitor A
// (0x81) and B (0x82); B's request, when one is awaited, went out at t0;
// the monitors' quickest answer is 10 ms unless a row says otherwise (on a
// line without wire time, 1 ms: nothing is too soon).
TEST(ReplyAttribution, TheTimelineDecidesTheAddressConfirms) {
    using RA = ReplyAttribution;
    using K = RA::Kind;
    using D = RA::Doubt;
    constexpr uint8_t kA = 0x81, kB = 0x82;
    const Clock::time_point t0 = Clock::time_point{} + 100s;
    // A owes one short reply alone, its device waiting to resend it.
    const RA::Debt a_owes_one{1, monitor::kShortReplyLen, true, true};
    struct Case {
        const char* what;
        std::optional<uint8_t> awaited;  // the monitor whose reply is due
        std::map<uint8_t, RA::Debt> owed;
        std::optional<uint8_t> addr;     // the frame's
        std::size_t len = monitor::kShortReplyLen;
        bool well_formed = true;
        double at_ms = 10;               // its first byte, from t0
        bool quiet = false;
        double quickest_ms = 10;
        RA::Verdict want;
    };
    const Case cases[] = {
        // In an exchange.
        {"the monitor asked, in its time", kB, {}, kB, 5, true, 10, false, 10, {K::kAnswer, D::kNone, kB}},
        {"the monitor asked, a cell reply in its time", kB, {}, kB, 67, true, 30, false, 10, {K::kAnswer, D::kNone, kB}},
        {"the monitor asked, sooner than it answers: a second monitor at its address", kB, {}, kB, 5, true, 3, false,
         10, {K::kDoubtful, D::kTooSoon, kB}},
        {"sooner than it answers, on a line without wire time: its answer", kB, {}, kB, 5, true, 0.2, false, 1,
         {K::kAnswer, D::kNone, kB}},
        {"exactly half its quickest answer: in its time", kB, {}, kB, 5, true, 5, false, 10, {K::kAnswer, D::kNone, kB}},
        {"the clock went back between request and reply: no judgement of time", kB, {}, kB, 5, true, -50, false, 10,
         {K::kAnswer, D::kNone, kB}},
        // The trace that stored B's current as A's temperature: A's request
        // went unanswered, B answers its own with A's address.
        {"another's address in the asked one's time, that other owing that length", kB, {{kA, a_owes_one}}, kA, 5,
         true, 10, false, 10, {K::kDoubtful, D::kAddress, kB}},
        {"another's address in the asked one's time, owing nothing", kB, {}, kA, 5, true, 10, false, 10,
         {K::kDoubtful, D::kAddress, kB}},
        {"another's address late in the asked one's time", kB, {{kA, a_owes_one}}, kA, 5, true, 40,
         false, 10, {K::kDoubtful, D::kAddress, kB}},
        {"no address at all in the asked one's time", kB, {{kA, a_owes_one}}, std::nullopt, 5, false, 10, false, 10,
         {K::kDoubtful, D::kAddress, kB}},
        {"another's late reply begun before the asked one could answer", kB, {{kA, a_owes_one}}, kA, 5, true, 2, false,
         10, {K::kLate, D::kNone, kA}},
        {"begun before the asked one could answer, but not of the length owed", kB,
         {{kA, {1, monitor::kLongReplyLen, true, true}}}, kA, 5, true, 2, false, 10,
         {K::kDoubtful, D::kAddress, kB}},
        {"begun early on a line without wire time: cannot tell", kB, {{kA, a_owes_one}}, kA, 5, true, 0.2, false, 1,
         {K::kDoubtful, D::kAddress, kB}},
        // The line idle: no reply is due but those owed.
        {"the one request A owes, whole, 0.1 s late", std::nullopt, {{kA, a_owes_one}}, kA, 5, true, 100, false, 10,
         {K::kLateAnswer, D::kNone, kA}},
        {"the one request A owes, whole, 5 s late", std::nullopt, {{kA, a_owes_one}}, kA, 5, true, 5000, false, 10,
         {K::kLateAnswer, D::kNone, kA}},
        {"the one request A owes, while B owes too: may be B's with A's address", std::nullopt,
         {{kA, a_owes_one}, {kB, {1, monitor::kShortReplyLen, true, false}}}, kA, 5, true, 100, false, 10,
         {K::kLate, D::kNone, kA}},
        {"the one request A owes, the line kept quiet (at the guard's edge)", std::nullopt, {{kA, a_owes_one}}, kA, 5,
         true, 100, true, 10, {K::kLate, D::kNone, kA}},
        {"A owes two requests", std::nullopt, {{kA, {2, monitor::kShortReplyLen, false, false}}}, kA, 5, true, 100,
         false, 10, {K::kLate, D::kNone, kA}},
        {"A's device does not wait to resend it", std::nullopt, {{kA, {1, monitor::kShortReplyLen, true, false}}}, kA,
         5, true, 100, false, 10, {K::kLate, D::kNone, kA}},
        {"a checksum wrong", std::nullopt, {{kA, a_owes_one}}, kA, 5, false, 100, false, 10, {K::kLate, D::kNone, kA}},
        {"a piece of it", std::nullopt, {{kA, a_owes_one}}, kA, 3, false, 100, false, 10, {K::kLate, D::kNone, kA}},
        {"A owes replies of two lengths", std::nullopt, {{kA, {2, 0, false, false}}}, kA, 5, true, 100, false, 10,
         {K::kLate, D::kNone, kA}},
        {"owed by nobody", std::nullopt, {{kB, {1, monitor::kShortReplyLen, true, true}}}, kA, 5, true, 100, false, 10,
         {K::kDoubtful, D::kUnasked, kA}},
    };
    for (const Case& c : cases) {
        RA::Timeline t;
        if (c.awaited) t.awaited = RA::Awaited{*c.awaited, static_cast<int>(c.len), t0};
        t.owed = c.owed;
        t.quiet = c.quiet;
        t.quickest = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(c.quickest_ms));
        RA::Frame f;
        f.addr = c.addr;
        f.len = c.len;
        f.well_formed = c.well_formed;
        f.first_byte = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(c.at_ms));
        const RA::Verdict got = RA::Decide(f, t);
        EXPECT_EQ(static_cast<int>(got.kind), static_cast<int>(c.want.kind)) << c.what;
        EXPECT_STREQ(RA::DoubtName(got.why), RA::DoubtName(c.want.why)) << c.what;
        EXPECT_EQ(got.monitor, c.want.monitor) << c.what;
    }
}

}  // namespace
