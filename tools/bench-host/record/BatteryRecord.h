#pragma once
// The data record of one completed round, decoded from the byte image the
// plug-in hands to the host.  The layout is the plug-in's record type,
// Battery32_Data_t (unidata/Battery32_Data_t.h): fields are read at its
// offsets, little-endian, whatever the machine bench-host runs on.
#include <array>
#include <cmath>
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

    // The values of the round that are no value: the monitor sent their
    // reading as invalid (0xFFFF), which the plug-in keeps as 0 V or as the
    // last temperature, so the image alone cannot tell.  Bit k is cell k,
    // then the string voltage, the current and the temperature; each such
    // field holds NaN, so that no reader takes it for a reading.
    static constexpr int kStringVoltageBit = kCells;
    static constexpr int kCurrentBit = kCells + 1;
    static constexpr int kTemperatureBit = kCells + 2;
    static constexpr int kValueBits = kCells + 3;
    using NoValueMask = uint64_t;
    static_assert(kValueBits <= 63, "the mask is stored as a signed 64-bit integer");
    NoValueMask no_value = 0;

    // Nothing unless the image is exactly a record's size; the values in
    // no_value (bits beyond the record's values are ignored) read as none.
    static std::optional<BatteryRecord> Decode(const uint8_t* data, std::size_t size, NoValueMask no_value = 0);

    // The values of the mask become no value.
    void MarkNoValue(NoValueMask mask);
    static bool HasValue(float v) { return !std::isnan(v); }
    // The bit of a value name ("battery_3_value", "group_voltage",
    // "group_current", "temperature"); -1 for any other name.
    static int BitOf(const std::string& name);
    // The lowest and highest of the first `cells` cells that have a value,
    // and how many of them have none; lowest and highest are NaN when none has.
    struct CellSpan {
        float low, high;
        int without_value = 0;
    };
    CellSpan CellsRead(int cells) const;
    // Whether the value of that name is no value in this round.
    bool NoValue(const std::string& name) const {
        const int bit = BitOf(name);
        return bit >= 0 && (no_value >> bit & 1u) != 0;
    }

    // "YYYY-MM-DD hh:mm:ss", or "" when the record carries no time.
    std::string TimeText() const;
};
