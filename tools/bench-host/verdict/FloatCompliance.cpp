#include "verdict/FloatCompliance.h"

#include <algorithm>
#include <cmath>

namespace verdict {

std::string FloatCompliance::Flag(double deviation_mv, double band_mv) {
    return deviation_mv > band_mv ? "high" : deviation_mv < -band_mv ? "low" : "";
}

double FloatCompliance::Target(const BatteryData& spec, double temperature_c) {
    const double t = std::clamp(temperature_c, spec.temp_comp_min_c, spec.temp_comp_max_c);
    return spec.float_v + spec.temp_coeff_mv / 1000.0 * (t - 25.0);
}

FloatJudgement FloatCompliance::Judge(const BatteryData& spec, const Reading& r, Charge state,
                                      double seconds_on_float) {
    FloatJudgement j;
    j.temperature_c = r.temperature;
    j.clamped = r.temperature < spec.temp_comp_min_c || r.temperature > spec.temp_comp_max_c;
    j.target_v = Target(spec, r.temperature);
    if (state != Charge::floating) {
        j.held = ChargeName(state);
        return j;
    }
    if (seconds_on_float < spec.float_settle_s) {
        j.held = "settling";
        return j;
    }
    const int n = static_cast<int>(r.blocks.size());
    j.string_v = r.voltage;
    j.string_target_v = j.target_v * n;
    j.string_deviation_mv = n ? (r.voltage - j.string_target_v) * 1000.0 / n : 0.0;
    j.string_flag = Flag(j.string_deviation_mv, spec.float_band_mv);
    for (int b = 0; b < n; ++b) {
        if (!(r.blocks[b] > 0)) continue;
        FloatBlock fb;
        fb.block = b + 1;
        fb.v = r.blocks[b];
        fb.deviation_mv = std::round((r.blocks[b] - j.target_v) * 1000.0 * 10.0) / 10.0;
        fb.flag = Flag(fb.deviation_mv, spec.float_band_mv);
        if (!fb.flag.empty()) ++j.out_of_band;
        j.blocks.push_back(fb);
    }
    return j;
}

}  // namespace verdict
