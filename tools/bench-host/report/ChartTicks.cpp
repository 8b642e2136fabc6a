#include "report/ChartTicks.h"

#include <cmath>

namespace report {

namespace {

constexpr int64_t kS = 1000, kMin = 60 * kS, kHour = 60 * kMin, kDay = 24 * kHour;

// a / b rounded down, for times before the epoch as for those after.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

ValueTicks ChartTicks::Values(double lo, double hi, int max_ticks) {
    ValueTicks out;
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(hi > lo) || max_ticks < 2) return out;
    double magnitude = std::pow(10.0, std::floor(std::log10((hi - lo) / max_ticks)));
    for (;;) {
        for (const double m : {1.0, 2.0, 5.0}) {
            const double step = m * magnitude;
            const double first = std::ceil(lo / step - 1e-9), last = std::floor(hi / step + 1e-9);
            if (last - first + 1 > max_ticks) continue;
            out.step = step;
            out.digits = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
            for (double k = first; k <= last; ++k) out.values.push_back(k * step);
            return out;
        }
        magnitude *= 10;
    }
}

TimeTicks ChartTicks::Times(int64_t t0_ms, int64_t t1_ms, int max_ticks, long offset_s) {
    TimeTicks out;
    if (t1_ms < t0_ms || max_ticks < 1) return out;
    static const int64_t kSteps[] = {kS,        2 * kS,     5 * kS,      10 * kS,     15 * kS,    30 * kS,
                                     kMin,      2 * kMin,   5 * kMin,    10 * kMin,   15 * kMin,  30 * kMin,
                                     kHour,     2 * kHour,  3 * kHour,   6 * kHour,   12 * kHour};
    const int64_t off = static_cast<int64_t>(offset_s) * kS;
    auto count = [&](int64_t step) {
        return FloorDiv(t1_ms + off, step) - (FloorDiv(t0_ms + off - 1, step) + 1) + 1;
    };
    int64_t step = 0;
    for (const int64_t s : kSteps)
        if (count(s) <= max_ticks) {
            step = s;
            break;
        }
    for (int64_t days = 1; step == 0; days *= 10)
        for (const int64_t m : {1, 2, 5})
            if (step == 0 && count(m * days * kDay) <= max_ticks) step = m * days * kDay;
    out.step_ms = step;
    for (int64_t k = FloorDiv(t0_ms + off - 1, step) + 1; k * step - off <= t1_ms; ++k) out.ms.push_back(k * step - off);
    return out;
}

std::string ChartTicks::Label(const std::string& stamp, int64_t step_ms) {
    if (stamp.size() < 19) return stamp;
    if (step_ms < kMin) return stamp.substr(11, 8);
    if (step_ms < kDay) return stamp.substr(11, 5);
    return stamp.substr(5, 5);
}

}  // namespace report
