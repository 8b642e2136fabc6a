#pragma once
// The string's verdict: one state ("good", "attention", "act now", or "no
// data" when no round was read) and the findings it rests on, the most
// urgent first, each with its figure and the evidence behind it.  From the
// period's verdict figures and the cells the report flagged.
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "site/BatteryData.h"
#include "verdict/PeriodFigures.h"

namespace verdict {

struct Finding {
    enum Severity { note = 0, attention = 1, act = 2 };
    Severity severity = note;
    std::string text;      // "block 6: resistance +52 % on its baseline of 2026-06-01"
    std::string evidence;  // what the figure rests on
};

// A cell the report flagged: its mean deviation from the string's mean
// cell, at rest, on recharge or under discharge.
struct CellFlag {
    int block = 0;  // 1-based
    double deviation_mv = 0;
    bool discharge = false;
    long rounds = 0;
    double threshold_mv = 0;
    bool recharge = false;  // on the charger's recharge (discharge false)
};

struct Verdict {
    std::string state;  // "good", "attention", "act now", "no data"
    std::vector<Finding> findings;
};

class Findings {
public:
    // A figure as it reads best: whole, or to `places` decimals, where
    // that does not carry it onto or across one of the decision lines
    // (79.7 % is not "80 %" against a line at 80 %); else with as many
    // more decimals as keep it on its side.  Signed: "+20", "-3"; 0 is
    // never signed.
    static std::string Figure(double v, std::initializer_list<double> lines, int places = 0, bool sign = false);
    // baseline_date: when the baseline was taken ("" none);
    // baseline_capacity_pct: the capacity it recorded, against which a
    // drop of more than 10 points calls for a yearly test;
    // float_drift_mv: each block's float drift on it (FloatDrift), flagged
    // past the float band.
    static Verdict Judge(const PeriodResult& p, const BatteryData& spec, const std::vector<CellFlag>& flags,
                         long rounds, const std::string& baseline_date,
                         std::optional<double> baseline_capacity_pct = std::nullopt,
                         const std::vector<std::optional<double>>& float_drift_mv = {});
};

}  // namespace verdict
