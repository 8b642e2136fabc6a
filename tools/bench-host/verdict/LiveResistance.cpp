#include "verdict/LiveResistance.h"

#include <string>

namespace verdict {

void LiveResistance::Add(const Reading& r) {
    if (!steps_) {
        steps_.emplace(spec_, static_cast<int>(r.blocks.size()), BlockResistance::Keep::newest);
        rise_.assign(r.blocks.size(), std::nullopt);
        flags_.assign(r.blocks.size(), "");
    }
    steps_->Add(r);
    // Once the ring is full a step taken leaves the count as it was: the
    // steps given way tell of it.
    const std::size_t seen = steps_->Steps() + static_cast<std::size_t>(steps_->StepsNotKept());
    if (baseline_mohm_.empty() || seen == figured_) return;
    figured_ = seen;
    const auto figures = steps_->Figures(baseline_mohm_);
    for (std::size_t i = 0; i < figures.size() && i < rise_.size(); ++i) {
        rise_[i] = figures[i].rise_pct;
        flags_[i] = figures[i].flag;
    }
}

JsonLine& LiveResistance::Keys(JsonLine& out, const std::optional<LiveResistance>& r) {
    if (!r || r->baseline_mohm_.empty()) return out.Raw("resistance_rise_pct", "null");
    return out.Raw("resistance_rise_pct", JsonLine::RoundedList(r->rise_, 1));
}

}  // namespace verdict
