#pragma once
// Drives a model device through whole poll cycles from raw readings.
#include <cstdint>
#include <vector>

#include "Probes.h"

struct Readings {
    std::vector<uint16_t> cells;  // raw per slot
    uint16_t string_voltage = 0;
    uint16_t current = 0;
    uint16_t temperature = 2500;
};

// One tick and the four replies, as a monitor at bus address addr answers.
// Returns the result of the last process call (0 when the round completed).
template <typename Dev>
int RunCycle(Dev& dev, uint8_t addr, const Readings& r) {
    dev.RefreshStatus();
    frames::Feed(dev, frames::LongReply(addr, r.cells));
    frames::Feed(dev, frames::ShortReply(addr, r.string_voltage));
    frames::Feed(dev, frames::ShortReply(addr, r.current));
    return frames::Feed(dev, frames::ShortReply(addr, r.temperature));
}

inline std::vector<uint16_t> Cells(int count, uint16_t raw) { return std::vector<uint16_t>(count, raw); }

// The float stored at a byte offset of a record image.
inline float FloatAt(const std::vector<uint8_t>& image, std::size_t offset) {
    float v;
    std::memcpy(&v, image.data() + offset, sizeof v);
    return v;
}
