#include "BatteryRecord.h"

#include <cstdio>
#include <cstring>

namespace {

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

float F32(const uint8_t* p) {
    const uint32_t bits = U32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace

std::optional<BatteryRecord> BatteryRecord::Decode(const uint8_t* data, std::size_t size) {
    if (data == nullptr || size != kSize) return std::nullopt;
    BatteryRecord r;
    r.data_id = U32(data);
    for (int i = 0; i < kCells; ++i) r.cells[i] = F32(data + 4 + 4 * i);
    r.group_voltage = F32(data + 132);
    r.group_current = F32(data + 136);
    r.reserved = data[140];
    r.temperature = F32(data + 141);
    r.year = static_cast<uint16_t>(data[145] | data[146] << 8);
    r.month = data[147];
    r.day = data[148];
    r.hour = data[149];
    r.minute = data[150];
    r.second = data[151];
    return r;
}

std::string BatteryRecord::TimeText() const {
    if (year == 0) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", year, month, day, hour, minute, second);
    return buf;
}
