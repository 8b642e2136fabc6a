// The poll cycle as a state machine: each scenario is a list of events (a
// host tick or a received chunk) with what must follow from each.
#include <gtest/gtest.h>

#include <limits>

#include "host/standin/HostRecorder.h"
#include "support/Probes.h"

using frames::Hex;
using hoststandin::HostRecorder;

namespace {

const std::string kLong = [] {
    std::string hex;
    for (uint8_t b : frames::LongReply(0x01, std::vector<uint16_t>(32, 1350))) hex += hoststandin::ToHex(&b, 1);
    return hex;
}();

struct Step {
    std::string event;  // "tick", or the hex of a received chunk
    int result;
    int call_type;
    std::string sent;  // hex of the request sent by this step, "" for none
    bool cycle_start;  // HLXSPDevice::RefreshStatus called by this step
};

struct Scenario {
    const char* name;
    int initial_call_type;
    std::vector<Step> steps;
};

void RunScenario(const Scenario& s) {
    HostRecorder host;
    StubBattery dev;
    dev.addr_ = 0x01;
    dev.call_type = s.initial_call_type;
    int n = 0;
    for (const Step& step : s.steps) {
        ++n;
        host.Clear();
        int result;
        if (step.event == "tick") {
            result = dev.RefreshStatus();
        } else {
            auto bytes = Hex(step.event);
            result = dev.process(bytes.data(), static_cast<unsigned int>(bytes.size()));
        }
        SCOPED_TRACE(std::string(s.name) + ", step " + std::to_string(n) + ": " + step.event);
        EXPECT_EQ(result, step.result);
        EXPECT_EQ(dev.call_type, step.call_type);
        const auto tx = host.Of("tx");
        if (step.sent.empty()) {
            EXPECT_TRUE(tx.empty());
        } else {
            ASSERT_EQ(tx.size(), 1u);
            EXPECT_EQ(tx[0].hex, step.sent);
        }
        EXPECT_EQ(host.Of("sp_refresh").size(), step.cycle_start ? 1u : 0u);
        if (step.cycle_start && !tx.empty()) {
            // The host hears of the new cycle before the first request.
            EXPECT_EQ(host.Kinds().front(), "sp_refresh");
        }
    }
}

const char kA1[] = "FEFE01A1A2";
const char kA2[] = "FEFE01A2A3";
const char kA3[] = "FEFE01A3A4";
const char kA4[] = "FEFE01A4A5";

TEST(PollCycle, Transitions) {
    const Scenario scenarios[] = {
        {"first tick starts a cycle", 0, {{"tick", 1, 1, kA1, true}}},
        {"a silent monitor: three resends, then a new cycle",
         0,
         {{"tick", 1, 1, kA1, true},
          {"tick", 1, 1, kA1, false},
          {"tick", 1, 1, kA1, false},
          {"tick", 1, 1, kA1, false},
          {"tick", 1, 1, kA1, true},
          {"tick", 1, 1, kA1, false}}},
        {"a whole cycle",
         0,
         {{"tick", 1, 1, kA1, true},
          {kLong, 1, 2, kA2, false},
          {"ED0102181B", 1, 3, kA3, false},
          {"ED01007B7C", 1, 4, kA4, false},
          {"ED010A8C97", 0, 0, "", false},
          {"tick", 1, 1, kA1, true}}},
        {"the resend budget is shared by the cycle's commands",
         0,
         {{"tick", 1, 1, kA1, true},
          {kLong, 1, 2, kA2, false},
          {"tick", 1, 2, kA2, false},
          {"ED0102181B", 1, 3, kA3, false},
          {"tick", 1, 3, kA3, false},
          {"ED01007B7C", 1, 4, kA4, false},
          {"tick", 1, 4, kA4, false},
          {"tick", 1, 1, kA1, true}}},
        {"a short reply split in two abandons the command",
         2,
         {{"ED0102", 0, 0, "", false}, {"181B", 0, 0, "", false}, {"tick", 1, 1, kA1, true}}},
        {"leading garbage before a short reply", 2, {{"0000ED0102181B", 1, 3, kA3, false}}},
        {"a chunk without a start byte abandons a short reply", 3, {{"0102030405", 0, 0, "", false}}},
        {"a reply from another monitor", 2, {{"ED0202181C", 0, 0, "", false}}},
        {"a reply with a bad checksum", 4, {{"ED010A8C98", 0, 0, "", false}}},
        // 01 + 00 + FD wraps to FE, which the monitor sends as 00.
        {"a reply whose sum wraps to FE", 2, {{"ED0100FD00", 1, 3, kA3, false}}},
        {"a checksum byte of FE never passes", 2, {{"ED0100FDFE", 0, 0, "", false}}},
        {"bytes while idle are kept but answer nothing", 0, {{"ED0102181B", 0, 0, "", false}}},
        {"a tick during the long reply resends it",
         0,
         {{"tick", 1, 1, kA1, true},
          {kLong.substr(0, 80), 1, 1, "", false},
          {"tick", 1, 1, kA1, false},
          {kLong, 1, 2, kA2, false}}},
        {"the long reply in chunks",
         0,
         {{"tick", 1, 1, kA1, true},
          {kLong.substr(0, 2), 1, 1, "", false},
          {kLong.substr(2, 64), 1, 1, "", false},
          {kLong.substr(66), 1, 2, kA2, false}}},
    };
    for (const auto& s : scenarios) RunScenario(s);
}

TEST(PollCycle, BufferCapacity) {
    HostRecorder host;
    StubBattery dev;
    dev.addr_ = 0x01;

    // 80 bytes beginning with a start byte are kept whole.
    std::vector<uint8_t> chunk(80, 0x11);
    chunk[0] = 0xED;
    EXPECT_EQ(frames::Feed(dev, chunk), 0);
    EXPECT_EQ(dev.msg_len, 80);

    // One more byte and the buffer would hold 81: everything goes.
    dev.call_type = Battery::kStringVoltage;
    EXPECT_EQ(frames::Feed(dev, {0xED}), 0);
    EXPECT_EQ(dev.msg_len, 0);
    EXPECT_EQ(dev.call_type, 0);

    // 81 bytes at an empty buffer are dropped even if they hold a valid frame.
    std::vector<uint8_t> big = frames::ShortReply(0x01, 536);
    big.resize(81, 0);
    dev.call_type = Battery::kStringVoltage;
    EXPECT_EQ(frames::Feed(dev, big), 0);
    EXPECT_EQ(dev.msg_len, 0);
    EXPECT_EQ(dev.group_voltage_, 0.0f);

    // 76 bytes held plus a chunk of 5 overflows.
    chunk.resize(76);
    dev.call_type = 0;
    frames::Feed(dev, chunk);
    ASSERT_EQ(dev.msg_len, 76);
    EXPECT_EQ(frames::Feed(dev, frames::ShortReply(0x01, 1)), 0);
    EXPECT_EQ(dev.msg_len, 0);
}

TEST(PollCycle, HostileLengthsAreRefusedWithoutTouchingMemory) {
    HostRecorder host;
    StubBattery dev;
    dev.addr_ = 0x01;
    unsigned char one = 0xED;
    frames::Feed(dev, {0xED});
    ASSERT_EQ(dev.msg_len, 1);
    dev.call_type = Battery::kCurrent;
    // msg_len + len wraps to 0 in 32 bits; the chunk must still be refused.
    EXPECT_EQ(dev.process(&one, 0xFFFFFFFFu), 0);
    EXPECT_EQ(dev.msg_len, 0);
    EXPECT_EQ(dev.call_type, 0);
    EXPECT_EQ(dev.process(&one, 0x80000000u), 0);
    // No bytes at all, or none to read, also while a frame is being gathered.
    frames::Feed(dev, {0xED, 0x01});
    ASSERT_EQ(dev.msg_len, 2);
    EXPECT_EQ(dev.process(nullptr, 0), 0);
    EXPECT_EQ(dev.msg_len, 2);
    dev.call_type = Battery::kCurrent;
    EXPECT_EQ(dev.process(nullptr, 5), 0);
    EXPECT_EQ(dev.msg_len, 2);
    EXPECT_EQ(dev.call_type, 0);
}

// A count the plug-in never leaves behind (negative, or beyond the 80 bytes
// that gather a reply) is a fresh start: the chunk lands at the start of the
// buffer, never before it or past its end.
TEST(PollCycle, AGatheredCountOutsideTheReplyCapacityStartsAfresh) {
    for (int32_t stale : {-1, -67, 81, 200, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()}) {
        HostRecorder host;
        StubBattery dev;
        dev.addr_ = 0x01;
        dev.CallTemperature();
        dev.msg_len = stale;
        EXPECT_EQ(frames::Feed(dev, frames::ShortReply(0x01, 2500)), 0) << stale;
        EXPECT_EQ(dev.rounds, 1) << stale;
        EXPECT_FLOAT_EQ(dev.temperature_, 25.0f) << stale;
        EXPECT_EQ(dev.msg_len, 0) << stale;
    }
}

TEST(PollCycle, EveryRequestAndChunkRenewsTheLastUpdateTime) {
    HostRecorder host;
    StubBattery dev;
    EXPECT_TRUE(dev.update_time_.is_special());
    dev.RefreshStatus();
    EXPECT_FALSE(dev.update_time_.is_special());
    dev.update_time_ = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
    frames::Feed(dev, {0x00});
    EXPECT_GT(dev.update_time_.date().year(), 2000);
}

TEST(PollCycle, RoundDoneRunsBeforeTheDataReadyFlagIsSet) {
    HostRecorder host;
    StubBattery dev;
    dev.addr_ = 0x01;
    dev.call_type = Battery::kTemperature;
    EXPECT_EQ(frames::Feed(dev, frames::ShortReply(0x01, 2500)), 0);
    EXPECT_EQ(dev.rounds, 1);
    EXPECT_EQ(dev.ready_during_round, 0);
    EXPECT_EQ(dev.data_ready_, 1);
}

}  // namespace
