#pragma once
// A capacity test from one discharge, by the IEEE 450 method (IEEE 1188 is
// alike for valve-regulated blocks): the actual time Ta to the end voltage
// at a steady current, the rated time Ts at that current, the temperature
// correction factor KT at the temperature when the test began, and
//   capacity % = Ta × KT / Ts × 100
// (the table's KT is below 1 where a string gives more than at 25 °C, so a
// warm string's time counts for less; README gives the same).
// Ts is rated_minutes at rated_current_a when the site gives them, scaled
// to the test's current by Peukert's law; else the rated capacity's time at
// that current, capacity_hours × (capacity_ah / (I × capacity_hours))^k.
// The end is the first block at end_v ("block") or the string's mean block
// at end_v ("string").  A discharge that stops before its end gives a lower
// bound and says so.  Its conditions (settled on float before it, a
// steady current, a temperature that held) are judged with it: a result
// whose conditions were not met is given without a decision.  Rounds come one by one; at most kKept of them are
// kept (every other one dropped when full) for the blocks at the test's
// fractions, so a day-long test costs what an hour's does.
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "site/BatteryData.h"
#include "verdict/Reading.h"

namespace verdict {

struct CapacityResult {
    int64_t start_ms = 0, end_ms = 0;
    double current_a = 0;  // mean, as a positive number
    bool steady = false;   // every round within 10 % of the mean current
    double temperature_c = 0;
    double kt = 1.0;
    bool kt_outside_table = false;  // the nearest row was used
    double actual_min = 0, rated_min = 0;
    double capacity_pct = 0;
    bool lower_bound = false;  // stopped before the end voltage
    bool marked = false;       // a run the operator marked as a capacity test
    int first_block = 0;       // 1-based: the first block at end_v, 0 if none
    int64_t first_block_ms = 0;
    double first_block_min = 0;
    struct Snapshot {
        double fraction = 0;
        int64_t ms = 0;
        std::vector<double> blocks;
    };
    std::vector<Snapshot> snapshots;  // at 0, ¼, ½, ¾ and the end
    // IEEE 450's conditions of a test, as far as the readings show them:
    // each one not met, in words.  A result with one is shown, not decided
    // on.
    std::vector<std::string> conditions;
    double temperature_min_c = 0, temperature_max_c = 0;
    double current_min_a = 0, current_max_a = 0;  // as positive numbers
    // Seconds on float before the test since the string last recharged,
    // rested or gave a test; none where the rounds before it were not seen.
    std::optional<double> float_before_s;
    // False for a run marked as a test in which no discharge current was
    // read: no capacity can be had from it (capacity_pct is 0).
    bool current_read = true;
    // "replace" (below replace_pct), "test again within a year" (below
    // retest_pct), "" (at or above it, a lower bound, or a test whose
    // conditions were not met).
    std::string decision;
};

class CapacityTest {
public:
    static constexpr std::size_t kKept = 512;
    // KT moves about 0.7 % per °C near 25 °C: a test whose temperature
    // moved by more than this is not held to the factor at its start
    // within about 2 %.
    static constexpr double kMaxTemperatureChangeC = 3.0;

    CapacityTest(const BatteryData& spec, int blocks) : spec_(spec), blocks_(blocks) {}

    // KT at this temperature: the table's rows in °F, interpolated; outside
    // the table the nearest row, and *outside set.
    static double Kt(double celsius, bool* outside = nullptr);
    // Ts in minutes at this current (a positive number of amperes).
    static double RatedMinutes(const BatteryData& spec, double current_a);
    // Whether a result says what the string holds: it reached its end
    // voltage, a current was read and its conditions were met.
    static bool Holds(const CapacityResult& c) { return !c.lower_bound && c.current_read && c.conditions.empty(); }
    // CapacityResult::decision for a capacity of pct %.
    static std::string Decision(const BatteryData& spec, double pct, bool lower_bound);

    // The discharge's rounds in the order of time; rounds after the end
    // voltage was reached are not needed.
    void Add(const Reading& r);
    // How long the string had been on float, settled or not, before the
    // test began; without it the condition is not judged.
    void FloatBefore(double seconds) { float_before_s_ = seconds; }
    // The conditions not met, as CapacityResult::conditions words them.
    static std::vector<std::string> Conditions(const BatteryData& battery, const CapacityResult& c);
    bool Ended() const { return ended_; }
    // Whether a round at this current belongs to the test: within 10 % of
    // its first round's (any current before the first round).
    bool Fits(double current) const { return rounds_ == 0 || std::fabs(-current - first_amps_) <= 0.1 * first_amps_; }
    // None before two rounds.
    std::optional<CapacityResult> Result() const;

private:
    BatteryData spec_;
    int blocks_;
    std::vector<Reading> kept_;
    long stride_ = 1, seen_ = 0;
    Reading first_, last_;
    double current_sum_ = 0, current_min_ = 0, current_max_ = 0, first_amps_ = 0;
    double temperature_min_ = 0, temperature_max_ = 0;
    std::optional<double> float_before_s_;
    long rounds_ = 0;
    bool ended_ = false;
    int first_block_ = 0;
    int64_t first_block_ms_ = 0;
};

}  // namespace verdict
