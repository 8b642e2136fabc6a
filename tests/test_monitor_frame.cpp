#include <gtest/gtest.h>

#include "protocol/MonitorProtocol.h"
#include "support/Probes.h"

using frames::Hex;

namespace {

struct RequestCase {
    uint8_t addr;
    uint8_t command;
    const char* wire;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.wire; }

class RequestFrames : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestFrames, BuildsTheWireBytes) {
    const auto& c = GetParam();
    const monitor::Request frame = monitor::BuildRequest(c.addr, c.command);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.end()), Hex(c.wire));
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, RequestFrames,
                         ::testing::Values(RequestCase{0x01, 0xA1, "FE FE 01 A1 A2"},
                                           RequestCase{0x01, 0xA4, "FE FE 01 A4 A5"},
                                           RequestCase{0x10, 0xA2, "FE FE 10 A2 B2"},
                                           // 5D + A1 wraps to FE, which is 0 modulo 254
                                           RequestCase{0x5D, 0xA1, "FE FE 5D A1 00"},
                                           // 5E + A1 wraps to FF, which is 1 modulo 254
                                           RequestCase{0x5E, 0xA1, "FE FE 5E A1 01"},
                                           RequestCase{0x81, 0xA3, "FE FE 81 A3 24"}));

TEST(Checksum, WrapsToEightBitsThenTakesModulo254) {
    struct {
        std::vector<uint8_t> bytes;
        uint8_t sum;
    } cases[] = {
        {{}, 0},
        {{0xFD}, 0xFD},
        {{0xFE}, 0},
        {{0xFF}, 1},
        {{0x80, 0xFF, 0x80}, 1},  // wraps to FF
        {{0x01, 0x02, 0x18}, 0x1B},
        {{0xFF, 0xFF}, 0xFE % 254},
    };
    for (const auto& c : cases) EXPECT_EQ(monitor::Checksum(c.bytes.data(), static_cast<int>(c.bytes.size())), c.sum);
    uint8_t one = 0x33;
    EXPECT_EQ(monitor::Checksum(&one, -3), 0);
}

TEST(Checksum, DeviceMemberAgreesWithTheFrameFunction) {
    StubBattery dev;
    for (int a = 0; a < 256; ++a) {
        uint8_t bytes[3] = {static_cast<uint8_t>(a), 0xA1, static_cast<uint8_t>(255 - a)};
        EXPECT_EQ(dev.GetMMCheckSum(bytes, 3), monitor::Checksum(bytes, 3));
    }
}

TEST(Checksum, NeverYieldsFEorFF) {
    for (int s = 0; s < 256; ++s) {
        uint8_t b = static_cast<uint8_t>(s);
        EXPECT_LT(monitor::Checksum(&b, 1), 254);
    }
}

struct ReplyCase {
    const char* wire;
    uint8_t addr;
    bool accepted;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.wire << (c.accepted ? " accepted" : " rejected"); }

class ShortReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ShortReplies, AcceptanceTest) {
    const auto& c = GetParam();
    const auto bytes = Hex(c.wire);
    EXPECT_EQ(monitor::AcceptReply(bytes.data(), static_cast<int>(bytes.size()), monitor::kShortReplyLen, c.addr),
              c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ShortReplies,
    ::testing::Values(ReplyCase{"ED 01 02 18 1B", 0x01, true},
                      ReplyCase{"ED 80 FF 80 01", 0x80, true},
                      // checksum taken with the start byte included
                      ReplyCase{"ED 01 02 18 08", 0x01, false},
                      // checksum over the reading bytes only
                      ReplyCase{"ED 01 02 18 1A", 0x01, false},
                      // right checksum, another monitor
                      ReplyCase{"ED 02 02 18 1C", 0x01, false},
                      ReplyCase{"EC 01 02 18 1B", 0x01, false},
                      // too short
                      ReplyCase{"ED 01 02 18", 0x01, false},
                      // trailing bytes play no part
                      ReplyCase{"ED 01 02 18 1B 99 98", 0x01, true}));

TEST(LongReply, ChecksumCoversAddressAndAllSixtyFourReadingBytes) {
    auto reply = frames::LongReply(0x01, std::vector<uint16_t>(32, 200));
    ASSERT_EQ(reply.size(), 67u);
    EXPECT_EQ(reply[66], 0x01);  // the worked example: all slots 200
    EXPECT_TRUE(monitor::AcceptReply(reply.data(), 67, monitor::kLongReplyLen, 0x01));
    EXPECT_FALSE(monitor::AcceptReply(reply.data(), 66, monitor::kLongReplyLen, 0x01));
    // A change in the last slot, which a 29-cell string does not read, still
    // breaks the checksum.
    auto broken = reply;
    broken[65] ^= 0x01;
    EXPECT_FALSE(monitor::AcceptReply(broken.data(), 67, monitor::kLongReplyLen, 0x01));
}

TEST(LongReply, SlotOffsetsAndBigEndianReadings) {
    EXPECT_EQ(monitor::CellSlotOffset(0), 2);
    EXPECT_EQ(monitor::CellSlotOffset(31), 64);
    const uint8_t bytes[] = {0x02, 0x18};
    EXPECT_EQ(monitor::ReadU16(bytes, 0), 536);
}

}  // namespace
