#include "BatteryModel.h"

#include <algorithm>
#include <cmath>

namespace monitor_sim {

namespace {

// IEEE 450's temperature correction factors, referred to 77 °F (25 °C).
struct KtRow {
    double fahrenheit, kt;
};
constexpr KtRow kKtTable[] = {{60, 1.110}, {65, 1.080}, {68, 1.056}, {70, 1.040}, {75, 1.011}, {77, 1.000},
                              {80, 0.980}, {85, 0.960}, {90, 0.940}, {95, 0.930}, {100, 0.910}};
constexpr std::size_t kKtRows = sizeof kKtTable / sizeof kKtTable[0];

}  // namespace

BatteryModel::BatteryModel(BatteryParams p) : p_(std::move(p)) {
    const auto n = static_cast<std::size_t>(std::max(p_.blocks, 1));
    soc_.assign(n, std::clamp(p_.start_soc, 0.0, 1.0));
    capacity_.assign(n, p_.capacity_ah);
    resistance_.assign(n, p_.resistance_ohms);
    for (std::size_t b = 0; b < n; ++b) {
        if (b < p_.capacity_pct.size()) capacity_[b] *= p_.capacity_pct[b] / 100.0;
        if (b < p_.resistance_factor.size()) resistance_[b] *= p_.resistance_factor[b];
    }
}

double BatteryModel::Ocv(double soc) {
    const double s = std::clamp(soc, 0.0, 1.0);
    const double knee = std::max(0.0, (0.1 - s) / 0.1);
    return 11.6 + 1.2 * s - 1.2 * knee * knee;
}

double BatteryModel::Surface(double soc, double full) { return full * std::pow(std::clamp(soc, 0.0, 1.0), 8); }

double BatteryModel::Kt(double celsius) {
    const double f = celsius * 9.0 / 5.0 + 32.0;
    if (f <= kKtTable[0].fahrenheit) return kKtTable[0].kt;
    for (std::size_t i = 1; i < kKtRows; ++i) {
        const KtRow &lo = kKtTable[i - 1], &hi = kKtTable[i];
        if (f <= hi.fahrenheit) return lo.kt + (hi.kt - lo.kt) * (f - lo.fahrenheit) / (hi.fahrenheit - lo.fahrenheit);
    }
    return kKtTable[kKtRows - 1].kt;
}

double BatteryModel::SurfaceFull() const { return std::max(0.0, FloatTarget() - Ocv(1.0)); }

double BatteryModel::CapacityAh(int b) const { return capacity_[static_cast<std::size_t>(b)] / Kt(p_.temperature_c); }

double BatteryModel::BlockVolts(int b) const {
    const auto i = static_cast<std::size_t>(b);
    const double surface = current_ > 0 ? Surface(soc_[i], SurfaceFull()) : 0.0;
    return (Ocv(soc_[i]) + surface + current_ * resistance_[i]) * scale_;
}

void BatteryModel::Step(double dt_s, double load_a, bool charger) {
    const double hours = dt_s / 3600.0;
    scale_ = 1.0;
    if (load_a > 0) {
        current_ = -load_a;
        // Peukert: at current I a block of the rating C over H hours
        // empties in H × (C / (I × H))^k hours, as if it gave I × (I H / C)^(k-1).
        // Ageing and warmth change the charge a block holds, not the rate it
        // is drawn at, so a block's runtime at any current is its share of
        // the rated block's: a block of 80 % lasts 80 % of the rated time, as
        // a capacity test at the rated current finds it.
        const double effective = load_a * std::pow(load_a * p_.capacity_hours / p_.capacity_ah, p_.peukert - 1.0);
        for (std::size_t b = 0; b < soc_.size(); ++b)
            soc_[b] = std::max(0.0, soc_[b] - effective * hours / CapacityAh(static_cast<int>(b)));
        return;
    }
    if (!charger) {
        current_ = 0.0;
        return;
    }
    // The charger holds the string at its float voltage: the current that
    // the gap between that and the blocks' own voltages drives through
    // their resistance, up to its limit, and never below a float current.
    double own = 0.0, ohms = 0.0;
    const double full = SurfaceFull();
    for (std::size_t b = 0; b < soc_.size(); ++b) {
        own += Ocv(soc_[b]) + Surface(soc_[b], full);
        ohms += resistance_[b];
    }
    const double target = FloatTarget() * static_cast<double>(soc_.size());
    current_ = std::clamp((target - own) / ohms, p_.float_a, p_.charge_limit_a);
    scale_ = std::min(1.0, target / (own + current_ * ohms));
    for (std::size_t b = 0; b < soc_.size(); ++b)
        soc_[b] = std::min(1.0, soc_[b] + current_ * hours / CapacityAh(static_cast<int>(b)));
}

}  // namespace monitor_sim
