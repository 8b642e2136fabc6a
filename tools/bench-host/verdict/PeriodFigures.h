#pragma once
// The string's verdict figures over a period of rounds, fed in the order of
// time: time in each charge state, float compliance while settled on
// float, resistance from load steps, a capacity test from each discharge
// at steady current, time remaining at the end.  Bounded whatever the
// period: a fixed number of tests is kept (the rest counted), each test and
// the resistance steps bounded by their classes.  The tests are told apart
// by DischargeTests, as a run's live figures tell them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "site/BatteryData.h"
#include "verdict/BlockResistance.h"
#include "verdict/CapacityTest.h"
#include "verdict/ChargeState.h"
#include "verdict/DischargeTests.h"
#include "verdict/FloatCompliance.h"
#include "verdict/Reading.h"
#include "verdict/TimeRemaining.h"

namespace verdict {

// A summarised minute as the figures weigh it: the rounds it holds and
// when its first and last were taken (a minute the run began or ended in
// holds less than a minute).
struct MinuteSpan {
    int64_t first_ms = 0, last_ms = 0;
    long rounds = 0;
};

// What a summarised minute's extremes say of its rounds: the lowest
// current and the most the highest can have been (the sum less the others
// at the lowest), and the mean block at its lowest and highest (the means
// of each block's lowest and highest).
struct MinuteBounds {
    double current_min = 0, current_max = 0;
    double block_low_v = 0, block_high_v = 0;
};

struct PeriodResult {
    std::array<double, 4> seconds{};  // in each Charge, by its value
    std::optional<Charge> last_state;
    int64_t last_state_since_ms = 0;
    // Float compliance over the rounds judged (settled on float).
    long float_rounds = 0;
    std::vector<long> out_of_band_rounds;  // per block
    std::vector<double> worst_float_mv;    // per block, furthest from the target, signed
    std::optional<FloatJudgement> last_float;  // the latest judged round
    // Means over the rounds judged on float, for a baseline: per block (none
    // for a block never read), the string's voltage and the temperature.
    std::vector<std::optional<double>> FloatMeans() const;
    std::vector<double> float_sum_v;
    // Per block, its distances from the compensated target summed over the
    // same rounds, for its float drift on a baseline (FloatDrift).
    std::vector<double> float_deviation_sum_v;
    std::vector<std::optional<double>> FloatMeanDeviations() const;
    std::vector<long> float_block_rounds;
    double float_string_sum_v = 0, float_temperature_sum = 0;
    long float_held_rounds = 0;  // rounds on which float alarms are held (not float, or settling)
    std::vector<BlockOhms> resistance;
    std::size_t resistance_steps = 0;
    long resistance_steps_not_kept = 0;
    long resistance_steps_on_charge = 0;  // left out: a side on float or recharge
    long resistance_steps_too_small = 0;  // left out: too small for the readings' resolution
    std::string resistance_note;          // why no step was taken, when some were left out
    std::vector<CapacityResult> tests;  // discharges at steady current, oldest first
    long tests_not_kept = 0;
    Remaining remaining;  // at the last round
};

class PeriodFigures {
public:
    static constexpr std::size_t kMaxTests = 20;
    // A discharge shorter than this is a load step, not a test.
    static constexpr int64_t kTestMinMs = DischargeTests::kTestMinMs;

    // baseline_capacity_pct: the baseline's capacity, for time remaining
    // until a test of the period says more (the rating's 100 % without).
    PeriodFigures(const BatteryData& spec, int blocks, const std::vector<double>& baseline_mohm = {},
                  std::optional<double> baseline_capacity_pct = std::nullopt);

    // marked_test: the round belongs to a run the operator marked as a
    // capacity test.  Its discharge is then one test from its first round to
    // its last, kept though its current changed by more than 10 % or was not
    // steady, and though it was shorter than kTestMinMs.
    void Add(const Reading& r, bool marked_test = false);
    // A reading that stands for many (a summarised minute's means, at its
    // first round): it counts for the charge state over the time from the
    // reading before it to its last round, and for float compliance with
    // its rounds, those past the settling time judged; not for load steps
    // or tests.
    void AddSummary(const Reading& r, const MinuteSpan& span);
    // Whether every round of a summarised minute was in the one charge
    // state its means give, as far as its bounds show: where the current
    // or the voltage may have crossed a state's edge within the minute,
    // its rounds must be read one by one for the times in each state to
    // be the run's.
    bool OneState(const Reading& mean, const MinuteBounds& b) const;
    // A round of a summarised minute just before rounds read one by one:
    // it counts for nothing but the voltage's trend those rounds are
    // judged with, as a run judged them (a recharge's last minute of rise
    // keeps its current's tail a recharge).
    void Prime(const Reading& r) { charge_.Remember(r); }
    PeriodResult Finish();

private:
    // rounds, last_ms: those the reading stands for, and the last one's time.
    void State(const Reading& r, double seconds, long rounds, int64_t last_ms);
    void Keep(std::optional<CapacityResult> test);

    BatteryData spec_;
    std::vector<double> baseline_;
    ChargeState charge_;
    BlockResistance resistance_;
    TimeRemaining remaining_;
    DischargeTests tests_;
    std::optional<int64_t> last_ms_;
    PeriodResult out_;
};

}  // namespace verdict
