#pragma once
// The 152-byte data record of one completed round, decoded from its byte
// image (little-endian, packed):
//
//   offset  size
//        0     4  data identifier (u32)
//        4   128  32 cell voltages (f32)
//      132     4  string voltage (f32)
//      136     4  current (f32)
//      140     1  reserved
//      141     4  temperature (f32)
//      145     7  time: year (u16), month, day, hour, minute, second
#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct BatteryRecord {
    static constexpr std::size_t kSize = 152;
    static constexpr int kCells = 32;

    uint32_t data_id = 0;
    std::array<float, kCells> cells{};
    float group_voltage = 0.0f;
    float group_current = 0.0f;
    uint8_t reserved = 0;
    float temperature = 0.0f;
    uint16_t year = 0;
    uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;

    // Nothing unless the image is exactly a record's size.
    static std::optional<BatteryRecord> Decode(const uint8_t* data, std::size_t size);

    // "YYYY-MM-DD hh:mm:ss", or "" when the record carries no time.
    std::string TimeText() const;
};
