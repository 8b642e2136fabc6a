#include "verdict/BlockResistance.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace verdict {

std::optional<double> BlockResistance::Median(std::vector<double> v) {
    if (v.empty()) return std::nullopt;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2.0;
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
    if (steps_.size() >= kMaxSteps) {
        ++not_kept_;
        if (keep_ == Keep::first) return;
        steps_.pop_front();
    }
    std::vector<double> mohm(static_cast<std::size_t>(blocks_), std::numeric_limits<double>::quiet_NaN());
    const double dic = c.current - a.current;
    for (int k = 0; k < blocks_; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        if (i < a.blocks.size() && i < c.blocks.size() && a.blocks[i] > 0 && c.blocks[i] > 0)
            mohm[i] = (c.blocks[i] - a.blocks[i]) / dic * 1000.0;
    }
    steps_.push_back(std::move(mohm));
}

std::string BlockResistance::NoStepReason() const {
    if (!steps_.empty() || on_charge_ == 0) return "";
    return "no load step within a discharge: " + std::to_string(on_charge_) +
           (on_charge_ == 1 ? " step" : " steps") +
           " off float or recharge left out, as the charge's surface voltage falls with the load alike in every block";
}

std::vector<BlockOhms> BlockResistance::Figures(const std::vector<double>& baseline_mohm) const {
    std::vector<BlockOhms> out;
    for (int k = 0; k < blocks_; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        BlockOhms f;
        f.block = k + 1;
        std::vector<double> values;
        for (const auto& s : steps_)
            if (!std::isnan(s[i])) values.push_back(s[i]);
        f.steps = static_cast<long>(values.size());
        f.median_mohm = Median(values);
        if (i < baseline_mohm.size() && baseline_mohm[i] > 0) f.baseline_mohm = baseline_mohm[i];
        if (f.median_mohm && f.baseline_mohm) {
            f.rise_pct = (*f.median_mohm / *f.baseline_mohm - 1.0) * 100.0;
            f.flag = *f.rise_pct >= spec_.rise_act_pct           ? "act"
                     : *f.rise_pct >= spec_.rise_investigate_pct ? "investigate"
                                                                 : "";
        }
        out.push_back(f);
    }
    return out;
}

}  // namespace verdict
