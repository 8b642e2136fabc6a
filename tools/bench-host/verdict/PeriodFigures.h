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

    // capacity_pct: the string's last tested capacity, for time remaining.
    PeriodFigures(const BatteryData& spec, int blocks, const std::vector<double>& baseline_mohm = {},
                  double capacity_pct = 100.0);

    // marked_test: the round belongs to a run the operator marked as a
    // capacity test.  Its discharge is then one test from its first round to
    // its last, kept though its current changed by more than 10 % or was not
    // steady, and though it was shorter than kTestMinMs.
    void Add(const Reading& r, bool marked_test = false);
    // A reading that stands for many (a summarised minute's means): it
    // counts for the charge state and float compliance over `seconds`, not
    // for load steps or tests.
    void AddSummary(const Reading& r, double seconds);
    PeriodResult Finish();

private:
    void State(const Reading& r, double seconds);
    void Keep(std::optional<CapacityResult> test);

    BatteryData spec_;
    int blocks_;
    std::vector<double> baseline_;
    ChargeState charge_;
    BlockResistance resistance_;
    TimeRemaining remaining_;
    DischargeTests tests_;
    std::optional<int64_t> last_ms_;
    PeriodResult out_;
};

}  // namespace verdict
