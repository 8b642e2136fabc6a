#include "verdict/FloatDrift.h"

#include "verdict/FloatCompliance.h"

namespace verdict {

void FloatDrift::Add(const std::vector<std::optional<double>>& deviation_v) {
    if (deviation_v.size() > sum_v_.size()) {
        sum_v_.resize(deviation_v.size(), 0.0);
        rounds_.resize(deviation_v.size(), 0);
    }
    for (std::size_t i = 0; i < deviation_v.size(); ++i)
        if (deviation_v[i]) sum_v_[i] += *deviation_v[i], ++rounds_[i];
}

std::vector<std::optional<double>> FloatDrift::Mv() const {
    std::vector<std::optional<double>> out(sum_v_.size());
    for (std::size_t i = 0; i < sum_v_.size(); ++i)
        if (rounds_[i] && i < baseline_v_.size())
            out[i] = Of(spec_, sum_v_[i] / static_cast<double>(rounds_[i]), baseline_v_[i], baseline_c_);
    return out;
}

std::optional<double> FloatDrift::Of(const BatteryData& spec, double mean_deviation_v, std::optional<double> baseline_v,
                                     std::optional<double> baseline_c) {
    if (!baseline_v || !baseline_c) return std::nullopt;
    return (mean_deviation_v - (*baseline_v - FloatCompliance::Target(spec, *baseline_c))) * 1000.0;
}

JsonLine& FloatDrift::Keys(JsonLine& out, const std::optional<FloatDrift>& d) {
    if (!d || d->baseline_v_.empty() || !d->baseline_c_) return out.Raw("float_drift_mv", "null");
    return out.Raw("float_drift_mv", JsonLine::RoundedList(d->Mv(), 1));
}

}  // namespace verdict
