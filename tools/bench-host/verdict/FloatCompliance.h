#pragma once
// Float compliance: each block against the float voltage compensated for
// the temperature, V(T) = float_v + temp_coeff_mv / 1000 * (T - 25) with T
// held inside [temp_comp_min_c, temp_comp_max_c], and the string's mean
// block against the same target.  Judged only once the string has been on
// float for float_settle_s; while it discharges, recharges, rests or
// settles, float alarms are held and the judgement says why.
#include <string>
#include <vector>

#include "site/BatteryData.h"
#include "verdict/ChargeState.h"
#include "verdict/Reading.h"

namespace verdict {

struct FloatBlock {
    int block = 0;  // 1-based
    double v = 0;
    double deviation_mv = 0;  // against the target
    std::string flag;         // "", "high" or "low"
};

struct FloatJudgement {
    // "" when judged; else why not: "discharge", "recharge", "rest",
    // "settling" (on float for less than float_settle_s).
    std::string held;
    double temperature_c = 0;
    bool clamped = false;  // the temperature lay outside the compensated range
    double target_v = 0;   // per block
    double string_v = 0, string_target_v = 0;
    double string_deviation_mv = 0;  // per block: (string - target) / blocks
    std::string string_flag;
    std::vector<FloatBlock> blocks;  // judged blocks (a block not read is left out)
    int out_of_band = 0;
};

class FloatCompliance {
public:
    // The compensated float voltage per block at this temperature.
    static double Target(const BatteryData& spec, double temperature_c);
    // "high" or "low" past the band either side, "" within it.
    static std::string Flag(double deviation_mv, double band_mv);
    static FloatJudgement Judge(const BatteryData& spec, const Reading& r, Charge state, double seconds_on_float);
};

}  // namespace verdict
