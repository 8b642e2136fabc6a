#include "verdict/CapacityTest.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace verdict {

namespace {

// IEEE 450's temperature correction factors, referred to 77 °F (25 °C).
struct KtRow {
    double fahrenheit, kt;
};
constexpr KtRow kKtTable[] = {{60, 1.110}, {65, 1.080}, {68, 1.056}, {70, 1.040}, {75, 1.011}, {77, 1.000},
                              {80, 0.980}, {85, 0.960}, {90, 0.940}, {95, 0.930}, {100, 0.910}};

}  // namespace

double CapacityTest::Kt(double celsius, bool* outside) {
    const double f = celsius * 9.0 / 5.0 + 32.0;
    const auto& first = kKtTable[0];
    const auto& last = kKtTable[std::size(kKtTable) - 1];
    // A temperature converted from a row's °F is that row, not outside.
    if (outside) *outside = f < first.fahrenheit - 1e-6 || f > last.fahrenheit + 1e-6;
    if (f <= first.fahrenheit) return first.kt;
    if (f >= last.fahrenheit) return last.kt;
    for (std::size_t i = 1; i < std::size(kKtTable); ++i) {
        const auto &lo = kKtTable[i - 1], &hi = kKtTable[i];
        if (f <= hi.fahrenheit) return lo.kt + (hi.kt - lo.kt) * (f - lo.fahrenheit) / (hi.fahrenheit - lo.fahrenheit);
    }
    return last.kt;
}

double CapacityTest::RatedMinutes(const BatteryData& spec, double current_a) {
    if (spec.rated_minutes && spec.rated_current_a)
        return *spec.rated_minutes * std::pow(*spec.rated_current_a / current_a, spec.peukert);
    const double h = spec.capacity_hours;
    return 60.0 * h * std::pow(spec.capacity_ah / (current_a * h), spec.peukert);
}

void CapacityTest::Add(const Reading& r) {
    if (ended_) return;
    const double amps = -r.current;
    if (rounds_ == 0) {
        first_ = r;
        current_min_ = current_max_ = first_amps_ = amps;
        temperature_min_ = temperature_max_ = r.temperature;
    }
    temperature_min_ = std::min(temperature_min_, r.temperature);
    temperature_max_ = std::max(temperature_max_, r.temperature);
    ++rounds_;
    current_sum_ += amps;
    current_min_ = std::min(current_min_, amps);
    current_max_ = std::max(current_max_, amps);
    last_ = r;
    if (seen_++ % stride_ == 0) {
        kept_.push_back(r);
        if (kept_.size() >= kKept) {
            std::vector<Reading> half;
            for (std::size_t i = 0; i < kept_.size(); i += 2) half.push_back(std::move(kept_[i]));
            kept_ = std::move(half);
            stride_ *= 2;
        }
    }
    // The first block at its end voltage is said whichever end the site
    // chose; with "block" it ends the test.
    int lowest = 0;
    for (int b = 0; b < blocks_ && b < static_cast<int>(r.blocks.size()); ++b)
        if (r.blocks[b] > 0 && (lowest == 0 || r.blocks[b] < r.blocks[lowest - 1])) lowest = b + 1;
    if (first_block_ == 0 && lowest && r.blocks[lowest - 1] <= spec_.end_v) {
        first_block_ = lowest;
        first_block_ms_ = r.ms;
        if (spec_.end_on == "block") ended_ = true;
    }
    if (spec_.end_on == "string" && r.MeanBlock() > 0 && r.MeanBlock() <= spec_.end_v) ended_ = true;
}

std::optional<CapacityResult> CapacityTest::Result() const {
    if (rounds_ < 2) return std::nullopt;
    CapacityResult c;
    c.start_ms = first_.ms;
    c.end_ms = last_.ms;
    c.current_a = current_sum_ / static_cast<double>(rounds_);
    c.steady = c.current_a > 0 && current_max_ <= c.current_a * 1.1 && current_min_ >= c.current_a * 0.9;
    c.temperature_c = first_.temperature;
    c.kt = Kt(c.temperature_c, &c.kt_outside_table);
    c.actual_min = static_cast<double>(c.end_ms - c.start_ms) / 60000.0;
    c.rated_min = c.current_a > 0 ? RatedMinutes(spec_, c.current_a) : 0.0;
    // The table's factor is below 1 where a string gives more than at 25 °C
    // (a test current is the rated one divided by it), so the time a warm
    // string lasted is scaled down by it, a cold one's up: Ta / (Ts / KT).
    c.capacity_pct = c.rated_min > 0 ? c.actual_min * c.kt / c.rated_min * 100.0 : 0.0;
    c.lower_bound = !ended_;
    c.first_block = first_block_;
    c.first_block_ms = first_block_ms_;
    c.first_block_min = first_block_ ? static_cast<double>(first_block_ms_ - c.start_ms) / 60000.0 : 0.0;
    for (const double f : {0.0, 0.25, 0.5, 0.75}) {
        const int64_t at = c.start_ms + static_cast<int64_t>(f * static_cast<double>(c.end_ms - c.start_ms));
        const Reading* best = &kept_.front();
        for (const auto& k : kept_)
            if (std::llabs(k.ms - at) < std::llabs(best->ms - at)) best = &k;
        c.snapshots.push_back({f, best->ms, best->blocks});
    }
    c.snapshots.push_back({1.0, last_.ms, last_.blocks});
    c.temperature_min_c = temperature_min_;
    c.temperature_max_c = temperature_max_;
    c.current_min_a = current_min_;
    c.current_max_a = current_max_;
    c.float_before_s = float_before_s_;
    c.conditions = Conditions(spec_, c);
    c.decision = c.conditions.empty() ? Decision(spec_, c.capacity_pct, c.lower_bound) : "";
    return c;
}

namespace {

std::string Text(const char* format, double a, double b = 0, double c = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

}  // namespace

std::vector<std::string> CapacityTest::Conditions(const BatteryData& battery, const CapacityResult& c) {
    std::vector<std::string> out;
    if (!c.current_read) {
        out.push_back("no discharge current read");
        return out;
    }
    if (c.float_before_s && *c.float_before_s < battery.float_settle_s)
        out.push_back(Text("not settled on float before it: %.0f s on float since the last recharge, rest or test, "
                           "%.0f s asked",
                           *c.float_before_s, battery.float_settle_s));
    if (!c.steady)
        out.push_back(Text("current not steady: %.1f to %.1f A about its mean of %.1f A, within 10 %% asked",
                           c.current_min_a, c.current_max_a, c.current_a));
    const double moved = c.temperature_max_c - c.temperature_min_c;
    if (moved > kMaxTemperatureChangeC)
        out.push_back(Text("temperature moved by %.1f °C during it (%.1f to %.1f °C): KT at its start does not hold",
                           moved, c.temperature_min_c, c.temperature_max_c));
    return out;
}

std::string CapacityTest::Decision(const BatteryData& spec, double pct, bool lower_bound) {
    if (lower_bound) return "";
    if (pct < spec.replace_pct) return "replace";
    return pct < spec.retest_pct ? "test again within a year" : "";
}

}  // namespace verdict
