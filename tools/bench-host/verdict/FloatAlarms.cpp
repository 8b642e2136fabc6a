#include "verdict/FloatAlarms.h"

#include "verdict/FloatCompliance.h"

namespace verdict {

std::string FloatHold::Text() const {
    return resumed ? "float alarms resumed after " + std::to_string(held_ms / 1000) + " s held"
                   : "float alarms held: " + why;
}

std::string FloatAlarms::BlockName(int block) { return "battery_" + std::to_string(block - 1) + "_float"; }

FloatAlarms::Step FloatAlarms::Next(const Reading& r, const ChargeNow& charge) {
    Step step;
    deviation_.clear();
    const bool on_float = charge.state == Charge::floating;
    const double on_float_s = on_float ? static_cast<double>(r.ms - charge.since_ms) / 1000.0 : 0.0;
    if (!on_float || on_float_s < spec_.float_settle_s) {
        if (judged_ && !held_) held_ = step.hold = FloatHold{false, ChargeName(charge.state), r.ms, 0};
        return step;
    }
    if (held_) {
        step.hold = FloatHold{true, "", r.ms, r.ms - held_->at_ms};
        held_.reset();
    }
    judged_ = true;
    // The band around this round's target: the limits move with the
    // temperature, and the evaluator raises and clears against them.
    const double target = FloatCompliance::Target(spec_, r.temperature);
    const AlarmEvaluator::Limits band{static_cast<float>(target - spec_.float_band_mv / 1000.0),
                                      static_cast<float>(target + spec_.float_band_mv / 1000.0)};
    auto judge = [&](const std::string& name, const std::string& label, double v) {
        alarms_.SetLimits(name, band);
        for (auto& c : alarms_.Evaluate(name, label, static_cast<float>(v))) step.changes.push_back(std::move(c));
    };
    deviation_.resize(r.blocks.size());
    for (std::size_t b = 0; b < r.blocks.size(); ++b) {
        if (r.blocks[b] <= 0) continue;
        judge(BlockName(static_cast<int>(b) + 1), "block " + std::to_string(b + 1) + " float", r.blocks[b]);
        deviation_[b] = r.blocks[b] - target;
    }
    if (r.MeanBlock() > 0) judge(kString, "string float (mean block)", r.MeanBlock());
    return step;
}

}  // namespace verdict
