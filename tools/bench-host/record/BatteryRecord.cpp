#include "record/BatteryRecord.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

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

// The host's 7-byte time stamp: year (u16), month, day, hour, minute, second.
constexpr std::size_t kYearAt = 0;
constexpr std::size_t kMonthAt = 2;
constexpr std::size_t kDayAt = 3;
constexpr std::size_t kHourAt = 4;
constexpr std::size_t kMinuteAt = 5;
constexpr std::size_t kSecondAt = 6;
static_assert(kSecondAt + 1 == sizeof(Battery32_Data_t::time), "the time stamp fills its field");

}  // namespace

std::optional<BatteryRecord> BatteryRecord::Decode(const uint8_t* data, std::size_t size, NoValueMask no_value) {
    if (data == nullptr || size != kSize) return std::nullopt;
    BatteryRecord r;
    r.data_id = U32(data + offsetof(Battery32_Data_t, data_id));
    const uint8_t* cells = data + offsetof(Battery32_Data_t, battery_value);
    for (std::size_t i = 0; i < r.cells.size(); ++i) r.cells[i] = F32(cells + sizeof(float) * i);
    r.group_voltage = F32(data + offsetof(Battery32_Data_t, group_voltage));
    r.group_current = F32(data + offsetof(Battery32_Data_t, group_current));
    r.reserved = data[offsetof(Battery32_Data_t, reserved)];
    r.temperature = F32(data + offsetof(Battery32_Data_t, temperature));
    const uint8_t* time = data + offsetof(Battery32_Data_t, time);
    r.year = static_cast<uint16_t>(time[kYearAt] | time[kYearAt + 1] << 8);
    r.month = time[kMonthAt];
    r.day = time[kDayAt];
    r.hour = time[kHourAt];
    r.minute = time[kMinuteAt];
    r.second = time[kSecondAt];
    r.MarkNoValue(no_value);
    return r;
}

void BatteryRecord::MarkNoValue(NoValueMask mask) {
    mask &= (NoValueMask{1} << kValueBits) - 1;
    no_value |= mask;
    constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
    for (int k = 0; k < kCells; ++k)
        if (mask >> k & 1u) cells[static_cast<std::size_t>(k)] = kNone;
    if (mask >> kStringVoltageBit & 1u) group_voltage = kNone;
    if (mask >> kCurrentBit & 1u) group_current = kNone;
    if (mask >> kTemperatureBit & 1u) temperature = kNone;
}

BatteryRecord::CellSpan BatteryRecord::CellsRead(int count) const {
    constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
    CellSpan span{kNone, kNone, 0};
    for (int i = 0; i < count && i < kCells; ++i) {
        const float v = cells[static_cast<std::size_t>(i)];
        if (!HasValue(v)) {
            ++span.without_value;
        } else if (!HasValue(span.low)) {
            span.low = span.high = v;
        } else {
            span.low = v < span.low ? v : span.low;
            span.high = v > span.high ? v : span.high;
        }
    }
    return span;
}

int BatteryRecord::BitOf(const std::string& name) {
    if (name == "group_voltage") return kStringVoltageBit;
    if (name == "group_current") return kCurrentBit;
    if (name == "temperature") return kTemperatureBit;
    // The plug-in's cell names, "battery_" + index + "_value".
    static const std::string kHead = "battery_", kTail = "_value";
    if (name.size() <= kHead.size() + kTail.size() || name.compare(0, kHead.size(), kHead) != 0 ||
        name.compare(name.size() - kTail.size(), kTail.size(), kTail) != 0)
        return -1;
    const std::string digits = name.substr(kHead.size(), name.size() - kHead.size() - kTail.size());
    if (digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    const int cell = std::atoi(digits.c_str());
    return cell < kCells ? cell : -1;
}

std::string BatteryRecord::TimeText() const {
    if (year == 0) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", year, month, day, hour, minute, second);
    return buf;
}
