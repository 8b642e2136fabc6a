#include "verdict/LiveResistance.h"

#include <cmath>
#include <string>

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

JsonLine& LiveResistance::Keys(JsonLine& out, const std::optional<LiveResistance>& r) {
    if (!r || r->baseline_mohm_.empty()) return out.Raw("resistance_rise_pct", "null");
    std::string list = "[";
    for (const auto& v : r->rise_)
        list += (list.size() > 1 ? "," : "") +
                (v ? JsonLine::FormatDouble(std::round(*v * 10.0) / 10.0) : std::string("null"));
    return out.Raw("resistance_rise_pct", list + "]");
}

}  // namespace verdict
