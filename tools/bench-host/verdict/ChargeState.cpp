#include "verdict/ChargeState.h"

#include "verdict/FloatCompliance.h"

namespace verdict {

const char* ChargeName(Charge c) {
    switch (c) {
        case Charge::discharge: return "discharge";
        case Charge::recharge: return "recharge";
        case Charge::floating: return "float";
        case Charge::rest: return "rest";
    }
    return "rest";
}

double ChargeState::TrendMvPerMin() const {
    if (trend_.size() < 2) return 0.0;
    const double minutes = static_cast<double>(trend_.back().first - trend_.front().first) / 60000.0;
    if (minutes < 20.0 / 60.0) return 0.0;
    return (trend_.back().second - trend_.front().second) * 1000.0 / minutes;
}

double ChargeState::TrendWith(int64_t ms, double mean_v) const {
    auto front = trend_.begin();
    while (front != trend_.end() && ms - front->first > kTrendMs) ++front;
    if (front == trend_.end()) return 0.0;
    const double minutes = static_cast<double>(ms - front->first) / 60000.0;
    if (minutes < 20.0 / 60.0) return 0.0;
    return (mean_v - front->second) * 1000.0 / minutes;
}

void ChargeState::Push(int64_t ms, double mean_v) {
    trend_.emplace_back(ms, mean_v);
    while (trend_.size() > kTrendRounds || (trend_.size() > 1 && ms - trend_.front().first > kTrendMs))
        trend_.pop_front();
}

void ChargeState::Remember(const Reading& r) {
    // Its rounds stand in for the summary's point of their minute.
    while (!trend_.empty() && trend_.back().first >= r.ms) trend_.pop_back();
    Push(r.ms, r.MeanBlock());
}

Charge ChargeState::Next(const Reading& r) {
    const double mean = r.MeanBlock();
    Push(r.ms, mean);

    const double floor_v = FloatCompliance::Target(spec_, r.temperature) - spec_.float_band_mv / 1000.0;
    const bool at_float = mean >= floor_v;
    Charge now;
    if (r.current <= -spec_.discharge_a)
        now = Charge::discharge;
    else if (r.current > spec_.float_max_a)
        now = Charge::recharge;
    else if (r.current > spec_.rest_a && (TrendMvPerMin() >= spec_.rise_mv_per_min || !at_float))
        now = Charge::recharge;
    else
        now = at_float ? Charge::floating : Charge::rest;
    if (!started_ || now != state_) since_ms_ = r.ms;
    started_ = true;
    state_ = now;
    return now;
}

}  // namespace verdict
