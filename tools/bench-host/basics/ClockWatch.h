#pragma once
// Tells when the wall clock is stepped: set back or forward by an NTP
// correction, by hand, or at boot on a controller without a real-time
// clock.  The monotonic clock never steps, so the two clocks' difference
// moves only by the step (and by the slow slewing NTP does, well under a
// millisecond a second).  Pure: fed both clocks' readings, it answers with
// the step, so every case is a row of numbers.
#include <cstdint>
#include <optional>

class ClockWatch {
public:
    // A move of the difference beyond this between two readings is a
    // step.  The run reads both clocks at least once a second, in which
    // slewing moves the difference by half a millisecond at most; a second
    // is far above that and far below any step worth telling.
    static constexpr int64_t kBoundMs = 1000;

    ClockWatch(int64_t wall_ms, int64_t mono_ms) : offset_ms_(wall_ms - mono_ms) {}

    // The step since the last reading (negative: back) when beyond the
    // bound; nothing otherwise.  Every reading becomes the new reference,
    // so slewing never adds up to a step.
    std::optional<int64_t> Check(int64_t wall_ms, int64_t mono_ms);

private:
    int64_t offset_ms_;
};
