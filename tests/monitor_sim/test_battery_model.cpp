// The simulated string's truth: Peukert's runtime per block, ageing, the
// open-circuit curve, and a charger that recharges at its limit and then
// floats at the compensated voltage.
#include <gtest/gtest.h>

#include <cmath>

#include "BatteryModel.h"

namespace {

using monitor_sim::BatteryModel;
using monitor_sim::BatteryParams;

// Minutes until the first block's terminal voltage reaches end_v at a
// steady load, stepping a second at a time; which block.
std::pair<double, int> MinutesToEnd(BatteryModel& m, double amps, double end_v) {
    for (int s = 1; s < 48 * 3600; ++s) {
        m.Step(1.0, amps, false);
        for (int b = 0; b < m.Blocks(); ++b)
            if (m.BlockVolts(b) <= end_v) return {s / 60.0, b + 1};
    }
    return {0, 0};
}

TEST(BatteryModel, DischargeLastsAsPeukertSaysForEachBlocksCapacity) {
    struct Case {
        const char* what;
        double amps, temperature, block6_pct;
        double minutes;  // until the first block reaches 10.5 V
        int first;
    } cases[] = {
        // A full block runs to about 99 % of its charge before 10.5 V.
        {"rated current, all at 100 %", 10, 25, 100, 600 * 0.993, 1},
        // An aged block holds less charge at the same rate: its share of
        // the rated time at any current.
        {"block 6 at 80 %", 10, 25, 80, 480 * 0.993, 6},
        {"twice the rated current", 20, 25, 100, 275.865 * 0.993, 1},
        {"block 6 at 80 % at twice the rated current", 20, 25, 80, 275.865 * 0.8 * 0.99, 6},
        // Warmth and cold change the charge by IEEE 450's factors: 1 / KT.
        {"at 35 °C (95 °F, KT 0.93)", 10, 35, 100, 600 / 0.93 * 0.993, 1},
        {"at 18 °C (64.4 °F, KT 1.0836)", 10, 18, 100, 600 / 1.0836 * 0.993, 1},
        {"at 10 °C, colder than the table: its coldest row, 1.11", 10, 10, 100, 600 / 1.11 * 0.993, 1},
        {"block 6 at 80 % at 18 °C", 10, 18, 80, 480 / 1.0836 * 0.993, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BatteryParams p;
        p.temperature_c = c.temperature;
        p.capacity_pct.assign(29, 100.0);
        p.capacity_pct[5] = c.block6_pct;
        BatteryModel m(p);
        const auto [minutes, first] = MinutesToEnd(m, c.amps, 10.5);
        EXPECT_NEAR(minutes, c.minutes, c.minutes * 0.02);
        EXPECT_EQ(first, c.first);
        EXPECT_LT(m.Current(), 0);
    }
}

TEST(BatteryModel, CapacityFollowsTheTemperatureCorrectionTable) {
    struct Case {
        double celsius, kt;
    } cases[] = {
        {25, 1.000},      {35, 0.930},       {18, 1.0836},  // between 60 °F (1.110) and 65 °F (1.080)
        {21.1111, 1.040}, {26.6667, 0.980},  {37.7778, 0.910},
        {40, 0.910},      {10, 1.110},       {15.5556, 1.110},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.celsius);
        EXPECT_NEAR(BatteryModel::Kt(c.celsius), c.kt, 1e-4);
        BatteryParams p;
        p.temperature_c = c.celsius;
        p.capacity_pct = {100.0, 85.0};
        const BatteryModel m(p);
        EXPECT_NEAR(m.CapacityAh(0), 100.0 / c.kt, 0.01);
        EXPECT_NEAR(m.CapacityAh(1), 85.0 / c.kt, 0.01);
    }
}

// A room that cools during a discharge: the charge already drawn stays
// drawn, what is left shrinks with the capacity at the new temperature,
// and the charger's target follows.
TEST(BatteryModel, AChangeOfTemperatureKeepsTheChargeAndMovesCapacityAndFloat) {
    BatteryParams p;
    p.temperature_c = 35;
    BatteryModel m(p);
    m.Step(3600, 10, false);
    const double soc = m.Soc(0);
    EXPECT_NEAR(1 - soc, 10.0 / (100 / 0.93), 1e-9);  // at the rated current Peukert's rate is the current
    m.SetTemperature(25);
    EXPECT_DOUBLE_EQ(m.Soc(0), soc);
    EXPECT_NEAR(m.CapacityAh(0), 100.0, 1e-9);
    EXPECT_NEAR(m.FloatTarget(), 13.5, 1e-12);
    m.Step(3600, 10, false);
    EXPECT_NEAR(soc - m.Soc(0), 10.0 / 100, 1e-9);
    m.SetTemperature(18);
    EXPECT_NEAR(m.FloatTarget(), 13.5 + 0.018 * 7, 1e-12);
}

TEST(BatteryModel, BlocksSagByTheirResistanceUnderLoad) {
    BatteryParams p;
    p.resistance_factor.assign(29, 1.0);
    p.resistance_factor[10] = 1.6;
    BatteryModel m(p);
    m.Step(1, 0, false);
    const double rest0 = m.BlockVolts(0), rest10 = m.BlockVolts(10);
    EXPECT_NEAR(rest0, 12.8, 0.01);
    m.Step(1, 20, false);
    EXPECT_NEAR((rest0 - m.BlockVolts(0)) / 20 * 1000, 5.0, 0.1);
    EXPECT_NEAR((rest10 - m.BlockVolts(10)) / 20 * 1000, 8.0, 0.1);
    EXPECT_NEAR(m.ResistanceOhms(10), 0.008, 1e-12);
}

TEST(BatteryModel, OpenCircuitVoltageFollowsTheStateOfCharge) {
    struct Case {
        double soc, volts;
    } cases[] = {{1.0, 12.8}, {0.5, 12.2}, {0.1, 11.72}, {0.05, 11.36}, {0.0, 10.4}, {-1, 10.4}};
    for (const auto& c : cases) EXPECT_NEAR(BatteryModel::Ocv(c.soc), c.volts, 1e-9) << c.soc;
}

TEST(BatteryModel, ChargerRechargesAtItsLimitThenFloatsAtTheCompensatedVoltage) {
    struct Case {
        double temperature, float_v;
    } cases[] = {
        {25, 13.5},
        {35, 13.32},
        // Below 25 °C the target is higher; a full block reaches it, so the
        // charger tapers to float there too instead of pushing its limit.
        {18, 13.626},
        {10, 13.77},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.temperature);
        BatteryParams p;
        p.temperature_c = c.temperature;
        p.start_soc = 0.5;
        BatteryModel m(p);
        m.Step(1, 0, true);
        EXPECT_DOUBLE_EQ(m.Current(), p.charge_limit_a);
        for (int s = 0; s < 20 * 3600; s += 10) m.Step(10, 0, true);
        EXPECT_NEAR(m.Current(), p.float_a, 0.05);
        for (int b = 0; b < 29; ++b) EXPECT_NEAR(m.BlockVolts(b), c.float_v, 0.01) << b;
        EXPECT_GT(m.Soc(0), 0.95);
        m.Step(1, 0, false);
        EXPECT_EQ(m.Current(), 0.0);
    }
}

}  // namespace
