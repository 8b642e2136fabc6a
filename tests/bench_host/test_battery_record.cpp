// The record image decoded by bench-host, from bytes laid out by hand at the
// offsets the plug-in's hosts rely on, not from the record type itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "record/BatteryRecord.h"

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
