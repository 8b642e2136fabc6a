#include "basics/ClockWatch.h"

std::optional<int64_t> ClockWatch::Check(int64_t wall_ms, int64_t mono_ms) {
    const int64_t offset = wall_ms - mono_ms;
    const int64_t step = offset - offset_ms_;
    offset_ms_ = offset;
    if (step > kBoundMs || step < -kBoundMs) return step;
    return std::nullopt;
}
