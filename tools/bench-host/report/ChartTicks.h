#pragma once
// Where a chart of the report puts its ticks: on values a reader can name
// without counting (1, 2 or 5 × 10^n on a value axis; on a time axis whole
// seconds, minutes, hours or days of the bench's local clock), never on
// the odd fractions a span divided in four gives.
#include <cstdint>
#include <string>
#include <vector>

namespace report {

struct ValueTicks {
    std::vector<double> values;  // ascending, inside the span
    double step = 0;
    int digits = 0;  // decimals that tell the ticks apart
};

struct TimeTicks {
    std::vector<int64_t> ms;  // ascending, inside the span
    int64_t step_ms = 0;
};

class ChartTicks {
public:
    // Multiples of the smallest 1, 2 or 5 × 10^n step that puts at most
    // max_ticks of them in [lo, hi]; none for an empty or unreadable span.
    static ValueTicks Values(double lo, double hi, int max_ticks);
    // Round local times in [t0_ms, t1_ms]: the smallest step of 1, 2, 5,
    // 10, 15 or 30 s, 1, 2, 5, 10, 15 or 30 min, 1, 2, 3, 6 or 12 h, or
    // 1, 2, 5 × 10^n days that puts at most max_ticks in the span.  Hours
    // and days are counted on the local clock, offset_s east of UTC.
    static TimeTicks Times(int64_t t0_ms, int64_t t1_ms, int max_ticks, long offset_s);
    // A tick's label as the step tells it apart, from the stored time text
    // ("2026-12-08T23:04:30.000+00:00"): "23:04:30" below a minute,
    // "23:04" below a day, "12-08" for days.
    static std::string Label(const std::string& stamp, int64_t step_ms);
};

}  // namespace report
