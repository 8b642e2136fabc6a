#include <gtest/gtest.h>

#include "ReplyFrame.h"
#include "ValuesLog.h"

using monitor_sim::BuildLongReply;
using monitor_sim::BuildShortReply;
using monitor_sim::CellSlots;
using monitor_sim::Frame;

TEST(ReplyFrame, ShortRepliesOfTheWorkedExamples) {
    EXPECT_EQ(BuildShortReply(0x01, 0x0218), (Frame{0xED, 0x01, 0x02, 0x18, 0x1B}));
    // 80 + FF + 80 wraps to FF, which is 1 modulo 254.
    EXPECT_EQ(BuildShortReply(0x80, 0xFF80), (Frame{0xED, 0x80, 0xFF, 0x80, 0x01}));
}

TEST(ReplyFrame, LongReplyWithEverySlotAt200HasChecksum01) {
    CellSlots slots;
    slots.fill(200);
    const Frame f = BuildLongReply(0x01, slots);
    ASSERT_EQ(f.size(), 67u);
    EXPECT_EQ(f[0], 0xED);
    EXPECT_EQ(f[1], 0x01);
    EXPECT_EQ(f[66], 0x01);
    EXPECT_TRUE(monitor::AcceptReply(f.data(), 67, 67, 0x01));
}

TEST(ReplyFrame, LongReplyPutsEachSlotHighByteFirstInItsPlace) {
    CellSlots slots;
    for (int k = 0; k < monitor::kCellSlots; ++k) slots[k] = static_cast<uint16_t>(0x0101 * k + 0x1000);
    const Frame f = BuildLongReply(0x81, slots);
    for (int k = 0; k < monitor::kCellSlots; ++k) {
        EXPECT_EQ(f[monitor::CellSlotOffset(k)], slots[k] >> 8) << "slot " << k;
        EXPECT_EQ(monitor::ReadU16(f.data(), monitor::CellSlotOffset(k)), slots[k]) << "slot " << k;
    }
    EXPECT_TRUE(monitor::AcceptReply(f.data(), 67, 67, 0x81));
    // The checksum covers the last slot too.
    Frame changed = f;
    changed[65] ^= 0x01;
    EXPECT_FALSE(monitor::AcceptReply(changed.data(), 67, 67, 0x81));
}

TEST(ReplyFrame, ReaddressedReplyIsValidForItsNewAddressOnly) {
    Frame f = BuildShortReply(0x81, 536);
    monitor_sim::SetReplyAddress(f, 0x82);
    EXPECT_TRUE(monitor::AcceptReply(f.data(), 5, 5, 0x82));
    EXPECT_FALSE(monitor::AcceptReply(f.data(), 5, 5, 0x81));
    EXPECT_EQ(monitor::ReadU16(f.data(), monitor_sim::kShortValueOffset), 536);
}

TEST(ValuesLog, OneJsonObjectPerReply) {
    std::vector<uint16_t> cells(32, 0);
    cells[0] = 1350;
    cells[28] = 1120;
    EXPECT_EQ(monitor_sim::ValuesLog::Format(1.5, 0x81, 0xA2, {3915}),
              R"({"t":1.500000,"addr":129,"cmd":162,"kind":"group_voltage","raw":3915})");
    const std::string line = monitor_sim::ValuesLog::Format(0.25, 0x82, 0xA1, cells);
    EXPECT_EQ(line.rfind(R"({"t":0.250000,"addr":130,"cmd":161,"kind":"cells","raw":[1350,0,)", 0), 0u) << line;
    EXPECT_NE(line.find(",1120,0,0,0]}"), std::string::npos) << line;
    EXPECT_NE(monitor_sim::ValuesLog::Format(0, 1, 0xA3, {15}).find(R"("kind":"group_current","raw":15})"),
              std::string::npos);
    EXPECT_NE(monitor_sim::ValuesLog::Format(0, 1, 0xA4, {2500}).find(R"("kind":"temperature")"), std::string::npos);
}
