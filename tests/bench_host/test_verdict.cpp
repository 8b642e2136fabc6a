// The figures of the string's verdict over made-up rounds: charge state,
// float compliance with temperature compensation, resistance from load
// steps, the capacity test's time-adjusted result and time remaining.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "verdict/BlockResistance.h"
#include "verdict/CapacityTest.h"
#include "verdict/ChargeState.h"
#include "verdict/Findings.h"
#include "verdict/FloatAlarms.h"
#include "verdict/LiveCapacity.h"
#include "verdict/FloatDrift.h"
#include "verdict/LiveResistance.h"
#include "verdict/FloatCompliance.h"
#include "verdict/LiveCharge.h"
#include "verdict/PeriodFigures.h"
#include "verdict/TimeRemaining.h"

namespace {

using verdict::Charge;
using verdict::Reading;

constexpr int kBlocks = 29;

Reading Round(double t_s, double current, double block_v, double temperature = 25.0) {
    Reading r;
    r.ms = static_cast<int64_t>(t_s * 1000.0);
    r.blocks.assign(kBlocks, block_v);
    r.voltage = block_v * kBlocks;
    r.current = current;
    r.temperature = temperature;
    return r;
}

TEST(ChargeState, FromTheCurrentAndTheVoltagesTrend) {
    struct Case {
        const char* what;
        double current, start_v, rise_mv_per_min, temperature;
        Charge expected;
    } cases[] = {
        {"load taken from the string", -20, 12.4, 0, 25, Charge::discharge},
        {"just at the discharge threshold", -1.0, 13.5, 0, 25, Charge::discharge},
        {"the charger's limited current", 15, 12.9, 0, 25, Charge::recharge},
        {"small current at the float level", 0.4, 13.5, 0, 25, Charge::floating},
        {"a sensor's zero below 0 at the float level", -0.5, 13.5, 0, 25, Charge::floating},
        {"small current, voltage still rising", 0.8, 13.5, 10, 25, Charge::recharge},
        {"small current below the float level", 0.8, 13.0, 0, 25, Charge::recharge},
        {"no current below the float level", 0.0, 12.8, 0, 25, Charge::rest},
        {"at 35 °C the compensated level is float", 0.3, 13.32, 0, 35, Charge::floating},
        {"at 35 °C below its band is rest", 0.1, 13.2, 0, 35, Charge::rest},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        verdict::ChargeState s{BatteryData{}};
        Charge last = Charge::rest;
        for (int t = 0; t <= 60; t += 2)
            last = s.Next(Round(100 + t, c.current, c.start_v + c.rise_mv_per_min / 1000.0 * t / 60.0, c.temperature));
        EXPECT_STREQ(verdict::ChargeName(last), verdict::ChargeName(c.expected));
    }
}

TEST(ChargeState, KeepsItsTrendWindowBoundedAndSaysWhenAStateBegan) {
    verdict::ChargeState s{BatteryData{}};
    for (int t = 0; t < 1000; ++t) s.Next(Round(t * 0.1, 0.3, 13.5));  // ten rounds a second
    EXPECT_EQ(s.TrendRounds(), verdict::ChargeState::kTrendRounds);
    s.Next(Round(200, -30, 12.2));
    EXPECT_EQ(s.State(), Charge::discharge);
    EXPECT_EQ(s.SinceMs(), 200000);
}

TEST(FloatCompliance, TargetFollowsTheTemperatureWithinItsRange) {
    struct Case {
        double temperature, coeff_mv, expected_v;
    } cases[] = {
        {25, -18, 13.5}, {35, -18, 13.32}, {15, -18, 13.68}, {45, -18, 13.23},  // held at 40 °C
        {0, -18, 13.86},                                                          // held at 5 °C
        {35, -30, 13.2},
    };
    for (const auto& c : cases) {
        BatteryData spec;
        spec.temp_coeff_mv = c.coeff_mv;
        EXPECT_NEAR(verdict::FloatCompliance::Target(spec, c.temperature), c.expected_v, 1e-9) << c.temperature;
    }
}

TEST(FloatCompliance, BlocksAgainstTheCompensatedTargetOnlyOnceSettledOnFloat) {
    struct Case {
        const char* what;
        double temperature, others_v, block6_v;
        Charge state;
        double on_float_s;
        const char* held;
        const char* block6_flag;
        int out_of_band;
        const char* string_flag;
    } cases[] = {
        {"at 25 °C all at float", 25, 13.5, 13.52, Charge::floating, 7200, "", "", 0, ""},
        {"at 35 °C one held at the 25 °C voltage", 35, 13.32, 13.5, Charge::floating, 7200, "", "high", 1, ""},
        {"at 35 °C the whole string at the 25 °C voltage", 35, 13.5, 13.5, Charge::floating, 7200, "", "high", 29,
         "high"},
        {"one block low", 25, 13.5, 13.3, Charge::floating, 7200, "", "low", 1, ""},
        {"during a discharge nothing is judged", 35, 12.2, 13.5, Charge::discharge, 7200, "discharge", "", 0, ""},
        {"during a recharge nothing is judged", 25, 13.9, 14.2, Charge::recharge, 7200, "recharge", "", 0, ""},
        {"just back on float", 35, 13.32, 13.5, Charge::floating, 600, "settling", "", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reading r = Round(0, 0.3, c.others_v, c.temperature);
        r.blocks[5] = c.block6_v;
        r.voltage = c.others_v * 28 + c.block6_v;
        const auto j = verdict::FloatCompliance::Judge(BatteryData{}, r, c.state, c.on_float_s);
        EXPECT_EQ(j.held, c.held);
        EXPECT_EQ(j.out_of_band, c.out_of_band);
        EXPECT_EQ(j.string_flag, c.string_flag);
        if (j.held.empty()) {
            ASSERT_EQ(j.blocks.size(), 29u);
            EXPECT_EQ(j.blocks[5].flag, c.block6_flag);
            EXPECT_NEAR(j.blocks[5].deviation_mv, (c.block6_v - j.target_v) * 1000, 0.1);
        } else {
            EXPECT_TRUE(j.blocks.empty());
        }
    }
}

// Rounds 2 s apart whose currents follow `amps`; each block's voltage is
// 13.0 V less its resistance times the current, read in 10 mV steps, plus
// `surface_v` while the current charges it (from 0 up).
// cells_lag: each round's blocks read at the previous round's current, as
// when the load changes between a round's cell and current readings.
std::vector<Reading> Steps(const std::vector<double>& amps, const std::vector<double>& mohm, double gap_s = 2,
                           bool cells_lag = false, double surface_v = 0) {
    std::vector<Reading> out;
    for (std::size_t i = 0; i < amps.size(); ++i) {
        Reading r = Round(static_cast<double>(i) * gap_s, amps[i], 0);
        const double cell_amps = cells_lag && i > 0 ? amps[i - 1] : amps[i];
        const double open_v = 13.0 + (cell_amps >= 0 ? surface_v : 0.0);
        for (int b = 0; b < kBlocks; ++b) r.blocks[b] = std::round((open_v + cell_amps * mohm[b] / 1000.0) * 100) / 100;
        out.push_back(r);
    }
    return out;
}

TEST(BlockResistance, StepsCountOnlyWhenLargeSteadyAndClose) {
    const std::vector<double> flat(kBlocks, 5.0);
    struct Case {
        const char* what;
        std::vector<double> amps;
        double gap_s;
        std::size_t steps;
        bool cells_lag;
        long on_charge = 0;
        double surface_v = 0;
    } cases[] = {
        {"one step down and one up", {0, 0, -20, -20, -20, 0, 0}, 2, 2, false},
        {"too small a step", {0, 0, -8, -8, 0, 0}, 2, 0, false},
        {"a ramp: every round mid-step", {0, -10, -20, -30, -40, -50}, 2, 0, false},
        {"still moving after the step", {0, 0, -20, -25, -25}, 2, 0, false},
        {"rounds too far apart", {0, 0, -20, -20, -20}, 30, 0, false},
        {"a charger's step is left out", {0, 0, 15, 15}, 2, 0, false, 1},
        {"the step's round read its blocks before the change", {0, 0, -20, -20, -20, 0, 0}, 2, 2, true},
        {"from float, the surface voltage collapsing, is left out", {0.1, 0.1, -20, -20, -20}, 2, 0, false, 1, 0.5},
        {"from float at more than rest current", {0.5, 0.5, -20, -20, -20}, 2, 0, false, 1, 0.5},
        {"within a discharge is taken", {-10, -10, -30, -30, -30}, 2, 1, false},
        {"a step of step_min_a whose difference is 9.999999999999998 A", {-6.4, -6.4, -16.4, -16.4, -16.4}, 2, 1, false},
        {"a step a resolution short of step_min_a", {-6.4, -6.4, -16.3, -16.3, -16.3}, 2, 0, false},
        {"from a discharge into the charger's recharge is left out", {-20, -20, 15, 15}, 2, 0, false, 1, 0.2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        verdict::BlockResistance br(BatteryData{}, kBlocks);
        for (const auto& r : Steps(c.amps, flat, c.gap_s, c.cells_lag, c.surface_v)) br.Add(r);
        EXPECT_EQ(br.Steps(), c.steps);
        EXPECT_EQ(br.StepsOnCharge(), c.on_charge);
        EXPECT_EQ(br.NoStepReason().empty(), c.steps > 0 || c.on_charge == 0) << br.NoStepReason();
        if (c.steps) {
            EXPECT_NEAR(*br.Figures()[0].median_mohm, 5.0, 0.5);  // a 10 mV reading of 75 mV: 5.3
        }
    }
}

TEST(BlockResistance, MedianRiseOnTheBaselineFlagsOnlyTheRisenBlock) {
    std::vector<double> mohm(kBlocks, 5.0);
    mohm[10] = 8.0;  // block 11 at 1.6 times its baseline
    mohm[3] = 6.5;   // block 4 at +30 %
    std::vector<double> amps;
    for (int k = 0; k < 10; ++k) amps.insert(amps.end(), {0, 0, -20, -20, -20});
    verdict::BlockResistance br(BatteryData{}, kBlocks);
    for (const auto& r : Steps(amps, mohm)) br.Add(r);
    const auto figures = br.Figures(std::vector<double>(kBlocks, 5.0));
    ASSERT_EQ(figures.size(), 29u);
    for (const auto& f : figures) {
        SCOPED_TRACE(f.block);
        ASSERT_TRUE(f.median_mohm && f.rise_pct);
        EXPECT_EQ(f.steps, 19);
        const char* flag = f.block == 11 ? "act" : f.block == 4 ? "investigate" : "";
        EXPECT_EQ(f.flag, flag);
        EXPECT_NEAR(*f.median_mohm, mohm[f.block - 1], 0.3);
    }
    EXPECT_NEAR(*figures[10].rise_pct, 60.0, 10.0);
    EXPECT_FALSE(br.Figures()[0].rise_pct);  // without a baseline, no rise
    // Live, round by round: the same rises; none before a step, none where
    // the baseline has no value (block 2), none at all without a baseline.
    std::vector<double> baseline(kBlocks, 5.0);
    baseline[1] = 0;
    verdict::LiveResistance live(BatteryData{}, baseline), without(BatteryData{}, {});
    const auto rounds = Steps(amps, mohm);
    for (std::size_t i = 0; i < rounds.size(); ++i) {
        live.Add(rounds[i]);
        without.Add(rounds[i]);
        if (i == 0) {
            EXPECT_EQ(live.Rise(), std::vector<std::optional<double>>(kBlocks));
        }
    }
    ASSERT_EQ(live.Rise().size(), 29u);
    EXPECT_NEAR(*live.Rise()[10], *figures[10].rise_pct, 1e-9);
    EXPECT_FALSE(live.Rise()[1]);
    EXPECT_EQ(without.Rise(), std::vector<std::optional<double>>(kBlocks));
    JsonLine keys, none;
    verdict::LiveResistance::Keys(keys, live);
    EXPECT_NE(keys.Text().find(R"({"resistance_rise_pct":[)"), std::string::npos) << keys.Text();
    EXPECT_NE(keys.Text().find(",null,"), std::string::npos) << keys.Text();  // block 2
    EXPECT_EQ(verdict::LiveResistance::Keys(none, without).Text(), R"({"resistance_rise_pct":null})");
    EXPECT_EQ(verdict::BlockResistance::Median({3, 1, 2}), 2.0);
    EXPECT_EQ(verdict::BlockResistance::Median({4, 1, 2, 3}), 2.5);
    EXPECT_EQ(verdict::BlockResistance::Median({6, 1, 5, 2, 4, 3}), 3.5);
    EXPECT_EQ(verdict::BlockResistance::Median({2, 3, 1, 2}), 2.0);
    EXPECT_EQ(verdict::BlockResistance::Median({7}), 7.0);
    EXPECT_FALSE(verdict::BlockResistance::Median({}));
}

// Load steps within a discharge read as the monitor reads them: each
// block `open_v` less its resistance times the current plus up to ±2 mV of
// noise, rounded to 10 mV; the current to 0.1 A after up to ±0.05 A of
// noise; twenty steps from 5 A to 5 A + ΔI and back, a round every 2 s.
// The noise is drawn from seed, so every run of a case sees the same.
std::vector<Reading> NoisySteps(double di_a, const std::vector<double>& mohm, double open_v, uint32_t seed) {
    std::mt19937 draw(seed);
    const auto noise = [&](double half) { return (static_cast<double>(draw()) / 4294967295.0 * 2 - 1) * half; };
    std::vector<Reading> out;
    double t = 0;
    for (int k = 0; k < 20; ++k)
        for (const double amps : {-5.0, -5.0, -5.0 - di_a, -5.0 - di_a, -5.0 - di_a}) {
            Reading r = Round(t, std::round((amps + noise(0.05)) * 10) / 10, 0);
            for (int b = 0; b < kBlocks; ++b)
                r.blocks[b] = std::round((open_v + amps * mohm[b] / 1000.0 + noise(0.002)) * 100) / 100;
            out.push_back(r);
            t += 2;
        }
    return out;
}

// Blocks of 5.4 mΩ whose baseline was read at 13.000 V open and whose
// period at 13.004 V: the same 54 mV of a 10 A step reads 50 mV then and
// 60 mV now, +20 % on a healthy block.  A healthy string flags no block
// however its 10 mV readings fall, and a risen block is flagged once the
// step resolves it: each block's figure carries its uncertainty from the
// readings' resolution over ΔI, and a rise is flagged only past its line
// by more than that.
TEST(BlockResistance, ARiseIsFlaggedOnlyPastItsLineByMoreThanItsUncertainty) {
    struct Case {
        const char* what;
        double di_a, block11_factor;
        uint32_t seed;
        const char* block11_flag;
        double healthy_rise_pct;  // the most a healthy block reads
    } cases[] = {
        {"healthy, 10 A steps, run 1", 10, 1.0, 1, "", 20},
        {"healthy, 10 A steps, run 2", 10, 1.0, 2, "", 20},
        {"healthy, 10 A steps, run 3", 10, 1.0, 3, "", 20},
        {"healthy, 20 A steps", 20, 1.0, 4, "", 10},
        {"1.3 times, 20 A steps", 20, 1.3, 5, "investigate", 10},
        {"1.3 times, 30 A steps", 30, 1.3, 6, "investigate", 10},
        // Read +55 % ±7 on 20 A steps: past the investigate line by more
        // than that, not past the act line.
        {"1.6 times, 20 A steps", 20, 1.6, 7, "investigate", 10},
        {"1.6 times, 30 A steps", 30, 1.6, 8, "act", 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<double> healthy(kBlocks, 5.4), now = healthy;
        now[10] *= c.block11_factor;
        verdict::BlockResistance base(BatteryData{}, kBlocks), period(BatteryData{}, kBlocks);
        for (const auto& r : NoisySteps(c.di_a, healthy, 13.000, c.seed + 100)) base.Add(r);
        std::vector<double> baseline;
        for (const auto& f : base.Figures()) baseline.push_back(*f.median_mohm);
        for (const auto& r : NoisySteps(c.di_a, now, 13.004, c.seed)) period.Add(r);
        EXPECT_EQ(period.Steps(), 39u);
        EXPECT_EQ(period.StepsTooSmall(), 0);
        for (const auto& f : period.Figures(baseline)) {
            SCOPED_TRACE(f.block);
            ASSERT_TRUE(f.rise_pct && f.rise_uncertainty_pct && f.uncertainty_mohm);
            EXPECT_EQ(f.flag, f.block == 11 ? c.block11_flag : "") << *f.rise_pct << " ±" << *f.rise_uncertainty_pct;
            // Where the readings alone lift a healthy block to +20 %,
            // the rise is there, and it is its uncertainty that holds
            // the flag back.
            if (f.block != 11) {
                EXPECT_LE(std::fabs(*f.rise_pct), c.healthy_rise_pct + 1e-6);
            }
            if (f.block != 11 && c.di_a == 10) {
                EXPECT_NEAR(*f.rise_pct, 20.0, 1e-6);
            }
            EXPECT_NEAR(*f.uncertainty_mohm,
                        verdict::BlockResistance::StepUncertaintyMohm(*f.median_mohm, c.di_a), 0.01 * 5.0);
        }
    }
}

// What a step can resolve: its uncertainty from 10 mV and 0.1 A readings
// (each difference uncertain by its resolution / √6), and the rise's on a
// baseline taken alike.  On 5 mΩ blocks a 10 A step leaves a 20 % rise
// ±13 points, 13 A ±10; on blocks of 2 mΩ a 10 A step is not taken at all
// (±20 % of a block's figure, past the 10 % share).
TEST(BlockResistance, WhatAStepResolves) {
    struct Case {
        double mohm, di_a;
        double step_u_mohm, rise20_u_pct;
    } cases[] = {
        {5.0, 10, 0.409, 12.8},
        {5.0, 13, 0.314, 9.8},
        {5.0, 20, 0.204, 6.4},
        {2.0, 10, 0.408, 31.9},
        {20.0, 20, 0.208, 1.6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.mohm) + " mΩ, " + std::to_string(c.di_a) + " A");
        const double u = verdict::BlockResistance::StepUncertaintyMohm(c.mohm, c.di_a);
        EXPECT_NEAR(u, c.step_u_mohm, 0.001);
        const double risen = 1.2 * c.mohm;
        const double u_risen = verdict::BlockResistance::StepUncertaintyMohm(risen, c.di_a);
        EXPECT_NEAR(verdict::BlockResistance::RiseUncertaintyPct(risen, u_risen, c.mohm, u_risen), c.rise20_u_pct, 0.05);
        EXPECT_EQ(verdict::BlockResistance::StepUncertaintyMohm(c.mohm, -c.di_a), u) << "either way";
    }
    // A step the readings cannot resolve is not taken, and said.
    verdict::BlockResistance br(BatteryData{}, kBlocks);
    for (const auto& r : Steps({-5, -5, -15, -15, -15}, std::vector<double>(kBlocks, 2.0))) br.Add(r);
    EXPECT_EQ(br.Steps(), 0u);
    EXPECT_EQ(br.StepsTooSmall(), 1);
    EXPECT_NE(br.NoStepReason().find("1 step left out as too small for the readings' 10 mV and 0.1 A"),
              std::string::npos)
        << br.NoStepReason();
}

TEST(BlockResistance, KeepsAtMostItsBoundOfSteps) {
    // Past the bound block 1's resistance doubles: a period keeps its first
    // steps, a run's live figure its newest.
    using Keep = verdict::BlockResistance::Keep;
    const std::size_t past = verdict::BlockResistance::kMaxSteps * 3 / 2 + 10;
    struct Case {
        const char* what;
        Keep keep;
        double median_mohm;
    } cases[] = {
        {"a period keeps its first steps", Keep::first, 5.0},
        {"a run keeps its newest steps", Keep::newest, 10.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        verdict::BlockResistance br(BatteryData{}, 1, c.keep);
        verdict::LiveResistance live(BatteryData{}, {5.0});
        double t = 0;
        auto add = [&](double amps, double mohm) {
            Reading r;
            r.ms = static_cast<int64_t>(t * 1000);
            t += 1;
            r.blocks = {13.0 + amps * mohm / 1000.0};
            r.current = amps;
            br.Add(r);
            if (c.keep == Keep::newest) live.Add(r);
        };
        for (std::size_t k = 0; k < past; ++k)
            for (double a : {0.0, 0.0, -20.0, -20.0}) add(a, k < verdict::BlockResistance::kMaxSteps ? 5.0 : 10.0);
        EXPECT_EQ(br.Steps(), verdict::BlockResistance::kMaxSteps);
        // Two steps a cycle, down and back up, but for the last cycle's.
        EXPECT_EQ(br.StepsNotKept(), static_cast<long>(2 * past - 1 - verdict::BlockResistance::kMaxSteps));
        EXPECT_NEAR(*br.Figures()[0].median_mohm, c.median_mohm, 1e-6);
        if (c.keep == Keep::newest) {
            ASSERT_TRUE(live.Rise().at(0));
            EXPECT_NEAR(*live.Rise()[0], 100.0, 1e-6);
            EXPECT_EQ(live.Flags().at(0), "act");
        }
    }
}

// Each block's float drift on its baseline, both sides against the float
// voltage compensated for their own temperature (-18 mV/°C by default).
TEST(FloatDrift, AgainstTheBaselineBothCompensatedForTemperature) {
    struct Case {
        const char* what;
        std::optional<double> baseline_v, baseline_c;
        double now_v, now_c;
        std::optional<double> drift_mv;
    } cases[] = {
        {"alike temperatures: the plain difference", 13.50, 25.0, 13.562, 25.0, 62.0},
        {"floating lower at the same temperature", 13.50, 24.0, 13.45, 24.0, -50.0},
        {"the charger followed the warmth: no drift", 13.50, 25.0, 13.32, 35.0, 0.0},
        {"a block held at the 25 °C voltage at 35 °C", 13.50, 25.0, 13.50, 35.0, 180.0},
        {"beyond the compensated range the target is held", 13.50, 25.0, 13.23, 45.0, 0.0},
        {"the baseline had no value for the block", std::nullopt, 25.0, 13.5, 25.0, std::nullopt},
        {"the baseline had no temperature", 13.50, std::nullopt, 13.5, 25.0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const BatteryData spec;
        verdict::FloatDrift drift(spec, {std::nullopt, c.baseline_v}, c.baseline_c);
        EXPECT_TRUE(drift.Mv().empty()) << "before a judged round";
        drift.Add({});  // a round not judged on float
        // Two rounds judged, block 2 a mV either side of now_v; block 1 not read.
        for (const double off : {-0.001, 0.001})
            drift.Add({std::nullopt, c.now_v + off - verdict::FloatCompliance::Target(spec, c.now_c)});
        const auto mv = drift.Mv();
        ASSERT_EQ(mv.size(), 2u);
        EXPECT_FALSE(mv[0]);
        ASSERT_EQ(mv[1].has_value(), c.drift_mv.has_value());
        if (c.drift_mv) {
            EXPECT_NEAR(*mv[1], *c.drift_mv, 1e-6);
        }
        JsonLine keys;
        EXPECT_EQ(verdict::FloatDrift::Keys(keys, drift).Text(),
                  !c.baseline_c  ? R"({"float_drift_mv":null})"
                  : c.drift_mv ? R"({"float_drift_mv":[null,)" + JsonLine::FormatDouble(*c.drift_mv) + "]}"
                               : std::string(R"({"float_drift_mv":[null,null]})"));
    }
    JsonLine none;
    EXPECT_EQ(verdict::FloatDrift::Keys(none, std::nullopt).Text(), R"({"float_drift_mv":null})");
}

TEST(CapacityTest, TemperatureCorrectionFactorFromTheTable) {
    struct Case {
        double celsius, kt;
        bool outside;
    } cases[] = {
        {25, 1.000, false}, {35, 0.930, false}, {(60 - 32) / 1.8, 1.110, false}, {(70 - 32) / 1.8, 1.040, false},
        {30, 0.956, false},  // 86 °F, a fifth of the way from 85 to 90
        {10, 1.110, true},  {40, 0.910, true},
    };
    for (const auto& c : cases) {
        bool outside = !c.outside;
        EXPECT_NEAR(verdict::CapacityTest::Kt(c.celsius, &outside), c.kt, 1e-9) << c.celsius;
        EXPECT_EQ(outside, c.outside) << c.celsius;
    }
}

TEST(CapacityTest, RatedTimeAtTheTestCurrent) {
    BatteryData rated;
    rated.rated_minutes = 180;
    rated.rated_current_a = 25.5;
    struct Case {
        BatteryData spec;
        double amps, minutes;
    } cases[] = {
        {BatteryData{}, 10, 600},          // 100 Ah over 10 h
        {BatteryData{}, 20, 275.865},      // Peukert's 1.121
        {rated, 25.5, 180},
        {rated, 30, 150.021},
    };
    for (const auto& c : cases) EXPECT_NEAR(verdict::CapacityTest::RatedMinutes(c.spec, c.amps), c.minutes, 0.01);
}

// A discharge at 10 A (600 rated minutes), one round a minute; every block
// falls slowly and drops to 10.4 V at its own time; block 6 at `weak_min`.
verdict::CapacityResult DischargeTest(double weak_min, double others_min, double stop_min, double temperature,
                             const char* end_on = "block") {
    BatteryData spec;
    spec.end_on = end_on;
    verdict::CapacityTest test(spec, kBlocks);
    for (int m = 0; m <= stop_min; ++m) {
        Reading r = Round(m * 60.0, -10, 0, temperature);
        for (int b = 0; b < kBlocks; ++b) {
            const double end = b == 5 ? weak_min : others_min;
            r.blocks[b] = m < end ? 12.6 - 1.0 * m / end : 10.4;
        }
        test.Add(r);
        if (test.Ended()) break;
    }
    return *test.Result();
}

TEST(CapacityTest, TimeAdjustedCapacityAndItsDecision) {
    struct Case {
        const char* what;
        double weak_min, others_min, stop_min, temperature;
        const char* end_on;
        double pct;
        bool lower_bound;
        int first_block;
        const char* decision;
    } cases[] = {
        {"block 6 at 80 %", 480, 620, 700, 25, "block", 80, false, 6, "test again within a year"},
        {"block 6 at 78 %", 468, 620, 700, 25, "block", 78, false, 6, "replace"},
        {"block 6 at 85 %", 510, 620, 700, 25, "block", 85, false, 6, "test again within a year"},
        {"all at full capacity", 600, 600, 700, 25, "block", 100, false, 1, ""},
        {"at 35 °C a warm string's time counts 0.93", 510, 620, 700, 35, "block", 510 * 0.93 / 600 * 100, false, 6,
         "replace"},
        {"at 60 °F a cold string's time counts 1.11", 480, 620, 700, (60 - 32) / 1.8, "block", 480 * 1.11 / 600 * 100,
         false, 6, "test again within a year"},
        {"stopped early: a lower bound", 480, 620, 300, 25, "block", 50, true, 0, ""},
        {"the string's end outlasts block 6", 480, 620, 700, 25, "string", 620.0 / 6, false, 6, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = DischargeTest(c.weak_min, c.others_min, c.stop_min, c.temperature, c.end_on);
        EXPECT_NEAR(r.capacity_pct, c.pct, 0.01);
        EXPECT_EQ(r.lower_bound, c.lower_bound);
        EXPECT_EQ(r.first_block, c.first_block);
        EXPECT_EQ(r.decision, c.decision);
        EXPECT_TRUE(r.steady);
        EXPECT_NEAR(r.current_a, 10, 1e-9);
        ASSERT_EQ(r.snapshots.size(), 5u);
        EXPECT_EQ(r.snapshots.back().ms, r.end_ms);
        EXPECT_NEAR(static_cast<double>(r.snapshots[2].ms - r.start_ms), (r.end_ms - r.start_ms) / 2.0, 60000.0);
    }
}

TEST(CapacityTest, KeepsABoundedShareOfALongTest) {
    verdict::CapacityTest test(BatteryData{}, kBlocks);
    for (int s = 0; s < 36000; ++s) test.Add(Round(s, -10, 12.0));  // ten hours, a round a second
    const auto r = *test.Result();
    EXPECT_TRUE(r.lower_bound);
    EXPECT_NEAR(r.snapshots[1].ms, 9000 * 1000, 100 * 1000);  // a quarter in, from what was kept
}

TEST(TimeRemaining, PeukertOrTheWeakestBlockWhicheverIsSooner) {
    struct Case {
        const char* what;
        double capacity_pct, amps, elapsed_min, weak_v_per_min;
        double minutes;
        const char* method;
        double others_v_per_min;
        double temperature = 25;
    } cases[] = {
        {"a quarter through at the 10 h rate", 100, 10, 150, 0, 450, "peukert", 0},
        {"at the start", 100, 10, 0, 0, 600, "peukert", 0},
        // A test's capacity is its share of the rated time at its current.
        {"a string tested at 80 %", 80, 10, 0, 0, 480, "peukert", 0},
        // KT at the string's temperature: 1.0836 at 18 °C, 0.93 at 35 °C.
        {"a full string at 18 °C", 100, 10, 0, 0, 600 / 1.0836, "peukert", 0, 18},
        {"a full string at 35 °C", 100, 10, 0, 0, 600 / 0.93, "peukert", 0, 35},
        {"tested at 85 %, 100 minutes into a discharge at 18 °C", 85, 10, 100, 0, 510 / 1.0836 - 100, "peukert", 0,
         18},
        {"twice the rated current at 35 °C, tested at 85 %", 85, 20, 0, 0, 0.85 * 275.865 / 0.93, "peukert", 0, 35},
        {"the weakest block falling 10 mV a minute, 1 V above its end", 100, 10, 150, 0.01, 100, "weakest block", 0},
        // Its slope alone gives 400 minutes; (0.8 - 0.25) x 600 by its share.
        {"block 7 falling a quarter faster than the others: 80 % of their charge", 100, 10, 150, 0.0025, 330,
         "weakest block", 0.002},
        {"every block falling alike", 100, 10, 150, 0.002, 450, "peukert", 0.002},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        verdict::TimeRemaining tr(BatteryData{}, c.capacity_pct);
        // The live figures, from the rounds' records as the run completes them.
        verdict::LiveCharge live{BatteryData{}};
        for (int s = 0; s <= c.elapsed_min * 60; s += 10) {
            Reading r = Round(s, -c.amps, 12.2 + c.others_v_per_min * (c.elapsed_min - s / 60.0), c.temperature);
            r.blocks[6] = 11.5 + c.weak_v_per_min * (c.elapsed_min - s / 60.0);
            tr.Add(r);
            BatteryRecord rec;
            for (int b = 0; b < kBlocks; ++b) rec.cells[static_cast<std::size_t>(b)] = static_cast<float>(r.blocks[static_cast<std::size_t>(b)]);
            rec.group_current = static_cast<float>(r.current);
            rec.temperature = static_cast<float>(c.temperature);
            // A string of the rating's 100 % is one no test has told of.
            live.Capacity(c.capacity_pct == 100 ? std::nullopt : std::optional<double>(c.capacity_pct), "test");
            live.Add(verdict::LiveCharge::ReadingOf(rec, kBlocks, r.ms));
        }
        EXPECT_NEAR(live.Last()->remaining.minutes, c.minutes, 0.5);
        EXPECT_DOUBLE_EQ(live.Last()->remaining.capacity_pct, c.capacity_pct);
        // The figure, the method that gave it and what it stands on.
        JsonLine keys;
        verdict::LiveCharge::Keys(keys, live.Last());
        EXPECT_EQ(keys.Text(), R"({"charge_state":"discharge","time_remaining_s":)" +
                                   JsonLine::FormatDouble(std::round(tr.Now().minutes * 60.0)) +
                                   R"(,"time_remaining_method":")" + c.method +
                                   R"(","time_remaining_basis":{"capacity_pct":)" +
                                   JsonLine::Rounded(c.capacity_pct, 1) + R"(,"capacity_from":")" +
                                   (c.capacity_pct == 100 ? "rating" : "test") + R"(","kt":)" +
                                   JsonLine::Rounded(verdict::CapacityTest::Kt(c.temperature), 3) + "}}");
        live.Add(Round(c.elapsed_min * 60 + 10, 0.0, 12.2));  // the load taken off
        JsonLine after;
        EXPECT_EQ(verdict::LiveCharge::Keys(after, live.Last()).Text(),
                  R"({"charge_state":"rest","time_remaining_s":null,"time_remaining_method":null,)"
                  R"("time_remaining_basis":null})");
        const auto e = tr.Now();
        EXPECT_TRUE(e.discharging);
        EXPECT_NEAR(e.minutes, c.minutes, 0.5);
        EXPECT_EQ(e.method, c.method);
        EXPECT_EQ(e.weakest_block, 7);
        tr.Add(Round(c.elapsed_min * 60 + 10, 0.5, 13.5));
        EXPECT_FALSE(tr.Now().discharging);
    }
}


// A run's float alarms over rounds a minute apart: each stretch is so many
// minutes at a current, every block at `others_v` but block 6 at `block6_v`.
struct Stretch {
    int minutes;
    double current, others_v, block6_v, temperature;
};

std::vector<std::string> FloatAlarmsOver(const std::vector<Stretch>& stretches) {
    verdict::LiveCharge live{BatteryData{}};
    verdict::FloatAlarms alarms{BatteryData{}};
    std::vector<std::string> out;
    int minute = 0;
    for (const auto& s : stretches)
        for (int m = 0; m < s.minutes; ++m, ++minute) {
            Reading r = Round(minute * 60.0, s.current, s.others_v, s.temperature);
            r.blocks[5] = s.block6_v;
            const auto step = alarms.Next(r, live.Add(r));
            const std::string at = std::to_string(minute) + " ";
            if (step.hold) out.push_back(at + step.hold->Text());
            for (const auto& c : step.changes) out.push_back(at + (c.raised ? "+" : "-") + c.name + " " + c.bound);
        }
    return out;
}

TEST(FloatAlarms, RaisedOnceSettledOnFloatAndHeldOffIt) {
    const Stretch float35_block6_at_25c{90, 0.3, 13.32, 13.5, 35};
    struct Case {
        const char* what;
        std::vector<Stretch> stretches;
        std::vector<std::string> events;
    } cases[] = {
        {"on float at 35 °C a block held at the 25 °C voltage is flagged high once settled",
         {float35_block6_at_25c}, {"60 +battery_5_float high"}},
        {"during a discharge none is raised", {{120, -20, 12.2, 13.5, 35}}, {}},
        {"one block low, back in band", {{70, 0.3, 13.5, 13.4, 25}, {5, 0.3, 13.5, 13.5, 25}},
         {"60 +battery_5_float low", "70 -battery_5_float low"}},
        // Held, not cleared, when a discharge starts: the discharge says
        // nothing of block 6's float voltage.  Back on float (after the
        // recharge and the settle time) block 6 is judged afresh.
        {"a raised alarm is held through a discharge and its recharge",
         {{70, 0.3, 13.32, 13.5, 35}, {30, -20, 12.2, 12.1, 35}, {20, 10, 13.6, 13.6, 35}, {70, 0.3, 13.32, 13.32, 35}},
         {"60 +battery_5_float high", "70 float alarms held: discharge", "180 float alarms resumed after 6600 s held",
          "180 -battery_5_float high"}},
        {"still out of band back on float: no new raise", {{70, 0.3, 13.32, 13.5, 35}, {10, -20, 12.2, 12.1, 35},
                                                          {70, 0.3, 13.32, 13.5, 35}},
         {"60 +battery_5_float high", "70 float alarms held: discharge", "141 float alarms resumed after 4260 s held"}},
        {"a short spell off float before the first judgement is no hold",
         {{30, 0.3, 13.5, 13.5, 25}, {5, 0.0, 12.8, 12.8, 25}, {70, 0.3, 13.5, 13.35, 25}},
         {"96 +battery_5_float low"}},  // the jump back to float reads as a minute's recharge
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FloatAlarmsOver(c.stretches), c.events);
    }
}

TEST(FloatAlarms, TheStringsMeanBlockAndTheCompensatedBand) {
    verdict::LiveCharge live{BatteryData{}};
    verdict::FloatAlarms alarms{BatteryData{}};
    std::vector<AlarmEvaluator::Change> changes;
    for (int m = 0; m <= 60; ++m) {
        const Reading r = Round(m * 60.0, 0.3, 13.5, 35);  // the whole string at the 25 °C voltage
        changes = alarms.Next(r, live.Add(r)).changes;
    }
    ASSERT_EQ(changes.size(), 30u);
    EXPECT_EQ(changes.back().name, "string_float");
    EXPECT_NEAR(changes[5].limit, 13.38, 1e-5);  // 13.32 V at 35 °C, +60 mV
    EXPECT_NEAR(changes[5].value, 13.5, 1e-5);
    EXPECT_EQ(changes[5].label, "block 6 float");
    EXPECT_EQ(changes[5].name, "battery_5_float");  // as the plug-in names block 6: battery_5_value
    EXPECT_EQ(alarms.Standing().size(), 30u);
    EXPECT_FALSE(alarms.Held());
    ASSERT_EQ(alarms.Deviation().size(), 29u);
    EXPECT_NEAR(*alarms.Deviation()[5], 0.18, 1e-5);  // 13.5 V on a 13.32 V target
    const Reading off = Round(61 * 60.0, -20, 12.2, 35);
    alarms.Next(off, live.Add(off));
    EXPECT_TRUE(alarms.Deviation().empty());  // off float: no deviation is shown
}

}  // namespace

namespace {

// A period of rounds 10 s apart: hours on float at `temperature` (block 6
// held at `block6_float_v` when above 0), six times a load taken off float
// at `step_from_a` and stepped to 30 A (block 11 at `block11_mohm`), then, with test_min above 0, a test discharge at
// 10 A in which block 6 ends at `weak_min` minutes (the others would at
// 700), then an hour's recharge at the charger's limit.
struct Period {
    double float_h = 2, temperature = 25, block6_float_v = 0;
    double test_min = 0, weak_min = 0;
    double block11_mohm = 5;
    double step_from_a = -10;  // 0.3: every step is off float
};

verdict::PeriodResult Feed(const Period& p, const std::vector<double>& baseline = {}) {
    verdict::PeriodFigures f(BatteryData{}, kBlocks, baseline);
    const double target = verdict::FloatCompliance::Target(BatteryData{}, p.temperature);
    double t = 0;
    auto add = [&](double amps, auto volts) {
        Reading r = Round(t, amps, 0, p.temperature);
        for (int b = 0; b < kBlocks; ++b) r.blocks[b] = volts(b);
        r.voltage = 0;
        for (const double v : r.blocks) r.voltage += v;
        f.Add(r);
        t += 10;
    };
    for (double s = 0; s < p.float_h * 3600; s += 10)
        add(0.3, [&](int b) { return b == 5 && p.block6_float_v > 0 ? p.block6_float_v : target; });
    // Load steps within a discharge: each block sags by its resistance.
    for (int k = 0; k < 6; ++k)
        for (const double amps : {p.step_from_a, p.step_from_a, -30.0, -30.0, 0.3, 0.3}) {
            add(amps, [&](int b) {
                const double mohm = b == 10 ? p.block11_mohm : 5.0;
                const double on_float = b == 5 && p.block6_float_v > 0 ? p.block6_float_v : target;
                return std::round((on_float + (amps - 0.3) * mohm / 1000.0) * 100) / 100;
            });
        }
    // The load is taken off half a minute after block 6's end.
    for (double m = 0; p.test_min > 0 && m < p.weak_min + 0.5; m += 1.0 / 6)
        add(-10, [&](int b) {
            const double end = b == 5 ? p.weak_min : 700;
            return m < end ? 12.6 - 1.0 * m / end : 10.4;
        });
    for (double s = 0; s < 3600 && p.test_min > 0; s += 10) add(10, [&](int) { return 13.0; });
    return f.Finish();
}

}  // namespace

TEST(PeriodFigures, StatesFloatStepsAndTestsOverAPeriod) {
    Period p;
    p.temperature = 35;
    p.block6_float_v = 13.5;
    p.test_min = 600;
    p.weak_min = 480;
    const auto r = Feed(p);
    // Each load is taken off float and given back to it.
    EXPECT_NEAR(r.seconds[static_cast<int>(Charge::floating)], 2 * 3600 + 6 * 20, 60);
    EXPECT_NEAR(r.seconds[static_cast<int>(Charge::discharge)], 480 * 60 + 6 * 40, 60);
    EXPECT_NEAR(r.seconds[static_cast<int>(Charge::recharge)], 3600, 60);
    EXPECT_EQ(r.last_state, Charge::recharge);
    ASSERT_EQ(r.tests.size(), 1u) << "the load steps are no test";
    EXPECT_NEAR(r.tests[0].capacity_pct, 480 * 0.93 / 600 * 100, 0.5);
    EXPECT_EQ(r.tests[0].first_block, 6);
    EXPECT_EQ(r.resistance_steps, 6u) << "the steps within each discharge";
    EXPECT_EQ(r.resistance_steps_on_charge, 14) << "off float and back, into the test, the charger's after it";
    EXPECT_TRUE(r.resistance_note.empty());
    ASSERT_TRUE(r.last_float);
    EXPECT_EQ(r.last_float->out_of_band, 1);
    EXPECT_EQ(r.out_of_band_rounds[5], r.float_rounds);
    EXPECT_EQ(r.out_of_band_rounds[4], 0);
    EXPECT_NEAR(r.worst_float_mv[5], 180, 0.1);
    EXPECT_NEAR(*r.FloatMeanDeviations()[5], 0.18, 1e-6);
    EXPECT_GT(r.float_held_rounds, 360) << "the first hour on float settles; discharge and recharge hold";
}

// Rounds read one by one and the same rounds as minutes of the summary
// (means, extremes, span), each minute taken whole where its bounds leave
// one charge state and read round by round elsewhere, as the report reads
// them: the times in each state and the float judgement come out alike.
// Each stretch is `rounds` rounds `tick_s` apart, the current and every
// block's voltage going in a straight line, block b above the rest by
// b × spread_mv / 28.
struct Stretch2 {
    int rounds;
    double tick_s, from_a, to_a, from_v, to_v, spread_mv, temperature;
};

TEST(PeriodFigures, ASummarisedMinuteWeighsItsRoundsAndItsTime) {
    struct Case {
        const char* what;
        std::vector<Stretch2> stretches;
        double settle_s;
        long float_rounds;   // judged, read round by round
        int minutes_whole;   // of the minutes, those taken whole
    } cases[] = {
        {"15 s on float at 35 °C, blocks 50–150 mV high: 45 of 60 rounds judged",
         {{60, 1, 0.1, 0.1, 13.37, 13.37, 100, 35}}, 15, 45, 1},
        {"settled within the second minute", {{120, 1, 0.1, 0.1, 13.5, 13.5, 0, 25}}, 90, 30, 2},
        {"a partly filled minute: 25 rounds 2 s apart", {{25, 2, 0.1, 0.1, 13.5, 13.5, 0, 25}}, 0, 25, 1},
        {"float with a small current, level", {{90, 2, 0.5, 0.5, 13.5, 13.5, 0, 25}}, 0, 90, 3},
        {"the charger's current throughout, then float",
         {{30, 2, 5, 5, 13.6, 13.6, 0, 25}, {30, 2, 0.1, 0.1, 13.5, 13.5, 0, 25}}, 0, 30, 2},
        {"a recharge tapering into float within a minute",
         {{20, 2, 3, 0.1, 13.2, 13.5, 0, 25}, {40, 2, 0.1, 0.1, 13.5, 13.5, 0, 25}}, 30, 26, 1},
        {"at rest, then the charger comes on mid-minute",
         {{15, 2, 0, 0, 12.9, 12.9, 0, 25}, {45, 2, 5, 5, 13.1, 13.1, 0, 25}}, 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BatteryData battery;
        battery.float_settle_s = c.settle_s;
        std::vector<Reading> rounds;
        double t = 0;
        for (const auto& s : c.stretches)
            for (int k = 0; k < s.rounds; ++k, t += s.tick_s) {
                const double f = s.rounds > 1 ? static_cast<double>(k) / (s.rounds - 1) : 0.0;
                Reading r = Round(t, s.from_a + (s.to_a - s.from_a) * f, 0, s.temperature);
                for (int b = 0; b < kBlocks; ++b)
                    r.blocks[b] = s.from_v + (s.to_v - s.from_v) * f + s.spread_mv / 1000.0 * b / 28.0;
                r.voltage = 0;
                for (const double v : r.blocks) r.voltage += v;
                rounds.push_back(r);
            }
        verdict::PeriodFigures one_by_one(battery, kBlocks), by_minute(battery, kBlocks);
        for (const auto& r : rounds) one_by_one.Add(r);
        int whole = 0;
        for (std::size_t i = 0; i < rounds.size();) {
            std::size_t j = i;
            while (j < rounds.size() && rounds[j].ms / 60000 == rounds[i].ms / 60000) ++j;
            // The minute as the summary keeps it.
            Reading mean = rounds[i];
            verdict::MinuteBounds b{1e9, 0, 0, 0};
            double current_sum = 0;
            std::vector<double> lo(kBlocks, 1e9), hi(kBlocks, 0);
            for (int k = 0; k < kBlocks; ++k) mean.blocks[k] = 0;
            mean.voltage = mean.current = mean.temperature = 0;
            const double n = static_cast<double>(j - i);
            for (std::size_t x = i; x < j; ++x) {
                const auto& r = rounds[x];
                current_sum += r.current;
                b.current_min = std::min(b.current_min, r.current);
                for (int k = 0; k < kBlocks; ++k) {
                    mean.blocks[k] += r.blocks[k] / n;
                    lo[k] = std::min(lo[k], r.blocks[k]);
                    hi[k] = std::max(hi[k], r.blocks[k]);
                }
                mean.voltage += r.voltage / n, mean.current += r.current / n, mean.temperature += r.temperature / n;
            }
            b.current_max = current_sum - (n - 1) * b.current_min;
            for (int k = 0; k < kBlocks; ++k) b.block_low_v += lo[k] / kBlocks, b.block_high_v += hi[k] / kBlocks;
            if (by_minute.OneState(mean, b)) {
                ++whole;
                by_minute.AddSummary(mean, {rounds[i].ms, rounds[j - 1].ms, static_cast<long>(j - i)});
            } else {
                for (std::size_t x = i; x < j; ++x) by_minute.Add(rounds[x]);
            }
            i = j;
        }
        const auto x = one_by_one.Finish(), y = by_minute.Finish();
        EXPECT_EQ(whole, c.minutes_whole);
        EXPECT_EQ(x.float_rounds, c.float_rounds);
        EXPECT_EQ(y.float_rounds, x.float_rounds);
        EXPECT_EQ(y.float_held_rounds, x.float_held_rounds);
        EXPECT_EQ(y.out_of_band_rounds, x.out_of_band_rounds);
        for (std::size_t s = 0; s < 4; ++s) EXPECT_NEAR(y.seconds[s], x.seconds[s], 1e-9) << s;
        EXPECT_EQ(y.last_state, x.last_state);
        EXPECT_NEAR(x.seconds[0] + x.seconds[1] + x.seconds[2] + x.seconds[3], t - c.stretches.back().tick_s, 1e-9);
        for (int k = 0; k < kBlocks && y.float_rounds; ++k)
            EXPECT_NEAR(*y.FloatMeans()[k], *x.FloatMeans()[k], 1e-9) << k;
    }
}

// A discharge from `from_a` to `to_a` in a straight line over `minutes`,
// a round each 10 s, then float again: in a run the operator marked as a
// capacity test, or not; with end_min above 0, block 6 at its end voltage
// from then on.  The run's live capacity reads the same tests, each as soon
// as it is over; before one, its baseline's (at 85 %).
TEST(PeriodFigures, TheOperatorsTestNoteTakesTheDischargeAsOneTest) {
    struct Case {
        const char* what;
        double from_a, to_a, minutes;
        bool marked;
        std::size_t tests;
        bool steady;
        double end_min = 0;
        double settle_s = 3600;  // asked on float before a test
    } cases[] = {
        {"steady at 10 A for an hour", 10, 10, 60, false, 1, true},
        {"steady at 10 A, marked", 10, 10, 60, true, 1, true},
        {"a load bank drifting from 12 A to 8 A: each steady stretch a test", 12, 8, 60, false, 4, true},
        {"drifting, marked: one test at its mean current", 12, 8, 60, true, 1, false},
        {"three minutes: a load step, no test", 10, 10, 3, false, 0, true},
        {"three minutes, marked: a test stopped early", 10, 10, 3, true, 1, true},
        {"block 6 at its end after 40 minutes: given there", 10, 10, 60, false, 1, true, 40},
        {"marked, block 6 at its end after 2 minutes", 10, 10, 3, true, 1, true, 2},
        {"block 6 at its end after 40 minutes, the float before it long enough (500 s asked)", 10, 10, 60, false, 1,
         true, 40, 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BatteryData spec;
        spec.float_settle_s = c.settle_s;
        verdict::PeriodFigures f(spec, kBlocks);
        verdict::LiveCharge charge{spec};
        verdict::LiveCapacity live(spec, c.marked,
                                   verdict::LiveCapacity::Baseline{85, 1000, "2026-06-01T10:00:00+0000"});
        std::optional<int64_t> given_ms;
        const auto add = [&](const Reading& r, bool marked) {
            f.Add(r, marked);
            live.Add(r, charge.Add(r).state);
            if (!given_ms && live.Now()->source == "test") given_ms = r.ms;
        };
        double t = 0;
        for (; t < 600; t += 10) add(Round(t, 0.3, 13.5), false);
        const double end = t + c.minutes * 60;
        for (const double start = t; t < end; t += 10) {
            Reading r = Round(t, -(c.from_a + (c.to_a - c.from_a) * (t - start) / (end - start)), 12.2);
            if (c.end_min > 0 && t - start >= c.end_min * 60) r.blocks[5] = 10.4;
            add(r, c.marked);
        }
        EXPECT_EQ(live.Now(true)->source, c.tests ? "test" : "baseline") << "the run ending in its discharge";
        for (const double stop = t + 600; t < stop; t += 10) add(Round(t, 0.3, 13.5), false);
        const auto r = f.Finish();
        ASSERT_EQ(r.tests.size(), c.tests);
        const auto now = *live.Now();
        if (c.tests == 0) {
            EXPECT_EQ(now.source, "baseline");
            EXPECT_EQ(now.at_ms, 1000);
            EXPECT_EQ(now.decision, "test again within a year");
            EXPECT_FALSE(now.baseline_pct);
            continue;
        }
        EXPECT_EQ(r.tests[0].marked, c.marked);
        EXPECT_EQ(r.tests[0].steady, c.steady);
        EXPECT_EQ(r.tests[0].lower_bound, c.end_min == 0);
        if (c.marked) {
            EXPECT_NEAR(r.tests[0].current_a, (c.from_a + c.to_a) / 2, 0.1);
        }
        EXPECT_EQ(now.source, "test");
        EXPECT_EQ(now.pct, r.tests.back().capacity_pct);
        EXPECT_EQ(now.at_ms, r.tests.back().end_ms);
        EXPECT_EQ(now.lower_bound, r.tests.back().lower_bound);
        EXPECT_EQ(now.marked, c.marked);
        EXPECT_EQ(now.baseline_pct, 85.0);
        EXPECT_EQ(now.baseline_date, "2026-06-01");
        // A test at its end is given there, not once the load comes off.
        EXPECT_EQ(*given_ms <= r.tests[0].end_ms, c.end_min > 0) << *given_ms;
        // What the time remaining reads: a test to its end under its
        // conditions; a lower bound, or a test not begun settled on float,
        // leaves the baseline's.
        const bool holds = c.end_min > 0 && c.settle_s <= 500;
        EXPECT_EQ(live.Known(), holds ? r.tests.back().capacity_pct : 85.0);
    }
    JsonLine keys, none;
    verdict::LiveCapacity::Keys(keys, verdict::CapacityNow{84.26, "test", 60000, "1970-01-01T00:01:00+0000", true, true,
                                                           "", 97.0, "2026-06-01"});
    EXPECT_EQ(keys.Text(), R"({"capacity":{"pct":84.3,"source":"test","at":"1970-01-01T00:01:00+0000","at_ms":60000,)"
                           R"("lower_bound":true,"marked":true,"decision":"","baseline_pct":97,)"
                           R"("baseline_date":"2026-06-01"}})");
    EXPECT_EQ(verdict::LiveCapacity::Keys(none, std::nullopt).Text(), R"({"capacity":null})");
}

// A test's conditions, judged before its result: minutes on float at
// 0.3 A, then a discharge a round a minute at `from_a` going to `to_a`,
// the temperature from `from_c` to `to_c` (both by the test's end), block
// 6 at its end voltage at `weak_min` (the others would be at 700), stopped
// at `stop_min`; then
// ten minutes of the charger's recharge.
TEST(CapacityTest, ItsConditionsAreJudgedBeforeItsResult) {
    struct Case {
        const char* what;
        double float_min, from_a, to_a, from_c, to_c, weak_min, stop_min;
        bool marked;
        std::vector<std::string> conditions;  // the start of each
        const char* decision;
        const char* finding;  // its start
        const char* state;
    } cases[] = {
        {"settled on float, steady, level: decided", 120, 10, 10, 25, 25, 468, 700, false, {}, "replace",
         "capacity 78 % (IEEE 450 time-adjusted, KT 1.00): replace (block 6 ended the test)", "act now"},
        {"twenty minutes on float: not settled, not decided", 20, 10, 10, 25, 25, 468, 700, false,
         {"not settled on float before it: 1140 s on float"}, "",
         "capacity 78 % (IEEE 450 time-adjusted, KT 1.00), its conditions not met: not decided on", "attention"},
        {"marked, the load drifting from 12 A to 8 A", 120, 12, 8, 25, 25, 468, 700, true,
         {"current not steady: 8.0 to 12.0 A"}, "", "capacity ", "attention"},
        {"warming by 6 °C during it", 120, 10, 10, 25, 31, 468, 700, false,
         {"temperature moved by 6.0 °C during it (25.0 to 31.0 °C)"}, "", "capacity 78 %", "attention"},
        {"stopped at half the rated time: below 80 % not ruled out", 120, 10, 10, 25, 25, 468, 300, false, {}, "",
         "capacity at least 50 % (IEEE 450 time-adjusted, KT 1.00): below 80 % cannot be ruled out; test to the "
         "end voltage",
         "attention"},
        {"stopped at 88 %: below 90 % not ruled out", 120, 10, 10, 25, 25, 600, 530, false, {}, "",
         "capacity at least 88 % (IEEE 450 time-adjusted, KT 1.00): below 90 % cannot be ruled out", "attention"},
        {"stopped at 95 %: a lower bound past both lines", 120, 10, 10, 25, 25, 600, 570, false, {}, "",
         "capacity at least 95 % (IEEE 450 time-adjusted, KT 1.00): the discharge stopped", "good"},
        {"marked, the current stuck at 0 A: no capacity", 120, 0, 0, 25, 25, 468, 700, true,
         {"no discharge current read: at most 0.0 A through the 28140 s of rounds marked as a test"}, "",
         "no capacity from the run marked as a test: no discharge current read", "attention"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        verdict::PeriodFigures f(BatteryData{}, kBlocks);
        double t = 0;
        for (int m = 0; m < c.float_min; ++m, t += 60) f.Add(Round(t, 0.3, 13.5));
        for (int m = 0; m <= c.stop_min; ++m, t += 60) {
            const double x = std::min(1.0, m / std::min(c.weak_min, c.stop_min));
            Reading r = Round(t, -(c.from_a + (c.to_a - c.from_a) * x), 0, c.from_c + (c.to_c - c.from_c) * x);
            for (int b = 0; b < kBlocks; ++b) {
                const double end = b == 5 ? c.weak_min : 700;
                r.blocks[b] = m < end ? 12.6 - 1.0 * m / end : 10.4;
            }
            f.Add(r, c.marked);
            if (r.blocks[5] < 10.5 && m > c.weak_min) break;
        }
        for (int m = 0; m < 10; ++m, t += 60) f.Add(Round(t, 10, 13.0));
        const auto p = f.Finish();
        ASSERT_EQ(p.tests.size(), 1u);
        const auto& test = p.tests[0];
        ASSERT_EQ(test.conditions.size(), c.conditions.size()) << (test.conditions.empty() ? "" : test.conditions[0]);
        for (std::size_t i = 0; i < c.conditions.size(); ++i)
            EXPECT_EQ(test.conditions[i].rfind(c.conditions[i], 0), 0u) << test.conditions[i];
        EXPECT_EQ(test.decision, c.decision);
        EXPECT_EQ(test.current_read, c.from_a != 0);
        const auto v = verdict::Findings::Judge(p, BatteryData{}, {}, 1000, "");
        ASSERT_FALSE(v.findings.empty());
        EXPECT_EQ(v.findings[0].text.rfind(c.finding, 0), 0u) << v.findings[0].text;
        EXPECT_EQ(v.state, c.state);
        for (const auto& cond : test.conditions)
            EXPECT_NE(v.findings[0].evidence.find(cond), std::string::npos) << v.findings[0].evidence;
    }
}

// The headline never rounds across a decision line: a capacity is shown
// whole unless that carries it onto or past 80 % or 90 %, a rise unless it
// carries it onto or past +20 % or +50 %.
TEST(Findings, FiguresAreNeverRoundedAcrossADecisionLine) {
    struct Case {
        double pct;
        const char* text;
    } cases[] = {
        {79.7, "capacity 79.7 % (IEEE 450 time-adjusted, KT 1.00): replace"},
        {79.96, "capacity 79.96 % (IEEE 450 time-adjusted, KT 1.00): replace"},
        {79.99999, "capacity 79.999 % (IEEE 450 time-adjusted, KT 1.00): replace"},
        {80.2, "capacity 80 % (IEEE 450 time-adjusted, KT 1.00): test again within a year"},
        {89.6, "capacity 89.6 % (IEEE 450 time-adjusted, KT 1.00): test again within a year"},
        {90.4, "capacity 90 % (IEEE 450 time-adjusted, KT 1.00)"},
        {77.0, "capacity 77 % (IEEE 450 time-adjusted, KT 1.00): replace"},
    };
    for (const auto& c : cases) {
        verdict::PeriodResult p;
        p.tests.emplace_back();
        auto& t = p.tests.back();
        t.current_a = 10, t.actual_min = 100, t.rated_min = 100, t.temperature_c = 25, t.kt = 1;
        t.capacity_pct = c.pct;
        t.decision = verdict::CapacityTest::Decision(BatteryData{}, c.pct, false);
        EXPECT_EQ(verdict::Findings::Judge(p, BatteryData{}, {}, 10, "").findings.at(0).text, c.text) << c.pct;
    }
    struct Rise {
        double median, baseline;
        const char* text;
    } rises[] = {
        {5.99, 5.0, "block 1: resistance +19.8 % on its baseline (6.0 mΩ against 5.0 mΩ); investigate"},
        {6.03, 5.0, "block 1: resistance +21 % on its baseline (6.0 mΩ against 5.0 mΩ); investigate"},
        {7.49, 5.0, "block 1: resistance +49.8 % on its baseline (7.5 mΩ against 5.0 mΩ); investigate"},
    };
    for (const auto& r : rises) {
        verdict::PeriodResult p;
        verdict::BlockOhms b;
        b.block = 1, b.steps = 9, b.median_mohm = r.median, b.baseline_mohm = r.baseline;
        b.rise_pct = (r.median / r.baseline - 1) * 100, b.flag = "investigate";
        p.resistance.push_back(b);
        EXPECT_EQ(verdict::Findings::Judge(p, BatteryData{}, {}, 10, "").findings.at(0).text, r.text) << r.median;
    }
}

TEST(Findings, TheVerdictAndItsFindingsMostUrgentFirst) {
    struct Case {
        const char* what;
        Period period;
        bool baseline;
        std::vector<verdict::CellFlag> flags;
        const char* state;
        std::vector<std::string> findings;  // the start of each, in order
        std::vector<std::optional<double>> drift_mv = {};  // per block, on the baseline
    } cases[] = {
        {"a healthy string on float", Period{}, false, {}, "good", {}},
        {"block 6 at 78 % in a test", Period{2, 25, 0, 600, 468, 5}, false, {}, "act now",
         {"capacity 78 % (IEEE 450 time-adjusted, KT 1.00): replace (block 6 ended the test)"}},
        {"block 6 at 85 %", Period{2, 25, 0, 600, 510, 5}, false, {}, "attention",
         {"capacity 85 % (IEEE 450 time-adjusted, KT 1.00): test again within a year"}},
        {"block 11 at 1.6 times its baseline", Period{2, 25, 0, 0, 0, 8}, true, {}, "act now",
         {"block 11: resistance +60 % on its baseline of 2026-06-01 (8.0 mΩ against 5.0 mΩ); act"}},
        {"block 11 high against its string, no baseline", Period{2, 25, 0, 0, 0, 8}, false, {}, "attention",
         {"block 11: resistance 8.0 mΩ, +60 % on the string's median of 5.0 mΩ (no baseline); investigate"}},
        {"block 6 held at the 25 °C float voltage at 35 °C", Period{2, 35, 13.5, 0, 0, 5}, false, {}, "attention",
         {"block 6: 180 mV above its float target of 13.32 V at 35.0 °C; flagged"}},
        {"block 11 at 1.6 times, its steps all off float", Period{2, 25, 0, 0, 0, 8, 0.3}, true, {}, "good",
         {"resistance: none measured"}},
        {"a cell the report flagged, and a resistance to act on", Period{2, 25, 0, 0, 0, 8}, true,
         {{18, -630, false, 1200, 100}}, "act now",
         {"block 11: resistance +60 %", "block 18: 630 mV below the string's mean at rest; flagged"}},
        {"block 6 floating 62 mV above its baseline, block 5 within the band", Period{}, true, {}, "attention",
         {"block 6: float +62 mV on its baseline of 2026-06-01; flagged"},
         {std::nullopt, std::nullopt, std::nullopt, std::nullopt, -12.0, 62.3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = Feed(c.period, c.baseline ? std::vector<double>(kBlocks, 5.0) : std::vector<double>{});
        const auto v = verdict::Findings::Judge(result, BatteryData{}, c.flags, 1000, c.baseline ? "2026-06-01" : "",
                                                std::nullopt, c.drift_mv);
        EXPECT_EQ(v.state, c.state);
        ASSERT_EQ(v.findings.size(), c.findings.size()) << (v.findings.empty() ? "" : v.findings[0].text);
        for (std::size_t i = 0; i < c.findings.size(); ++i) {
            EXPECT_EQ(v.findings[i].text.rfind(c.findings[i], 0), 0u) << v.findings[i].text;
            EXPECT_FALSE(v.findings[i].evidence.empty());
        }
    }
    // A test shorter than a minute states its times in seconds, not as "0 min".
    for (const double min : {13.0 / 60, 480.0}) {
        verdict::PeriodResult p;
        p.tests.emplace_back();
        auto& t = p.tests.back();
        t.current_a = 20, t.actual_min = min, t.rated_min = min * 1.3, t.first_block = 6, t.first_block_min = min;
        t.temperature_c = 25, t.kt = 1, t.capacity_pct = 77, t.decision = "replace";
        EXPECT_EQ(verdict::Findings::Judge(p, BatteryData{}, {}, 10, "").findings.at(0).evidence,
                  min < 1 ? "discharge at 20.0 A for 13 s against 17 s rated at that current; block 6 first at 10.50 V "
                            "after 13 s; 25.0 °C"
                          : "discharge at 20.0 A for 480 min against 624 min rated at that current; block 6 first at "
                            "10.50 V after 480 min; 25.0 °C");
    }
    const auto none = verdict::Findings::Judge(verdict::PeriodResult{}, BatteryData{}, {}, 0, "");
    EXPECT_EQ(none.state, "no data");
}
