#pragma once
// The string's charge state, round by round, from the current's sign and
// size and the trend of the mean block voltage:
//   discharge  current at or below -discharge_a;
//   recharge   current above float_max_a, or charging (above rest_a) with
//              the mean block rising by rise_mv_per_min or more, or
//              charging below the float band;
//   float      otherwise at the temperature-compensated float level (within
//              its band, or above it);
//   rest       otherwise: no current to speak of, below the float level.
// Float and recharge are told apart by the current's size and the voltage's
// trend, so a string does not stay "charging" for ever once on float.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

#include "site/BatteryData.h"
#include "verdict/ChargeNow.h"
#include "verdict/Reading.h"

namespace verdict {

class ChargeState {
public:
    // The window the voltage's trend is taken over, and the rounds kept for
    // it whatever the tick.
    static constexpr int64_t kTrendMs = 60000;
    static constexpr std::size_t kTrendRounds = 128;

    explicit ChargeState(const BatteryData& spec) : spec_(spec) {}

    // The state of this round; rounds come in the order of time.
    Charge Next(const Reading& r);
    Charge State() const { return state_; }
    // Since when the state holds (the first round in it).
    int64_t SinceMs() const { return since_ms_; }
    // The mean block's trend in mV per minute over the window (0 with less
    // than 20 s of rounds).
    double TrendMvPerMin() const;
    // The trend the window would show with one more reading of this mean
    // block at ms, the window left as it is.
    double TrendWith(int64_t ms, double mean_v) const;
    std::size_t TrendRounds() const { return trend_.size(); }
    // A round the window holds, its state judged elsewhere (its minute was
    // taken from the summary): the rounds read after it then see the
    // trend a run saw.
    void Remember(const Reading& r);

private:
    void Push(int64_t ms, double mean_v);

    BatteryData spec_;
    Charge state_ = Charge::rest;
    bool started_ = false;
    int64_t since_ms_ = 0;
    std::deque<std::pair<int64_t, double>> trend_;  // (ms, mean block V)
};

}  // namespace verdict
