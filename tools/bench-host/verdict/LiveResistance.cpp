#include "verdict/LiveResistance.h"

namespace verdict {

void LiveResistance::Add(const Reading& r) {
    if (!steps_) {
        steps_.emplace(spec_, static_cast<int>(r.blocks.size()));
        rise_.assign(r.blocks.size(), std::nullopt);
    }
    steps_->Add(r);
    if (baseline_mohm_.empty() || steps_->Steps() == figured_) return;
    figured_ = steps_->Steps();
    const auto figures = steps_->Figures(baseline_mohm_);
    for (std::size_t i = 0; i < figures.size() && i < rise_.size(); ++i) rise_[i] = figures[i].rise_pct;
}

}  // namespace verdict
