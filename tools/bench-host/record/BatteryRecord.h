#pragma once
// The data record of one completed round, decoded from the byte image the
// plug-in hands to the host.  The layout is the plug-in's record type,
// Battery32_Data_t (unidata/Battery32_Data_t.h): fields are read at its
// offsets, little-endian, whatever the machine bench-host runs on.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "unidata/Battery32_Data_t.h"

struct BatteryRecord {
    static constexpr std::size_t kSize = sizeof(Battery32_Data_t);
    static constexpr int kCells = static_cast<int>(sizeof(Battery32_Data_t::battery_value) / sizeof(float));

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
