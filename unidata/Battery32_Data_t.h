#pragma once
// The data record of one completed round: the unit that leaves the device.
// The same 152 bytes are published at the end of every round, stored as
// history and handed back to restore the device from the cache.
//
//   offset  size  field
//        0     4  data_id        data identifier of the device (u32)
//        4   128  battery_value  32 cell voltages, volts (f32 each)
//      132     4  group_voltage  string voltage, volts (f32)
//      136     4  group_current  string current, amperes (f32)
//      140     1  reserved       always 0
//      141     4  temperature    degrees (f32), at an odd offset
//      145     7  time           the host's 7-byte time stamp of the round
//      152        end
//
// Byte-packed, multi-byte fields little-endian, floats IEEE 754 single
// precision.  The record is only ever handled as a whole image.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct Battery32_Data_t {
    uint32_t data_id;
    float battery_value[32];
    float group_voltage;
    float group_current;
    uint8_t reserved;
    float temperature;
    uint8_t time[7];
};
#pragma pack(pop)

static_assert(sizeof(Battery32_Data_t) == 152, "the record is exactly 152 bytes");
static_assert(offsetof(Battery32_Data_t, battery_value) == 4, "record layout");
static_assert(offsetof(Battery32_Data_t, group_voltage) == 132, "record layout");
static_assert(offsetof(Battery32_Data_t, group_current) == 136, "record layout");
static_assert(offsetof(Battery32_Data_t, reserved) == 140, "record layout");
static_assert(offsetof(Battery32_Data_t, temperature) == 141, "record layout");
static_assert(offsetof(Battery32_Data_t, time) == 145, "record layout");
// The image is copied field for field from memory: a big-endian build would
// publish and store records the controller cannot read.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record image is little-endian");
