#pragma once
// Each block's resistance as the monitor sees it through load steps: when
// the string's current changes by at least step_min_a between two rounds
// no more than step_max_gap_s apart, and the current was steady (within
// step_settle_a) in the round before the step and the round after it,
// each block's ΔV/ΔI is one reading in mΩ, ΔV from the round before the
// step to the round after the step's own (whose blocks may have been read
// before the change).  Rounds taken while the load is still changing are
// left out, since they mix two loads.  Steps with either side on charge
// (float or recharge by the charge state, which a current above rest_a
// always is) are left out too, and counted: on charge a block holds a
// surface voltage that collapses as soon as the current turns, adding
// about the same ΔV to every block, so a step off float (the mains failing
// and the string taking the load) would hide a block's rise.  Steps within
// a discharge, or from rest into one, are taken.  Per block the median
// over the period's steps, and its rise against a baseline, flagged at
// rise_investigate_pct and rise_act_pct once it passes them by more than
// its uncertainty.  Each step's figure carries its uncertainty from the
// readings' resolution (10 mV a block, 0.1 A) over its ΔI; a step whose
// typical block it leaves uncertain by more than step_max_uncertainty_pct
// is not taken, and counted: 10 mV of rounding on a 50 mV step reads a
// healthy block 20 % high.
//
// The figure is a resistance seen through the monitor's sampling (it mixes
// in polarisation and the time between the readings): comparable block to
// block and over time, not a meter reading.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "site/BatteryData.h"
#include "verdict/ChargeState.h"
#include "verdict/Reading.h"

namespace verdict {

struct BlockOhms {
    int block = 0;  // 1-based
    long steps = 0;
    std::optional<double> median_mohm;    // none without a step
    // Its standard uncertainty from the readings' resolution: the median
    // of its steps' (a reading's rounding repeats from step to step, so
    // it does not average away).
    std::optional<double> uncertainty_mohm;
    std::optional<double> baseline_mohm;  // none without a baseline
    std::optional<double> rise_pct;
    std::optional<double> rise_uncertainty_pct;  // in points, with rise_pct
    std::string flag;  // "", "investigate" or "act"
};

class BlockResistance {
public:
    // Steps kept for the medians.  A period's figure keeps its first ones
    // and counts the later ones; a running figure keeps the newest, the
    // oldest giving way (and counted), so a run of months follows the
    // string as it is now rather than as it was in its first weeks.
    static constexpr std::size_t kMaxSteps = 4096;
    // The readings' resolution: a block's voltage in 10 mV, the current in
    // 0.1 A.  A current read as a multiple of 0.1 A lies within half of it
    // of the truth, so steps and steadiness are compared with that much
    // room (a step of exactly step_min_a may read 9.999999999999998 A).
    static constexpr double kBlockResolutionV = 0.01;
    static constexpr double kCurrentResolutionA = 0.1;
    enum class Keep { first, newest };

    BlockResistance(const BatteryData& spec, int blocks, Keep keep = Keep::first)
        : spec_(spec), blocks_(blocks), keep_(keep), charge_(spec) {}

    // Rounds in the order of time.
    void Add(const Reading& r);
    std::size_t Steps() const { return steps_.size(); }
    // Steps not used: later ones (Keep::first) or older ones given way
    // (Keep::newest).
    long StepsNotKept() const { return not_kept_; }
    // Steps left out with a side on charge.
    long StepsOnCharge() const { return on_charge_; }
    // Steps left out as too small for the readings' resolution: their
    // typical block's figure uncertain by more than
    // step_max_uncertainty_pct.
    long StepsTooSmall() const { return too_small_; }
    // The standard uncertainty in mΩ of one step's R = ΔV / ΔI: the
    // differences of two readings rounded to kBlockResolutionV and
    // kCurrentResolutionA, each uncertain by its resolution / √6.
    static double StepUncertaintyMohm(double mohm, double di_a);
    // The uncertainty in points of a rise R / R0 - 1 (R0 taken alike, from
    // like steps, where the baseline keeps no uncertainty of its own).
    static double RiseUncertaintyPct(double mohm, double u_mohm, double base_mohm, double u_base_mohm);
    // Why no step was taken when some were left out on charge; "" when a
    // step was taken or none was left out.
    std::string NoStepReason() const;
    // Per block; baseline_mohm holds one value per block (0: none), or none.
    std::vector<BlockOhms> Figures(const std::vector<double>& baseline_mohm = {}) const;

    static std::optional<double> Median(std::vector<double> v);

private:
    void Consider();

    BatteryData spec_;
    int blocks_;
    Keep keep_;
    ChargeState charge_;
    std::deque<std::pair<Reading, Charge>> last_;  // the four latest rounds, with their charge state
    struct Step {
        std::vector<double> mohm, u_mohm;  // per block (NaN: not read)
    };
    std::deque<Step> steps_;
    long not_kept_ = 0;
    long on_charge_ = 0;
    long too_small_ = 0;
};

}  // namespace verdict
