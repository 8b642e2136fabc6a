#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "MonitorModel.h"

using monitor_sim::MonitorModel;
using monitor_sim::MonitorProfile;

namespace {

MonitorProfile Fixed() {
    MonitorProfile p;
    p.drift_volts = 0.0;
    return p;
}

uint16_t ShortValue(const MonitorModel::Reply& r) { return monitor::ReadU16(r.frame.data(), 2); }

}  // namespace

TEST(MonitorModel, DefaultProfileAnswersEveryCommandWithValidFrames) {
    MonitorModel m(0x81, Fixed(), 1);
    const auto cells = m.Answer(0xA1, 0.0);
    ASSERT_TRUE(cells);
    ASSERT_EQ(cells->frame.size(), 67u);
    EXPECT_TRUE(monitor::AcceptReply(cells->frame.data(), 67, 67, 0x81));
    for (int k = 0; k < 32; ++k) {
        const uint16_t expect = k < 29 ? 1350 : 0;
        EXPECT_EQ(cells->raw[k], expect) << "slot " << k;
        EXPECT_EQ(monitor::ReadU16(cells->frame.data(), monitor::CellSlotOffset(k)), expect) << "slot " << k;
    }
    struct {
        uint8_t command;
        uint16_t raw;
    } shorts[] = {{0xA2, 3915}, {0xA3, 5}, {0xA4, 2500}};  // 391.5 V, 0.5 A (a float current), 25.00 degrees
    for (const auto& s : shorts) {
        const auto r = m.Answer(s.command, 0.0);
        ASSERT_TRUE(r);
        EXPECT_TRUE(monitor::AcceptReply(r->frame.data(), 5, 5, 0x81));
        EXPECT_EQ(ShortValue(*r), s.raw) << std::hex << int(s.command);
        EXPECT_EQ(r->raw, std::vector<uint16_t>{s.raw});
    }
    EXPECT_FALSE(m.Answer(0xA5, 0.0));
}

TEST(MonitorModel, ScalesFollowTheProfile) {
    struct Case {
        const char* name;
        void (*tweak)(MonitorProfile&);
        uint16_t cell, string, current, temperature;
    } cases[] = {
        {"defaults", [](MonitorProfile&) {}, 1350, 3915, 5, 2500},
        {"millivolts",
         [](MonitorProfile& p) {
             p.millivolts = true;
             p.cell_volts = 6.75;
         },
         6750, 1958, 5, 2500},
        {"string in hundredths", [](MonitorProfile& p) { p.string_hundredths = true; }, 1350, 39150, 5, 2500},
        {"fixed string", [](MonitorProfile& p) { p.string_volts = 400.0; }, 1350, 4000, 5, 2500},
        {"twelve cells", [](MonitorProfile& p) { p.cells = 12; }, 1350, 1620, 5, 2500},
        {"current and temperature",
         [](MonitorProfile& p) {
             p.current_amps = 12.3;
             p.temperature_c = 31.25;
         },
         1350, 3915, 123, 3125},
        {"sensor at 0 A", [](MonitorProfile& p) { p.current_sensor = true, p.current_amps = 0; }, 1350, 3915, 2500,
         2500},
        {"sensor at 100 A", [](MonitorProfile& p) { p.current_sensor = true, p.current_amps = 100; }, 1350, 3915,
         5000, 2500},
        {"sensor at -100 A", [](MonitorProfile& p) { p.current_sensor = true, p.current_amps = -100; }, 1350, 3915, 0,
         2500},
        // A second monitor at one address, read apart: every cell, the
        // string after them, the current and the temperature.
        {"set apart", [](MonitorProfile& p) { p = p.Twin(1, {-1.3, 28.5, 15.0}); }, 1220, 3538, 290, 4000},
        {"set apart twice", [](MonitorProfile& p) { p = p.Twin(2, {-1.3, 28.5, 15.0}); }, 1090, 3161, 575, 5500},
        {"set apart, a fixed string",
         [](MonitorProfile& p) { p.string_volts = 400.0, p = p.Twin(1, {0.5, 0, 0}); }, 1400, 4145, 5, 2500},
        {"set apart, a weak cell too",
         [](MonitorProfile& p) {
             p.cells = 1, p.weak_cells.push_back({std::nullopt, 0, 11.0});
             p = p.Twin(1, {0.25, 0, 0});
         },
         1125, 113, 5, 2500},
        {"set apart on the sensor", [](MonitorProfile& p) { p.current_sensor = true, p = p.Twin(1, {0, -20.5, 0}); }, 1350,
         3915, 2000, 2500},
    };
    for (const auto& c : cases) {
        MonitorProfile p = Fixed();
        c.tweak(p);
        ASSERT_EQ(p.Problem(), "") << c.name;
        MonitorModel m(0x81, p, 1);
        const auto slots = m.ReadCells(0.0);
        EXPECT_EQ(slots[0], c.cell) << c.name;
        EXPECT_EQ(slots[p.cells - 1], c.cell) << c.name;
        EXPECT_EQ(m.StringVoltageRaw(), c.string) << c.name;
        EXPECT_EQ(m.CurrentRaw(), c.current) << c.name;
        EXPECT_EQ(m.TemperatureRaw(), c.temperature) << c.name;
    }
}

TEST(MonitorModel, DriftStaysWithinItsBoundAndTheStringFollowsTheCells) {
    MonitorProfile p;  // 0.02 V drift: at most 2 raw units either side
    MonitorModel m(0x81, p, 42);
    bool moved = false;
    for (int read = 0; read < 500; ++read) {
        const auto slots = m.ReadCells(0.0);
        uint32_t sum = 0;
        for (int k = 0; k < 29; ++k) {
            ASSERT_GE(slots[k], 1348);
            ASSERT_LE(slots[k], 1352);
            moved = moved || slots[k] != 1350;
            sum += slots[k];
        }
        for (int k = 29; k < 32; ++k) ASSERT_EQ(slots[k], 0);
        // Cells in hundredths, string in tenths.
        ASSERT_EQ(m.StringVoltageRaw(), static_cast<uint16_t>((sum + 5) / 10));
    }
    EXPECT_TRUE(moved);
    EXPECT_EQ(m.CellReads(), 500u);
}

// A second monitor set to an address drifts on a stream of its own, and
// the first keeps the stream it had alone.
TEST(MonitorModel, SameSeedSameReadingsAndEachAddressItsOwn) {
    MonitorModel a(0x81, MonitorProfile{}, 9), b(0x81, MonitorProfile{}, 9), c(0x82, MonitorProfile{}, 9),
        first(0x81, MonitorProfile{}, 9, 0), twin(0x81, MonitorProfile{}, 9, 1);
    EXPECT_EQ(twin.Twin(), 1);
    bool differs = false, twin_differs = false;
    for (int i = 0; i < 50; ++i) {
        const auto sa = a.ReadCells(0), sb = b.ReadCells(0), sc = c.ReadCells(0);
        const auto sf = first.ReadCells(0), st = twin.ReadCells(0);
        ASSERT_EQ(sa, sb);
        ASSERT_EQ(sa, sf);
        differs = differs || sa != sc;
        twin_differs = twin_differs || sa != st;
    }
    EXPECT_TRUE(differs);
    EXPECT_TRUE(twin_differs);
}

TEST(MonitorModel, WeakCellReadsLowUntilItRecovers) {
    MonitorProfile p = Fixed();
    p.weak_cells.push_back(monitor_sim::ParseWeakCell("5:11.2:3"));     // after 3 cell-voltage replies
    p.weak_cells.push_back(monitor_sim::ParseWeakCell("7:10.5:30s"));   // after 30 seconds
    p.weak_cells.push_back(monitor_sim::ParseWeakCell("0x82/9:9.5"));  // never, and only at 0x82
    MonitorModel m(0x81, p, 1), other(0x82, p, 1);
    const uint16_t cell5[] = {1120, 1120, 1120, 1350, 1350};
    const double at[] = {0.0, 10.0, 29.9, 30.0, 31.0};
    const uint16_t cell7[] = {1050, 1050, 1050, 1350, 1350};
    for (int read = 0; read < 5; ++read) {
        const auto slots = m.ReadCells(at[read]);
        EXPECT_EQ(slots[5], cell5[read]) << "read " << read;
        EXPECT_EQ(slots[7], cell7[read]) << "read " << read;
        EXPECT_EQ(slots[9], 1350);
        EXPECT_EQ(other.ReadCells(at[read])[9], 950);
    }
    // The string voltage follows the weak cell: 28 x 13.5 + 9.5.
    EXPECT_EQ(other.StringVoltageRaw(), 3875);
}

TEST(MonitorProfile, WeakCellTexts) {
    using R = MonitorProfile::WeakCell::Recovery;
    struct {
        const char* text;
        std::optional<uint8_t> addr;
        int index;
        double volts;
        R recovery;
        double after;
    } good[] = {
        {"5:11.2", std::nullopt, 5, 11.2, R::kNever, 0},
        {"0:9:20", std::nullopt, 0, 9.0, R::kAfterReads, 20},
        {"28:10.5:1.5s", std::nullopt, 28, 10.5, R::kAfterSeconds, 1.5},
        {"0x82/3:10.9", 0x82, 3, 10.9, R::kNever, 0},
        {"130/3:10.9:4", 0x82, 3, 10.9, R::kAfterReads, 4},
    };
    for (const auto& g : good) {
        const auto w = monitor_sim::ParseWeakCell(g.text);
        EXPECT_EQ(w.addr, g.addr) << g.text;
        EXPECT_EQ(w.index, g.index) << g.text;
        EXPECT_DOUBLE_EQ(w.volts, g.volts) << g.text;
        EXPECT_EQ(w.recovery, g.recovery) << g.text;
        EXPECT_DOUBLE_EQ(w.after, g.after) << g.text;
    }
    for (const char* bad : {"", "5", "5:", ":11", "x:11", "5:11v", "5:11:-3", "5:11:s", "0x100/5:11", "5:11:3m"})
        EXPECT_THROW(monitor_sim::ParseWeakCell(bad), std::invalid_argument) << bad;
}

TEST(MonitorProfile, BusAddressTexts) {
    EXPECT_EQ(monitor_sim::ParseBusAddress("0x81"), 0x81);
    EXPECT_EQ(monitor_sim::ParseBusAddress("0X0a"), 0x0A);
    EXPECT_EQ(monitor_sim::ParseBusAddress("129"), 0x81);
    EXPECT_EQ(monitor_sim::ParseBusAddress("010"), 10);  // not octal
    for (const char* bad : {"", "256", "-1", "0x", "0x1G", "81h", " 1"})
        EXPECT_THROW(monitor_sim::ParseBusAddress(bad), std::invalid_argument) << bad;
}

TEST(MonitorProfile, ReadingsThatCannotGoOnTheBusAreRefused) {
    struct {
        const char* name;
        void (*tweak)(MonitorProfile&);
    } bad[] = {
        {"no cells", [](MonitorProfile& p) { p.cells = 0; }},
        {"33 cells", [](MonitorProfile& p) { p.cells = 33; }},
        {"weak cell beyond the string", [](MonitorProfile& p) { p.weak_cells.push_back({std::nullopt, 29, 11.0}); }},
        {"negative cell", [](MonitorProfile& p) { p.weak_cells.push_back({std::nullopt, 3, -1.0}); }},
        {"millivolt cell too high", [](MonitorProfile& p) { p.millivolts = true, p.cell_volts = 70.0; }},
        {"string beyond 16 bits", [](MonitorProfile& p) { p.string_hundredths = true, p.string_volts = 700.0; }},
        {"negative current", [](MonitorProfile& p) { p.current_amps = -1.0; }},
        {"sensor below -100 A", [](MonitorProfile& p) { p.current_sensor = true, p.current_amps = -101.0; }},
        {"frost", [](MonitorProfile& p) { p.temperature_c = -5.0; }},
        {"negative drift", [](MonitorProfile& p) { p.drift_volts = -0.1; }},
        {"capacity test on the plain current reading",
         [](MonitorProfile& p) { p.battery = MonitorProfile::Battery{}, p.battery->test_amps = 10; }},
        {"capacity test beyond the sensor",
         [](MonitorProfile& p) { p.current_sensor = true, p.battery = MonitorProfile::Battery{}, p.battery->test_amps = 101; }},
        {"a ramp into frost", [](MonitorProfile& p) { p.temperature_ramp = monitor_sim::ParseTemperatureRamp("-5:0:10"); }},
        {"stuck below 0 A on the plain reading", [](MonitorProfile& p) { p.stuck_current = MonitorProfile::StuckCurrent{}, p.stuck_current->amps = -1; }},
        {"stuck beyond the sensor",
         [](MonitorProfile& p) { p.current_sensor = true, p.stuck_current = MonitorProfile::StuckCurrent{}, p.stuck_current->amps = -101; }},
        // A monitor set apart must still fit the bus.
        {"set apart below 0 V", [](MonitorProfile& p) { p = p.Twin(1, {-14.0, 0, 0}); }},
        {"set apart, a weak cell below 0 V",
         [](MonitorProfile& p) { p.weak_cells.push_back({std::nullopt, 3, 1.0}), p = p.Twin(1, {-1.5, 0, 0}); }},
        {"set apart, a fixed string beyond 16 bits",
         [](MonitorProfile& p) { p.string_volts = 6500.0, p = p.Twin(1, {2.0, 0, 0}); }},
        {"set apart below 0 A", [](MonitorProfile& p) { p = p.Twin(1, {0, -1.0, 0}); }},
        {"set apart below the sensor's -100 A",
         [](MonitorProfile& p) { p.current_sensor = true, p = p.Twin(1, {0, -101.0, 0}); }},
        {"set apart, a discharge beyond the sensor",
         [](MonitorProfile& p) {
             p.current_sensor = true, p.discharge = monitor_sim::ParseDischarge("90:0:10");
             p = p.Twin(1, {0, -20.0, 0});
         }},
        {"set apart into frost", [](MonitorProfile& p) { p = p.Twin(1, {0, 0, -30.0}); }},
        {"set apart, a ramp into frost",
         [](MonitorProfile& p) { p.temperature_ramp = monitor_sim::ParseTemperatureRamp("5:0:10"), p = p.Twin(1, {0, 0, -6.0}); }},
        {"set apart, stuck below 0 A",
         [](MonitorProfile& p) { p.stuck_current = MonitorProfile::StuckCurrent{}, p = p.Twin(1, {0, -0.5, 0}); }},
    };
    EXPECT_EQ(MonitorProfile{}.Problem(), "");
    EXPECT_EQ(MonitorProfile{}.Twin(1, {-1.3, 28.5, 15.0}).Problem(), "");
    for (const auto& b : bad) {
        MonitorProfile p;
        b.tweak(p);
        EXPECT_NE(p.Problem(), "") << b.name;
    }
}

// A discharge: the current reads -AMPS while it lasts and 0 A's sensor value
// stays exact outside it; every cell drops by I x R at once and falls
// steadily after, a high-resistance cell by its factor times as much.
TEST(MonitorModel, DischargeDrivesTheCurrentNegativeAndSagsTheWeakCellFaster) {
    MonitorProfile p = Fixed();
    p.current_sensor = true;
    p.current_amps = 2.0;
    MonitorProfile::Discharge d;
    d.amps = 20.0;
    d.start_s = 10.0;
    d.length_s = 100.0;
    d.sag_volts = 1.0;
    d.resistance_ohms = 0.005;  // 0.1 V at 20 A
    p.discharge = d;
    p.high_resistance.push_back(monitor_sim::ParseHighResistance("4:3"));
    p.high_resistance.push_back(monitor_sim::ParseHighResistance("0x82/6:2"));  // not this monitor
    // A weak cell that is also of high resistance: both at once.
    p.weak_cells.push_back(monitor_sim::ParseWeakCell("8:12"));
    p.high_resistance.push_back(monitor_sim::ParseHighResistance("8:2"));
    ASSERT_EQ(p.Problem(), "");
    MonitorModel m(0x81, p, 1);
    struct {
        double t;
        uint16_t current;  // 2500 + 25 per ampere
        uint16_t healthy, weak, weak_resistant;
    } steps[] = {
        {0.0, 2550, 1350, 1350, 1200},    // float, charging at 2 A
        {9.99, 2550, 1350, 1350, 1200},
        {10.0, 2000, 1340, 1320, 1180},   // I x R: 0.1 V, three times that for cell 4, twice for 8
        {60.0, 2000, 1290, 1170, 1080},   // half way: 0.5 V more, 1.5 V for cell 4
        {109.9, 2000, 1240, 1020, 980},
        {110.0, 2550, 1350, 1350, 1200},  // over: back on float
    };
    for (const auto& s : steps) {
        const auto slots = m.ReadCells(s.t);
        EXPECT_EQ(m.CurrentRaw(s.t), s.current) << s.t;
        EXPECT_EQ(slots[0], s.healthy) << s.t;
        EXPECT_EQ(slots[6], s.healthy) << s.t;
        EXPECT_EQ(slots[4], s.weak) << s.t;
        EXPECT_EQ(slots[8], s.weak_resistant) << s.t;
        const auto reply = m.Answer(0xA3, s.t);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->raw.front(), s.current) << s.t;
    }
}

TEST(MonitorProfile, DischargeAndResistanceTexts) {
    const auto d = monitor_sim::ParseDischarge("20:5:30.5");
    EXPECT_DOUBLE_EQ(d.amps, 20.0);
    EXPECT_DOUBLE_EQ(d.start_s, 5.0);
    EXPECT_DOUBLE_EQ(d.length_s, 30.5);
    for (const char* bad : {"", "20", "20:5", "20:5:", "0:5:30", "-20:5:30", "20:-1:30", "20:5:0", "20:5:30:1", "a:b:c"})
        EXPECT_THROW(monitor_sim::ParseDischarge(bad), std::invalid_argument) << bad;
    const auto h = monitor_sim::ParseHighResistance("0x81/7:2.5");
    EXPECT_EQ(h.addr, std::optional<uint8_t>(0x81));
    EXPECT_EQ(h.index, 7);
    EXPECT_DOUBLE_EQ(h.factor, 2.5);
    for (const char* bad : {"", "7", "7:", ":2", "7:0.5", "7:x", "0x100/7:2"})
        EXPECT_THROW(monitor_sim::ParseHighResistance(bad), std::invalid_argument) << bad;
}

TEST(MonitorProfile, TemperatureRampAndStuckCurrentTexts) {
    const auto r = monitor_sim::ParseTemperatureRamp("18.5:60:600");
    EXPECT_DOUBLE_EQ(r.to_c, 18.5);
    EXPECT_DOUBLE_EQ(r.start_s, 60.0);
    EXPECT_DOUBLE_EQ(r.length_s, 600.0);
    EXPECT_DOUBLE_EQ(monitor_sim::ParseTemperatureRamp("30:5:0").length_s, 0.0);  // a step
    for (const char* bad : {"", "25", "25:5", "25:5:", "25:-1:30", "25:5:-1", "25:5:30:1", "a:b:c"})
        EXPECT_THROW(monitor_sim::ParseTemperatureRamp(bad), std::invalid_argument) << bad;
    const auto s = monitor_sim::ParseStuckCurrent("-2.5:30");
    EXPECT_DOUBLE_EQ(s.amps, -2.5);
    EXPECT_DOUBLE_EQ(s.from_s, 30.0);
    EXPECT_DOUBLE_EQ(monitor_sim::ParseStuckCurrent("0").from_s, 0.0);
    for (const char* bad : {"", ":5", "0:", "0:-1", "x", "0:5:6"})
        EXPECT_THROW(monitor_sim::ParseStuckCurrent(bad), std::invalid_argument) << bad;
}

TEST(MonitorProfile, OffsetTexts) {
    const struct {
        const char* text;
        double volts, amps, degrees;
    } good[] = {{"-1.3:28.5:15", -1.3, 28.5, 15.0}, {"0.5", 0.5, 0.0, 0.0}, {"0:-2", 0.0, -2.0, 0.0}};
    for (const auto& g : good) {
        const auto o = monitor_sim::ParseOffset(g.text);
        EXPECT_DOUBLE_EQ(o.volts, g.volts) << g.text;
        EXPECT_DOUBLE_EQ(o.amps, g.amps) << g.text;
        EXPECT_DOUBLE_EQ(o.degrees, g.degrees) << g.text;
    }
    for (const char* bad : {"", ":", "1:", "1::2", "1:2:3:4", "x", "1:y", " 1"})
        EXPECT_THROW(monitor_sim::ParseOffset(bad), std::invalid_argument) << bad;
}

// The temperature along its ramp, and a current reading stuck from its
// moment on while the modelled string goes on discharging: the readings
// say what the faulty monitor says, the truth what flows.
TEST(MonitorModel, TheTemperatureRampsAndAStuckCurrentReadsOneValueWhateverFlows) {
    MonitorProfile p = Fixed();
    p.current_sensor = true;
    p.temperature_c = 35;
    p.temperature_ramp = monitor_sim::ParseTemperatureRamp("25:10:20");
    p.stuck_current = monitor_sim::ParseStuckCurrent("0:5");
    p.battery = MonitorProfile::Battery{};
    p.battery->test_amps = 10;
    p.battery->test_start_s = 2;
    ASSERT_EQ(p.Problem(), "");
    MonitorModel m(0x81, p, 1);
    struct {
        double t;
        uint16_t temperature, current;
        double model_c;  // the battery's own temperature
        bool discharging;
    } steps[] = {
        {0.0, 3500, 2503, 35, false},  // float: the charger's 0.1 A
        {2.0, 3500, 2503, 35, false},  // the model's step to 2 s began before the test
        {4.0, 3500, 2250, 35, true},   // the test's 10 A, read
        {5.0, 3500, 2500, 35, true},   // stuck at 0 A from 5 s
        {10.0, 3500, 2500, 35, true},
        {20.0, 3000, 2500, 30, true},  // half way down the ramp
        {30.0, 2500, 2500, 25, true},
        {60.0, 2500, 2500, 25, true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.t);
        m.Advance(s.t);
        const auto t = m.Answer(0xA4, s.t);
        const auto c = m.Answer(0xA3, s.t);
        ASSERT_TRUE(t && c);
        EXPECT_EQ(t->raw.front(), s.temperature);
        EXPECT_EQ(c->raw.front(), s.current);
        EXPECT_NEAR(m.Battery()->Temperature(), s.model_c, 0.01);
        EXPECT_EQ(m.Battery()->Current() < 0, s.discharging);
        EXPECT_NEAR(m.Battery()->CapacityAh(0), 100 / monitor_sim::BatteryModel::Kt(s.model_c), 0.05);
    }
    EXPECT_NE(m.Truth().find("\"current_a\":-10.000"), std::string::npos) << m.Truth();
}

// The battery data a master that keeps the run's time must be given: at
// speed N, N times shorter hours and N times fewer ampere-hours, so its
// rated time at any current is the model's divided by N.
TEST(MonitorProfile, TheSiteBatteryMatchesTheModelsSpeed) {
    struct Case {
        double speed;
        const char* text;
    } cases[] = {
        {1, R"({"capacity_ah": 100, "capacity_hours": 10, "peukert": 1.121, "float_v": 13.5, "temp_coeff_mv": -18, )"
            R"("end_v": 10.5, "float_settle_s": 3600, "rise_mv_per_min": 5})"},
        {600, R"({"capacity_ah": 0.166667, "capacity_hours": 0.0166667, "peukert": 1.121, "float_v": 13.5, )"
              R"("temp_coeff_mv": -18, "end_v": 10.5, "float_settle_s": 6, "rise_mv_per_min": 3000})"},
        {60, R"({"capacity_ah": 1.66667, "capacity_hours": 0.166667, "peukert": 1.121, "float_v": 13.5, )"
             R"("temp_coeff_mv": -18, "end_v": 10.5, "float_settle_s": 60, "rise_mv_per_min": 300})"},
    };
    for (const auto& c : cases) {
        MonitorProfile::Battery b;
        b.speed = c.speed;
        EXPECT_EQ(b.SiteBattery(), c.text) << c.speed;
    }
    // README's capacity test runs the model at 600 on this example site.
    std::ifstream in(CAPACITY_TEST_SITE);
    std::stringstream site;
    site << in.rdbuf();
    EXPECT_NE(site.str().find(std::string("\"battery\": ") + cases[1].text), std::string::npos) << site.str();
}

TEST(MonitorProfile, DischargesTheBusCannotCarryAreRefused) {
    struct {
        const char* name;
        void (*tweak)(MonitorProfile&);
    } bad[] = {
        {"plain current reading", [](MonitorProfile& p) { p.current_sensor = false; }},
        {"beyond the sensor", [](MonitorProfile& p) { p.discharge->amps = 101.0; }},
        {"sags below 0 V", [](MonitorProfile& p) { p.discharge->sag_volts = 20.0; }},
        {"factor below 1", [](MonitorProfile& p) { p.high_resistance.push_back({std::nullopt, 3, 0.5}); }},
        {"cell beyond the string", [](MonitorProfile& p) { p.high_resistance.push_back({std::nullopt, 29, 2.0}); }},
        {"no length", [](MonitorProfile& p) { p.discharge->length_s = 0.0; }},
    };
    for (const auto& b : bad) {
        MonitorProfile p;
        p.current_sensor = true;
        p.discharge = monitor_sim::ParseDischarge("20:5:30");
        ASSERT_EQ(p.Problem(), "") << b.name;
        b.tweak(p);
        EXPECT_NE(p.Problem(), "") << b.name;
    }
}

// With a modelled battery the cells and the current are the model's, and
// the truth says so: a capacity test at 10 A drains block 6 (at 80 %)
// first, ends at the end voltage, and the charger takes over.
TEST(MonitorModel, ModelledBatteryRunsItsCapacityTestAndTellsItsTruth) {
    MonitorProfile p = Fixed();
    p.current_sensor = true;
    p.battery = MonitorProfile::Battery{};
    p.battery->params.capacity_pct.assign(29, 100.0);
    p.battery->params.capacity_pct[5] = 80.0;
    p.battery->speed = 600.0;  // a model's ten minutes a second
    p.battery->test_amps = 10.0;
    p.battery->test_start_s = 1.0;
    ASSERT_EQ(p.Problem(), "");
    MonitorModel m(0x81, p, 1);
    EXPECT_GT(m.CurrentRaw(), 2500) << "a float current before the test";
    m.Answer(0xA1, 0.5);
    EXPECT_NE(m.Truth().find("\"test\":\"none\""), std::string::npos) << m.Truth();
    m.Answer(0xA1, 30.0);  // 290 of the model's minutes into the test
    EXPECT_EQ(m.CurrentRaw(), 2500 - 10 * 25);
    EXPECT_NE(m.Truth().find("\"test\":\"running\""), std::string::npos);
    const auto cells = m.Answer(0xA1, 52.0);  // block 6 at its end 2 s (the hold) before
    ASSERT_TRUE(cells);
    EXPECT_NE(m.Truth().find("\"test\":\"ended\""), std::string::npos) << m.Truth();
    EXPECT_GT(m.CurrentRaw(), 2500) << "the charger recharges";
    EXPECT_LT(cells->raw[5], cells->raw[4]);
    EXPECT_NE(m.Truth().find("\"capacity_ah\":[100.0000,100.0000,100.0000,100.0000,100.0000,80.0000,"),
              std::string::npos)
        << m.Truth();
}
