// The record image decoded by bench-host, from bytes laid out by hand at the
// offsets the plug-in's hosts rely on, not from the record type itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "protocol/MonitorProtocol.h"
#include "record/BatteryRecord.h"
#include "record/InvalidReadings.h"

namespace {

void PutU32(std::vector<uint8_t>& image, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(BatteryRecord, DecodesEachFieldAtItsOffset) {
    std::vector<uint8_t> image(152, 0);
    PutU32(image, 0, 12);            // data identifier
    PutU32(image, 4, 0x41580000);    // cell 0: 13.5
    PutU32(image, 128, 0x3F800000);  // cell 31: 1.0
    PutU32(image, 132, 0x40000000);  // string voltage: 2.0
    PutU32(image, 136, 0xC0400000);  // current: -3.0
    image[140] = 0xAA;               // reserved
    PutU32(image, 141, 0x41CC0000);  // temperature: 25.5, at its odd offset
    const uint8_t time[] = {0xEA, 0x07, 12, 8, 4, 5, 59};
    std::copy(std::begin(time), std::end(time), image.begin() + 145);

    const auto r = BatteryRecord::Decode(image.data(), image.size());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->data_id, 12u);
    EXPECT_EQ(r->cells[0], 13.5f);
    EXPECT_EQ(r->cells[1], 0.0f);
    EXPECT_EQ(r->cells[31], 1.0f);
    EXPECT_EQ(r->group_voltage, 2.0f);
    EXPECT_EQ(r->group_current, -3.0f);
    EXPECT_EQ(r->reserved, 0xAA);
    EXPECT_EQ(r->temperature, 25.5f);
    EXPECT_EQ(r->TimeText(), "2026-12-08 04:05:59");

    image[145] = image[146] = 0;
    EXPECT_EQ(BatteryRecord::Decode(image.data(), image.size())->TimeText(), "");
    for (std::size_t size : {0u, 151u, 153u}) EXPECT_FALSE(BatteryRecord::Decode(image.data(), size)) << size;
    EXPECT_FALSE(BatteryRecord::Decode(nullptr, 152));
}

}  // namespace

// Which fields of the replies a device took were 0xFFFF, and which values of
// the round's record they make no value, by the device's layout.
namespace invalid {

using Mask = BatteryRecord::NoValueMask;
constexpr uint8_t kAddr = 0x81;
constexpr uint16_t kNone = InvalidReadings::kInvalid;

std::vector<uint8_t> Cells(std::vector<std::pair<int, uint16_t>> set) {
    monitor::CellSlots slots;
    slots.fill(1350);
    for (const auto& [slot, raw] : set) slots.at(static_cast<std::size_t>(slot)) = raw;
    const auto f = monitor::BuildLongReply(kAddr, slots);
    return std::vector<uint8_t>(f.begin(), f.end());
}

std::vector<uint8_t> Short(uint16_t raw) {
    const auto f = monitor::BuildShortReply(kAddr, raw);
    return std::vector<uint8_t>(f.begin(), f.end());
}

Mask Bit(int bit) { return Mask{1} << bit; }

struct Reply {
    uint8_t command;
    std::vector<uint8_t> bytes;
    bool taken = true;  // what Took says of it
};

TEST(InvalidReadings, FromTheRepliesTakenToTheRecordsValues) {
    const InvalidReadings::Layout ups{29, false, true}, reversed{29, true, true}, full{32, false, true},
        other_current{29, false, false};
    auto noisy = [](std::vector<uint8_t> frame) {
        frame.insert(frame.begin(), {0x00, 0x13});
        return frame;
    };
    auto spoilt = [](std::vector<uint8_t> frame) {
        frame.back() = static_cast<uint8_t>(frame.back() + 1);
        return frame;
    };
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        InvalidReadings::Layout layout;
        Mask want;
    };
    const Case cases[] = {
        {"all read", {{0xA1, Cells({})}, {0xA2, Short(3900)}, {0xA3, Short(125)}, {0xA4, Short(2500)}}, ups, 0},
        {"cell slot 4 and the temperature", {{0xA1, Cells({{4, kNone}})}, {0xA4, Short(kNone)}}, ups,
         Bit(4) | Bit(BatteryRecord::kTemperatureBit)},
        {"the string voltage", {{0xA2, Short(kNone)}}, ups, Bit(BatteryRecord::kStringVoltageBit)},
        {"the current", {{0xA3, Short(kNone)}}, ups, Bit(BatteryRecord::kCurrentBit)},
        {"the current from another device", {{0xA3, Short(kNone)}}, other_current, 0},
        {"0xFFFE is a reading", {{0xA1, Cells({{4, 0xFFFE}})}, {0xA4, Short(0xFFFE)}}, ups, 0},
        {"reversed: slot 0 is cell 28, slot 28 cell 0", {{0xA1, Cells({{0, kNone}, {28, kNone}, {3, kNone}})}},
         reversed, Bit(28) | Bit(0) | Bit(25)},
        {"slots past the model's cells", {{0xA1, Cells({{29, kNone}, {31, kNone}})}}, ups, 0},
        {"32 cells: slot 31 too", {{0xA1, Cells({{29, kNone}, {31, kNone}})}}, full, Bit(29) | Bit(31)},
        {"noise before the frame", {{0xA1, noisy(Cells({{7, kNone}}))}}, ups, Bit(7)},
        {"a spoilt frame changes nothing", {{0xA1, Cells({{2, kNone}})}, {0xA1, spoilt(Cells({})), false}}, ups, Bit(2)},
        {"a partial frame changes nothing",
         {{0xA4, Short(kNone)}, {0xA4, std::vector<uint8_t>{0xED, kAddr, 0x09}, false}}, ups,
         Bit(BatteryRecord::kTemperatureBit)},
        {"the reply to a resend replaces the first", {{0xA1, Cells({{2, kNone}})}, {0xA1, Cells({{5, kNone}})},
                                                       {0xA4, Short(kNone)}, {0xA4, Short(2500)}},
         ups, Bit(5)},
        {"an unknown command", {{0xA7, Short(kNone), false}}, ups, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InvalidReadings r;
        for (const Reply& reply : c.replies)
            EXPECT_EQ(r.Took(reply.command, reply.bytes.data(), reply.bytes.size()), reply.taken);
        EXPECT_EQ(r.Mask(c.layout), c.want);
    }
}

// The mask read back: those values NaN, the others as the image holds them;
// names map to their bits.
TEST(InvalidReadings, TheRecordReadsTheMaskedValuesAsNone) {
    std::vector<uint8_t> image(BatteryRecord::kSize, 0);
    PutU32(image, 4 + 4 * 3, 0x41580000);  // cell 3: 13.5
    PutU32(image, 4 + 4 * 4, 0x41580000);  // cell 4: 13.5
    PutU32(image, 141, 0x41CC0000);        // temperature: 25.5
    const Mask mask = Bit(3) | Bit(BatteryRecord::kTemperatureBit) | Bit(60);
    const auto r = BatteryRecord::Decode(image.data(), image.size(), mask);
    ASSERT_TRUE(r);
    EXPECT_FALSE(BatteryRecord::HasValue(r->cells[3]));
    EXPECT_EQ(r->cells[4], 13.5f);
    EXPECT_FALSE(BatteryRecord::HasValue(r->temperature));
    EXPECT_EQ(r->group_voltage, 0.0f);
    EXPECT_EQ(r->no_value, Bit(3) | Bit(BatteryRecord::kTemperatureBit)) << "bits past the values are dropped";
    const struct {
        const char* name;
        int bit;
    } names[] = {{"battery_0_value", 0},  {"battery_31_value", 31}, {"battery_07_value", 7}, {"group_voltage", 32},
                 {"group_current", 33},   {"temperature", 34},      {"battery_32_value", -1}, {"battery__value", -1},
                 {"battery_x_value", -1}, {"Temperature", -1},      {"battery_3_valuex", -1}};
    for (const auto& n : names) EXPECT_EQ(BatteryRecord::BitOf(n.name), n.bit) << n.name;
    EXPECT_TRUE(r->NoValue("battery_3_value"));
    EXPECT_FALSE(r->NoValue("battery_4_value"));
    EXPECT_FALSE(r->NoValue("no such name"));
}

}  // namespace invalid
