#include "verdict/BlockResistance.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace verdict {

// Selected, not sorted: a run's live figure takes the medians of every
// block over up to kMaxSteps steps each time it takes a step.
std::optional<double> BlockResistance::Median(std::vector<double> v) {
    if (v.empty()) return std::nullopt;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    if (v.size() % 2) return *mid;
    return (*std::max_element(v.begin(), mid) + *mid) / 2.0;
}

void BlockResistance::Add(const Reading& r) {
    const Charge state = charge_.Next(r);
    last_.emplace_back(r, state);
    if (last_.size() > 4) last_.pop_front();
    if (last_.size() == 4) Consider();
}

// The step lies between the second and third of the four latest rounds.
// A round reads its blocks before its current, so the round in which the
// current changed may hold the blocks from before the change: the voltages
// are taken from the round before the step and the round after the step's.
void BlockResistance::Consider() {
    const Reading &p = last_[0].first, &a = last_[1].first, &b = last_[2].first, &c = last_[3].first;
    const double di = b.current - a.current;
    const int64_t max_gap = static_cast<int64_t>(spec_.step_max_gap_s * 1000.0);
    const double room = kCurrentResolutionA / 2;
    if (std::fabs(di) < spec_.step_min_a - room) return;
    if (b.ms - a.ms > max_gap || a.ms - p.ms > max_gap || c.ms - b.ms > max_gap) return;
    if (std::fabs(a.current - p.current) > spec_.step_settle_a + room ||
        std::fabs(c.current - b.current) > spec_.step_settle_a + room)
        return;
    // A current above rest_a is float or recharge by the charge state too.
    auto on_charge = [](const std::pair<Reading, Charge>& x) {
        return x.second == Charge::floating || x.second == Charge::recharge;
    };
    if (on_charge(last_[1]) || on_charge(last_[3])) {
        ++on_charge_;
        return;
    }
    Step step;
    step.mohm.assign(static_cast<std::size_t>(blocks_), std::numeric_limits<double>::quiet_NaN());
    step.u_mohm = step.mohm;
    const double dic = c.current - a.current;
    std::vector<double> read;
    for (int k = 0; k < blocks_; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        if (i < a.blocks.size() && i < c.blocks.size() && a.blocks[i] > 0 && c.blocks[i] > 0) {
            step.mohm[i] = (c.blocks[i] - a.blocks[i]) / dic * 1000.0;
            step.u_mohm[i] = StepUncertaintyMohm(step.mohm[i], dic);
            read.push_back(std::fabs(step.mohm[i]));
        }
    }
    // Judged on the string's typical block: a step too small to resolve
    // it says nothing of any block's rise.
    const auto typical = Median(read);
    if (!typical || *typical <= 0 ||
        StepUncertaintyMohm(*typical, dic) / *typical * 100.0 > spec_.step_max_uncertainty_pct) {
        ++too_small_;
        return;
    }
    if (steps_.size() >= kMaxSteps) {
        ++not_kept_;
        if (keep_ == Keep::first) return;
        steps_.pop_front();
    }
    steps_.push_back(std::move(step));
}

double BlockResistance::StepUncertaintyMohm(double mohm, double di_a) {
    const double u_v = kBlockResolutionV / std::sqrt(6.0), u_a = kCurrentResolutionA / std::sqrt(6.0);
    // R = ΔV / ΔI: ΔV's share and ΔI's share of R, in quadrature.
    return std::hypot(u_v * 1000.0, std::fabs(mohm) * u_a) / std::fabs(di_a);
}

double BlockResistance::RiseUncertaintyPct(double mohm, double u_mohm, double base_mohm, double u_base_mohm) {
    return mohm / base_mohm * std::hypot(u_mohm / mohm, u_base_mohm / base_mohm) * 100.0;
}

std::string BlockResistance::NoStepReason() const {
    if (!steps_.empty() || (on_charge_ == 0 && too_small_ == 0)) return "";
    const auto steps = [](long n) { return std::to_string(n) + (n == 1 ? " step" : " steps"); };
    std::string out;
    if (on_charge_ > 0)
        out = "no load step within a discharge: " + steps(on_charge_) +
              " off float or recharge left out, as the charge's surface voltage falls with the load alike in every "
              "block";
    if (too_small_ > 0) {
        char share[32];
        std::snprintf(share, sizeof share, "%.0f %%", spec_.step_max_uncertainty_pct);
        out += (out.empty() ? "no load step large enough: " : "; ") + steps(too_small_) +
               " left out as too small for the readings' 10 mV and 0.1 A (a block's figure uncertain by more than " +
               share + ")";
    }
    return out;
}

std::vector<BlockOhms> BlockResistance::Figures(const std::vector<double>& baseline_mohm) const {
    std::vector<BlockOhms> out;
    for (int k = 0; k < blocks_; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        BlockOhms f;
        f.block = k + 1;
        std::vector<double> values, uncertainties;
        values.reserve(steps_.size());
        uncertainties.reserve(steps_.size());
        for (const auto& s : steps_)
            if (!std::isnan(s.mohm[i])) {
                values.push_back(s.mohm[i]);
                uncertainties.push_back(s.u_mohm[i]);
            }
        f.steps = static_cast<long>(values.size());
        f.median_mohm = Median(values);
        f.uncertainty_mohm = Median(uncertainties);
        if (i < baseline_mohm.size() && baseline_mohm[i] > 0) f.baseline_mohm = baseline_mohm[i];
        if (f.median_mohm && f.baseline_mohm && *f.median_mohm > 0) {
            f.rise_pct = (*f.median_mohm / *f.baseline_mohm - 1.0) * 100.0;
            // The baseline was taken from steps like these: its share of
            // uncertainty is taken as the same number of mΩ.
            f.rise_uncertainty_pct =
                RiseUncertaintyPct(*f.median_mohm, *f.uncertainty_mohm, *f.baseline_mohm, *f.uncertainty_mohm);
            const double clear = *f.rise_pct - *f.rise_uncertainty_pct;
            f.flag = clear > spec_.rise_act_pct ? "act" : clear > spec_.rise_investigate_pct ? "investigate" : "";
        }
        out.push_back(f);
    }
    return out;
}

}  // namespace verdict
