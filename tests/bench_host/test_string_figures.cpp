// The report's figures over rounds made up for each case, so every number
// can be worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "report/ChartTicks.h"
#include "report/RoundTimeline.h"
#include "report/StringFigures.h"
#include "report/StringReport.h"

using report::Round;
using report::Series;
using report::Settings;
using report::StringFigures;

namespace {

constexpr int64_t kT0 = 1765000000000;  // some moment, ms

Round Make(int64_t second, double current, std::function<double(int)> cell = [](int) { return 13.5; }) {
    Round r;
    r.ms = kT0 + second * 1000;
    r.at = "t" + std::to_string(second);
    r.decoded = true;
    r.current = static_cast<float>(current);
    double sum = 0;
    for (int i = 0; i < 29; ++i) sum += r.cells[i] = static_cast<float>(cell(i));
    r.voltage = static_cast<float>(sum);
    r.temperature = 25.0f;
    return r;
}

report::DeviceFigures Figures(const std::vector<Round>& rounds, const Settings& s = Settings()) {
    StringFigures f(7, s);
    for (const auto& r : rounds) f.Add(r);
    return f.Finish({}, {}, report::PeriodClock(kT0, rounds.empty() ? kT0 : rounds.back().ms));
}

}  // namespace

TEST(StringFigures, RestRanksTheLowCellFirstAndFlagsBothWaysPastTheThreshold) {
    // Cell 6 sits 200 mV low, cell 10 120 mV high, cell 20 60 mV low: the
    // mean cell is 13.5 + (-0.2 + 0.12 - 0.06) / 29.
    std::vector<Round> rounds;
    for (int s = 0; s < 20; ++s)
        rounds.push_back(Make(s, 0.5, [](int i) { return i == 5 ? 13.3 : i == 9 ? 13.62 : i == 19 ? 13.44 : 13.5; }));
    const auto f = Figures(rounds);
    const double mean = 13.5 + (-0.2 + 0.12 - 0.06) / 29.0;
    EXPECT_NEAR(f.rest.mean_cell_v, mean, 1e-5);
    EXPECT_EQ(f.rest.rounds, 20);
    EXPECT_EQ(f.discharge.rounds, 0);
    struct {
        int cell, rank;
        double dev_mv;
        bool flagged;
    } want[] = {
        {6, 1, (13.3 - mean) * 1000, true},
        {20, 2, (13.44 - mean) * 1000, false},
        {10, 29, (13.62 - mean) * 1000, true},
        {1, 3, (13.5 - mean) * 1000, false},
    };
    for (const auto& w : want) {
        const auto& c = f.rest.cells[w.cell - 1];
        EXPECT_EQ(c.cell, w.cell);
        EXPECT_EQ(c.rank, w.rank) << w.cell;
        EXPECT_NEAR(c.deviation_mv, w.dev_mv, 0.01) << w.cell;
        EXPECT_NEAR(c.worst_deviation_mv, w.dev_mv, 0.01) << w.cell;
        EXPECT_EQ(c.flagged, w.flagged) << w.cell;
        EXPECT_EQ(c.n, 20);
    }
    // Ranks are a permutation of 1..29.
    std::vector<int> seen(30, 0);
    for (const auto& c : f.rest.cells) ++seen.at(c.rank);
    for (int k = 1; k <= 29; ++k) EXPECT_EQ(seen[k], 1) << k;
}

TEST(StringFigures, WorstDeviationKeepsItsSignAndMoment) {
    // Cell 3 dips 300 mV once and rises 100 mV once: its worst is the dip.
    std::vector<Round> rounds;
    for (int s = 0; s < 10; ++s)
        rounds.push_back(Make(s, 0.5, [s](int i) { return i != 2 ? 13.5 : s == 4 ? 13.2 : s == 7 ? 13.6 : 13.5; }));
    const auto f = Figures(rounds);
    const auto& c = f.rest.cells[2];
    EXPECT_NEAR(c.worst_deviation_mv, (-0.3 + 0.3 / 29) * 1000, 0.01);
    EXPECT_EQ(c.worst_ms, kT0 + 4000);
    EXPECT_NEAR(c.min_v, 13.2, 1e-5);
    EXPECT_NEAR(c.max_v, 13.6, 1e-5);
    EXPECT_FALSE(c.flagged);  // one reading is not a cell apart
}

TEST(StringFigures, DischargesAreFoundByTheCurrentAndTheirChargeIntegrated) {
    struct Case {
        const char* name;
        // Seconds and current of each round, one a second unless said.
        std::vector<std::pair<int, double>> rounds;
        int events;
        double ah;  // of the first event
        int64_t start_s, end_s;
        const char* ended_by;
        long discharge_rounds, load_step_rounds;
    };
    auto steady = [](int from, int to, double amps) {
        std::vector<std::pair<int, double>> v;
        for (int s = from; s < to; ++s) v.push_back({s, amps});
        return v;
    };
    auto join = [](std::vector<std::vector<std::pair<int, double>>> parts) {
        std::vector<std::pair<int, double>> v;
        for (auto& p : parts) v.insert(v.end(), p.begin(), p.end());
        return v;
    };
    const Case cases[] = {
        // 20 A from 10 s to 70 s: 60 s of rounds, 1/3 Ah.
        {"one event", join({steady(0, 10, 0.5), steady(10, 71, -20), steady(71, 80, 0.5)}), 1, 20.0 * 60 / 3600, 10,
         70, "current", 61, 0},
        {"ramp", join({steady(0, 5, 1), {{5, -10}, {6, -20}, {7, -30}, {8, -40}, {9, -50}, {10, -60}, {11, -70},
                                         {12, -80}, {13, -90}, {14, -100}, {15, -110}}, steady(16, 20, 1)}),
         1, (10 + 110) / 2.0 * 10 / 3600, 5, 15, "current", 11, 0},
        {"a 5 s load step is not a discharge", join({steady(0, 10, 0.5), steady(10, 15, -30), steady(15, 30, 0.5)}), 0,
         0, 0, 0, "", 0, 5},
        {"small charge wobble", join({steady(0, 30, -0.5), steady(30, 60, 0.4)}), 0, 0, 0, 0, "", 0, 0},
        {"still discharging at the end", join({steady(0, 5, 0.5), steady(5, 41, -10)}), 1, 10.0 * 35 / 3600, 5, 40,
         "period", 36, 0},
        // 20 s, then no rounds for 200 s, then 20 s more: two events, the
        // pause's charge not guessed.
        {"a gap ends it", join({steady(0, 21, -20), steady(221, 242, -20)}), 2, 20.0 * 20 / 3600, 0, 20, "gap", 42, 0},
    };
    for (const auto& c : cases) {
        std::vector<Round> rounds;
        for (const auto& [s, amps] : c.rounds) rounds.push_back(Make(s, amps));
        const auto f = Figures(rounds);
        ASSERT_EQ(static_cast<int>(f.discharges.size()), c.events) << c.name;
        EXPECT_EQ(f.discharge.rounds, c.discharge_rounds) << c.name;
        EXPECT_EQ(f.load_step_rounds, c.load_step_rounds) << c.name;
        // Every round is counted somewhere.
        EXPECT_EQ(f.rest.rounds + f.recharge.rounds + f.discharge.rounds + f.load_step_rounds + f.watch.undecoded,
                  f.watch.rounds)
            << c.name;
        if (c.events == 0) continue;
        const auto& d = f.discharges.front();
        EXPECT_NEAR(d.ampere_hours, c.ah, 1e-6) << c.name;
        EXPECT_EQ(d.start_ms, kT0 + c.start_s * 1000) << c.name;
        EXPECT_EQ(d.end_ms, kT0 + c.end_s * 1000) << c.name;
        EXPECT_STREQ(report::DischargeEndName(d.ended_by), c.ended_by) << c.name;
    }
}

// At rest means float or no current: a round on the charger's recharge
// (above recharge_amps) is its own column, judged against its own
// threshold, where the cells spread as they do under load.
TEST(StringFigures, RestRechargeAndDischargeAreEachTheirOwnColumn) {
    struct Case {
        const char* what;
        double current;
        long rest, recharge, discharge;
        bool cell6_flagged_at_rest;
    } cases[] = {
        {"float at half an ampere", 0.5, 20, 0, 0, true},
        {"no current", 0.0, 20, 0, 0, true},
        {"just at the recharge threshold: still float", 1.0, 20, 0, 0, true},
        {"the charger's recharge at 1.5 A", 1.5, 0, 20, 0, false},
        {"the charger's limit", 10, 0, 20, 0, false},
        {"a sensor's zero below 0", -0.5, 20, 0, 0, true},
        {"a discharge", -20, 0, 0, 20, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Cell 6 150 mV low: past the rest threshold, within recharge's.
        std::vector<Round> rounds;
        for (int s = 0; s < 20; ++s) rounds.push_back(Make(s, c.current, [](int i) { return i == 5 ? 13.35 : 13.5; }));
        const auto f = Figures(rounds);
        EXPECT_EQ(f.rest.rounds, c.rest);
        EXPECT_EQ(f.recharge.rounds, c.recharge);
        EXPECT_EQ(f.discharge.rounds + f.load_step_rounds, c.discharge);
        EXPECT_EQ(f.rest.cells[5].flagged, c.cell6_flagged_at_rest);
        EXPECT_FALSE(f.recharge.cells[5].flagged);
        EXPECT_EQ(f.recharge.threshold_mv, Settings{}.flag_recharge_mv);
        const auto flags = report::StringVerdict::Flags(f);
        ASSERT_EQ(flags.size(), c.cell6_flagged_at_rest ? 1u : 0u);
        if (c.cell6_flagged_at_rest) {
            EXPECT_FALSE(flags[0].recharge || flags[0].discharge);
        }
    }
}

// The page says what the JSON says: the operator's note that a run was a
// capacity test, and figures that round to 0 without a sign.
TEST(StringFigures, ThePageCarriesTheTestNoteAndNoSignedZero) {
    StringReport r;
    history::Run run;
    run.id = 4;
    run.started_at = "2026-12-08T10:00:00.000+00:00";
    run.test_note = "annual test & 10 A load bank";
    r.runs.push_back(run);
    r.devices.emplace_back();
    r.devices[0].id = 12;
    report::StringVerdict v;
    v.id = 12;
    v.verdict.state = "good";
    v.baseline = history::Baseline{};
    v.baseline->taken_at = "2026-06-01T10:00:00.000+00:00";
    for (const double rise : {-0.04, 0.04, -3.96, 19.96}) {
        verdict::BlockOhms b;
        b.block = static_cast<int>(v.figures.resistance.size()) + 1;
        b.rise_pct = rise;
        v.figures.resistance.push_back(b);
    }
    r.verdicts.push_back(v);
    const std::string page = r.ToHtml();
    EXPECT_NE(page.find("a capacity test: annual test &amp; 10 A load bank"), std::string::npos);
    EXPECT_NE(page.find("resistance rise in % 1:&nbsp;0.0, 2:&nbsp;0.0, 3:&nbsp;-4.0, 4:&nbsp;+19.96"),
              std::string::npos);
    EXPECT_EQ(page.find("-0.0"), std::string::npos);
    const Json::Value j = r.ToJson();
    EXPECT_EQ(j["runs"][0]["test_note"].asString(), run.test_note);
    EXPECT_EQ(j["devices"][0]["verdict"]["resistance"]["blocks"][0]["rise_pct"].asDouble(), 0.0);
    EXPECT_FALSE(std::signbit(j["devices"][0]["verdict"]["resistance"]["blocks"][0]["rise_pct"].asDouble()));
}

TEST(StringFigures, TheDischargeNamesTheCellThatSaggedFurthestAndRanksItFirst) {
    // Cell 12 sags three times as fast as the rest under 20 A; at rest all
    // are level.
    std::vector<Round> rounds;
    for (int s = 0; s < 10; ++s) rounds.push_back(Make(s, 0.5));
    for (int s = 10; s <= 40; ++s) {
        const double fall = 0.1 + 0.02 * (s - 10);
        rounds.push_back(Make(s, -20, [fall](int i) { return 13.5 - (i == 11 ? 3 : 1) * fall; }));
    }
    for (int s = 41; s < 50; ++s) rounds.push_back(Make(s, 0.5));
    const auto f = Figures(rounds);
    ASSERT_EQ(f.discharges.size(), 1u);
    const auto& d = f.discharges[0];
    EXPECT_EQ(d.lowest_cell, 12);
    EXPECT_NEAR(d.lowest_v, 13.5 - 3 * 0.7, 1e-5);
    EXPECT_EQ(d.lowest_ms, kT0 + 40000);
    ASSERT_EQ(d.end_cells_v.size(), 29u);
    EXPECT_NEAR(d.end_cells_v[0], 13.5 - 0.7, 1e-5);
    EXPECT_NEAR(d.end_voltage_v, 28 * 12.8 + 11.4, 1e-3);
    EXPECT_NEAR(d.mean_current_a, -20, 1e-6);
    EXPECT_EQ(f.discharge.cells[11].rank, 1);
    EXPECT_TRUE(f.discharge.cells[11].flagged);  // mean 2 x 0.4 V below the others
    EXPECT_FALSE(f.discharge.cells[0].flagged);
    EXPECT_FALSE(f.rest.cells[11].flagged);
    EXPECT_EQ(f.rest.rounds, 19);
    EXPECT_EQ(f.discharge.rounds, 31);
}

TEST(StringFigures, UnreadRoundsAndCellsAreCountedButStayOutOfTheFigures) {
    std::vector<Round> rounds;
    rounds.push_back(Make(0, 0.5));
    Round bad;
    bad.ms = kT0 + 1000;
    rounds.push_back(bad);  // a record that could not be decoded
    rounds.push_back(Make(2, 0.5, [](int i) { return i == 4 ? 0.0 : 13.5; }));  // cell 5 not read
    const auto f = Figures(rounds);
    EXPECT_EQ(f.watch.rounds, 3);
    EXPECT_EQ(f.watch.undecoded, 1);
    EXPECT_EQ(f.rest.rounds, 2);
    EXPECT_EQ(f.rest.cells[4].n, 1);
    EXPECT_NEAR(f.rest.cells[4].min_v, 13.5, 1e-6);  // the 0 is no reading
    EXPECT_NEAR(f.rest.cells[0].deviation_mv, 0.0, 1e-3);
    EXPECT_DOUBLE_EQ(f.watch.longest_gap_s, 1.0);
}

// A gap between rounds across a forward step of the wall clock is the time
// the bench went without rounds, not the day the clock jumped.
TEST(StringFigures, AGapAcrossAForwardStepLeavesTheStepOut) {
    constexpr int64_t kDay = 86400;
    const struct {
        const char* what;
        std::vector<int64_t> seconds;                 // of the rounds
        std::vector<std::pair<int64_t, int64_t>> jumps;  // from, to (s)
        double longest_gap_s;
    } cases[] = {
        {"no step", {0, 1, 2, 18, 19}, {}, 16},
        {"1 day forward inside a silence of 16 s", {0, 1, 10 + kDay, 11 + kDay}, {{2, 2 + kDay}}, 9},
        {"1 day forward between rounds a second apart", {0, 1, 2 + kDay, 3 + kDay}, {{1, 1 + kDay}}, 1},
        {"a step outside the rounds' gap", {0, 1, 40}, {{100, 100 + kDay}}, 39},
        // Rounds before a step back lie later than the jump's start.
        {"a jump that began before the gap", {5000, 5001, 110 + kDay}, {{100, 100 + kDay}}, 10},
    };
    for (const auto& c : cases) {
        StringFigures f(7, Settings());
        for (const auto& [from, to] : c.jumps) f.ClockJumpedForward(kT0 + from * 1000, kT0 + to * 1000);
        for (const int64_t s : c.seconds) f.Add(Make(s, 1.5));
        EXPECT_DOUBLE_EQ(f.WatchSoFar().longest_gap_s, c.longest_gap_s) << c.what;
    }
}

// Rounds stored with their run's monotonic moment, in the order they came,
// put on that clock (RoundTimeline): no step of the wall clock, back or
// forward, noted or not, is in a gap; between runs the wall clock is all
// there is, and rows without a monotonic moment keep their wall time.  An
// alarm raised and a trouble begun with the first round, both still open at
// the period's end, lasted as long as the runs went on (PeriodClock).
TEST(StringFigures, GapsAreMeasuredOnTheRunsMonotonicClock) {
    constexpr int64_t kDay = 86400, kHour = 3600;
    struct Stored {
        int64_t run, wall_s;
        std::optional<int64_t> mono_s;
    };
    const struct {
        const char* what;
        std::vector<Stored> rounds;                      // in the order stored
        std::vector<std::pair<int64_t, int64_t>> jumps;  // noted forward steps, from, to (s)
        double longest_gap_s;
        double open_s;  // the alarm's and the trouble's
    } cases[] = {
        {"no step", {{1, 0, 0}, {1, 2, 2}, {1, 7, 7}}, {}, 5, 7},
        {"back an hour", {{1, 0, 0}, {1, 2, 2}, {1, 4 - kHour, 4}, {1, 6 - kHour, 6}}, {}, 2, 6},
        {"forward a day", {{1, 0, 0}, {1, 2, 2}, {1, 4 + kDay, 4}, {1, 6 + kDay, 6}}, {}, 2, 6},
        {"back an hour, then forward a day",
         {{1, 0, 0}, {1, 2 - kHour, 2}, {1, 4 - kHour, 4}, {1, 6 + kDay, 6}},
         {},
         2,
         6},
        {"forward a day, then back an hour: the last round is not the latest",
         {{1, 0, 0}, {1, 2 + kDay, 2}, {1, 4 + kDay - kHour, 4}},
         {},
         2,
         4},
        {"a noted jump takes nothing off a measured silence",
         {{1, 0, 0}, {1, 2, 2}, {1, 20 + kDay, 20}},
         {{3, 3 + kDay}},
         18,
         20},
        {"between runs, the wall clock", {{1, 0, 0}, {1, 2, 2}, {2, 100, 0}, {2, 102, 2}}, {}, 98, 102},
        {"a step in the first run, then the next run",
         {{1, 0, 0}, {1, 2 + kDay, 2}, {2, 10 + kDay, 0}, {2, 12 + kDay, 2}},
         {},
         8,
         12},
        {"a run's second anchor is its first", {{1, 50, 0}, {1, 52 - kHour, 2}, {1, 53 - kHour, 3}}, {}, 2, 3},
        {"rows without a monotonic moment", {{1, 0, {}}, {1, 2, {}}, {1, 12, {}}}, {}, 10, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StringFigures f(7, Settings());
        report::RoundTimeline timeline;
        report::PeriodClock period;
        int64_t first = kT0 + c.rounds[0].wall_s * 1000, last = first;
        for (const auto& [from, to] : c.jumps) f.ClockJumpedForward(kT0 + from * 1000, kT0 + to * 1000);
        for (const auto& s : c.rounds) {
            Round r = Make(0, 1.5);
            const std::optional<int64_t> mono = s.mono_s ? std::optional<int64_t>(*s.mono_s * 1000) : std::nullopt;
            r.run_id = s.run;
            r.ms = timeline.At(s.run, kT0 + s.wall_s * 1000, mono);
            r.monotonic = mono.has_value();
            r.wall_ms = kT0 + s.wall_s * 1000;
            f.Add(r);
            period.Seen(report::Moment{s.run, kT0 + s.wall_s * 1000, mono});
            first = std::min(first, kT0 + s.wall_s * 1000);
            last = std::max(last, kT0 + s.wall_s * 1000);
        }
        EXPECT_DOUBLE_EQ(f.WatchSoFar().longest_gap_s, c.longest_gap_s);
        period.Bound(first, last, false, false);
        const Stored& at = c.rounds[0];
        const std::optional<int64_t> mono = at.mono_s ? std::optional<int64_t>(*at.mono_s * 1000) : std::nullopt;
        history::Alarm raised;
        raised.state = "raised";
        raised.run_id = at.run;
        raised.at_ms = kT0 + at.wall_s * 1000;
        raised.mono_ms = mono;
        history::Health silent;
        silent.state = "not answering";
        silent.run_id = at.run;
        silent.since_ms = raised.at_ms;
        silent.since_mono_ms = mono;
        const auto d = f.Finish({raised}, {silent}, period);
        ASSERT_EQ(d.alarms.size(), 1u);
        EXPECT_DOUBLE_EQ(d.alarms[0].duration_s, c.open_s);
        ASSERT_EQ(d.watch.troubles.size(), 1u);
        EXPECT_DOUBLE_EQ(d.watch.troubles[0].duration_s, c.open_s);
    }
}

// A trouble at an edge of the period: one that began before a --from
// counts from it, one still going on at the end counts to the end; both
// measured on the run's clock where its rows say where it was, so a step of
// the wall clock between the edge and the row adds nothing.
TEST(StringFigures, TroublesAtThePeriodsEdgesAreMeasuredOnTheRunsClock) {
    constexpr int64_t kDay = 86400;
    struct Change {
        const char* state;
        int64_t wall_s, mono_s;
        std::optional<int64_t> lasted_s;
    };
    const struct {
        const char* what;
        int64_t start_s, end_s;
        bool from_given, to_given;
        std::vector<std::pair<int64_t, int64_t>> seen;  // rounds of run 1 read in the period: wall, mono (s)
        std::vector<Change> health;
        std::vector<double> durations;
    } cases[] = {
        {"begun before --from, ended after a step of a day",
         20, 2 * kDay, true, true, {{21, 21}, {kDay + 40, 40}},
         {{"not answering", 10, 10, {}}, {"answering", kDay + 30, 30, 20}}, {10}},
        {"over before --from", 100, 2 * kDay, true, true, {{101, 101}},
         {{"not answering", 10, 10, {}}, {"answering", 50, 50, 40}}, {}},
        {"open at the end asked for: the run's last round, then the wall clock", 0, kDay + 100, true, true,
         {{0, 0}, {kDay + 5, 5}}, {{"not answering", 2, 2, {}}}, {98}},
        {"open at the end of the rows: the run's last round", 0, kDay + 5, false, false,
         {{0, 0}, {kDay + 5, 5}}, {{"not answering", 2, 2, {}}}, {3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        report::PeriodClock period;
        for (const auto& [wall, mono] : c.seen) period.Seen(report::Moment{1, kT0 + wall * 1000, mono * 1000});
        period.Bound(kT0 + c.start_s * 1000, kT0 + c.end_s * 1000, c.from_given, c.to_given);
        std::vector<history::Health> health;
        for (const auto& h : c.health) {
            history::Health row;
            row.state = h.state;
            row.run_id = 1;
            row.since_ms = kT0 + h.wall_s * 1000;
            row.since_mono_ms = h.mono_s * 1000;
            if (h.lasted_s) row.lasted_ms = *h.lasted_s * 1000;
            health.push_back(row);
        }
        std::vector<double> durations;
        for (const auto& t : report::Troubles(health, period)) durations.push_back(t.duration_s);
        EXPECT_EQ(durations, c.durations);
    }
}

TEST(StringFigures, ChartsStayWithinTheirBoundAndKeepEveryRound) {
    Settings s;
    s.chart_points = 16;
    std::vector<Round> rounds;
    for (int k = 0; k < 10000; ++k) rounds.push_back(Make(k, k == 5000 ? 80.0 : 1.5));
    const auto f = Figures(rounds, s);
    const auto& b = f.string_chart.Buckets();
    ASSERT_LE(b.size(), 16u);
    long n = 0;
    double most = 0;
    for (const auto& x : b) n += x.n, most = std::max(most, x.max[1]);
    EXPECT_EQ(n, 10000);
    EXPECT_DOUBLE_EQ(most, 80.0);  // a spike survives the merging
    EXPECT_EQ(b.front().first_ms, kT0);
    EXPECT_EQ(b.back().last_ms, kT0 + 9999 * 1000);
    EXPECT_LE(f.deviation_chart.Buckets().size(), 16u);
}

// Columns as wide as the time they cover: a minute summarised into one
// bucket and a minute of rounds one bucket each take the same width, a
// silence longer than the gap stays blank, a shorter pause does not.
TEST(StringFigures, ChartColumnsAreToScaleInTimeWithGapsBlank) {
    const auto bucket = [](int64_t from_s, int64_t to_s, long n, double v) {
        Series::Bucket b;
        b.first_ms = kT0 + from_s * 1000;
        b.last_ms = kT0 + to_s * 1000 + 999;  // rounds fill their seconds
        b.n = n;
        b.sum = {v * static_cast<double>(n)};
        return b;
    };
    const struct {
        const char* what;
        std::vector<Series::Bucket> buckets;
        std::size_t slots;
        std::string drawn;  // per slot: the mean's digit, '.' blank
    } cases[] = {
        {"one minute of 60 rounds, then 60 buckets of one round",
         [&] {
             std::vector<Series::Bucket> b{bucket(0, 59, 60, 1)};
             for (int k = 60; k < 120; ++k) b.push_back(bucket(k, k, 1, 2));
             return b;
         }(),
         4, "1122"},
        {"a silence of 200 s between two minutes", {bucket(0, 59, 60, 1), bucket(260, 319, 60, 3)}, 8, "11....33"},
        {"a pause of 100 s is no gap", {bucket(0, 59, 60, 1), bucket(160, 219, 60, 3)}, 11, "11111111333"},
        {"a discharge at 15-42 % of the period",
         {bucket(0, 149, 150, 1), bucket(150, 419, 270, 5), bucket(420, 999, 580, 1)}, 20, "11155555311111111111"},  // the discharge ends in slot 8
    };
    for (const auto& c : cases) {
        const auto t = report::SlotsInTime(c.buckets, 1, c.slots, 120000);
        std::string drawn;
        for (const auto& m : t.means) drawn += m ? static_cast<char>('0' + std::lround((*m)[0])) : '.';
        EXPECT_EQ(drawn, c.drawn) << c.what;
        EXPECT_EQ(t.t0, c.buckets.front().first_ms) << c.what;
    }
    // Lines break at the same gaps.
    const std::vector<Series::Bucket> b{bucket(0, 59, 60, 1), bucket(60, 119, 60, 1), bucket(300, 359, 60, 1)};
    EXPECT_EQ(report::UnbrokenRuns(b, 120000), (std::vector<std::pair<std::size_t, std::size_t>>{{0, 2}, {2, 3}}));
}

// Ticks a reader can name: 1, 2 or 5 × 10^n on a value axis, as many as
// fit; whole steps of the local clock on a time axis.
TEST(StringFigures, ChartTicksFallOnRoundValuesAndTimes) {
    const struct {
        double lo, hi;
        int most;
        std::vector<double> ticks;
        int digits;
    } values[] = {
        {0, 10, 6, {0, 2, 4, 6, 8, 10}, 0},
        {0, 1, 6, {0, 0.2, 0.4, 0.6, 0.8, 1}, 1},
        {12.37, 13.91, 6, {12.5, 13, 13.5}, 1},
        {-21.3, 2.1, 6, {-20, -15, -10, -5, 0}, 0},
        {0.001, 0.0042, 5, {0.001, 0.002, 0.003, 0.004}, 3},
        {340, 420, 6, {340, 360, 380, 400, 420}, 0},
        {5, 5, 6, {}, 0},
        {NAN, 1, 6, {}, 0},
    };
    for (const auto& c : values) {
        const auto t = report::ChartTicks::Values(c.lo, c.hi, c.most);
        ASSERT_EQ(t.values.size(), c.ticks.size()) << c.lo << ".." << c.hi;
        for (std::size_t i = 0; i < t.values.size(); ++i) EXPECT_NEAR(t.values[i], c.ticks[i], 1e-9) << c.lo;
        if (!c.ticks.empty()) {
            EXPECT_EQ(t.digits, c.digits) << c.lo << ".." << c.hi;
        }
    }
    constexpr int64_t kDay0 = 1764979200000, kS = 1000, kMin = 60 * kS, kH = 60 * kMin;  // a UTC midnight
    const struct {
        const char* what;
        int64_t t0, t1;
        long offset_s;
        int64_t step, first;
        std::size_t n;
    } times[] = {
        {"20 s: every 5 s", kDay0 + 3500, kDay0 + 23200, 0, 5 * kS, kDay0 + 5 * kS, 4},
        {"a round second is a tick", kDay0 + 5 * kS, kDay0 + 9 * kS, 0, kS, kDay0 + 5 * kS, 5},
        {"90 min: every 15 min", kDay0 + 10 * kH + 7 * kMin, kDay0 + 11 * kH + 37 * kMin, 0, 15 * kMin,
         kDay0 + 10 * kH + 15 * kMin, 6},
        {"2 days: every 12 h", kDay0 + 30 * kMin, kDay0 + 48 * kH + 30 * kMin, 0, 12 * kH, kDay0 + 12 * kH, 4},
        {"5 h at +05:30: on the local hour", kDay0 + 20 * kMin, kDay0 + 5 * kH + 10 * kMin, 19800, kH,
         kDay0 + 30 * kMin, 5},
        {"2 days at +08:00: local noon and midnight", kDay0 + 30 * kMin, kDay0 + 48 * kH + 30 * kMin, 28800, 12 * kH,
         kDay0 + 4 * kH, 4},
        {"40 days: every 10 days", kDay0 + 30 * kMin, kDay0 + 40 * 24 * kH + 30 * kMin, 0, 240 * kH,
         kDay0 + 2 * 24 * kH, 4},
    };
    for (const auto& c : times) {
        const auto t = report::ChartTicks::Times(c.t0, c.t1, 7, c.offset_s);
        EXPECT_EQ(t.step_ms, c.step) << c.what;
        ASSERT_EQ(t.ms.size(), c.n) << c.what;
        EXPECT_EQ(t.ms.front(), c.first) << c.what;
        EXPECT_LE(t.ms.back(), c.t1) << c.what;
    }
    const std::string stamp = "2026-12-08T23:04:30.000+00:00";
    EXPECT_EQ(report::ChartTicks::Label(stamp, 5 * kS), "23:04:30");
    EXPECT_EQ(report::ChartTicks::Label(stamp, 15 * kMin), "23:04");
    EXPECT_EQ(report::ChartTicks::Label(stamp, 24 * kH), "12-08");
}

// A table's moments never wrap; its paths wrap only after a '/'.
TEST(StringFigures, TimesAndPathsWrapOnlyWhereTheyMay) {
    const struct {
        std::string path, html;
    } paths[] = {
        {"/work/wt/a.json",
         "<span class='path'><span>/</span><wbr><span>work/</span><wbr><span>wt/</span><wbr><span>a.json</span></span>"},
        {"build/demo-site.json", "<span class='path'><span>build/</span><wbr><span>demo-site.json</span></span>"},
        {"a<b/c/", "<span class='path'><span>a&lt;b/</span><wbr><span>c/</span></span>"},
        {"", "<span class='path'></span>"},
    };
    for (const auto& c : paths) EXPECT_EQ(report::PathHtml(c.path), c.html) << c.path;
    EXPECT_EQ(report::TimeHtml("2026-12-08T23:04:37.538+00:00"),
              "<span class='t'>2026-12-08T23:04:37.538+00:00</span>");
}

TEST(StringFigures, DischargesPastTheBoundAreCountedNotKept) {
    Settings s;
    s.max_discharges = 3;
    s.discharge_min_s = 1;
    std::vector<Round> rounds;
    for (int e = 0; e < 10; ++e)
        for (int k = 0; k < 6; ++k) rounds.push_back(Make(e * 10 + k, k < 3 ? -5 : 1.5));
    const auto f = Figures(rounds, s);
    EXPECT_EQ(f.discharges.size(), 3u);
    EXPECT_EQ(f.discharges_not_kept, 7);
    EXPECT_EQ(f.discharge.rounds, 30);  // all ten count in the cells' figures
}

TEST(StringFigures, AlarmsArePairedWithTheirEndAndTimed) {
    auto alarm = [](int64_t s, const char* name, const char* state) {
        history::Alarm a;
        a.at_ms = kT0 + s * 1000;
        a.at = "t" + std::to_string(s);
        a.name = name;
        a.state = state;
        a.bound = "low";
        a.limit = 12.0;
        return a;
    };
    const std::vector<history::Alarm> alarms = {
        alarm(10, "battery_5_value", "raised"),  alarm(15, "battery_5_value", "cleared"),
        alarm(20, "battery_2_value", "cleared"),  // raised before the period began
        alarm(30, "battery_5_value", "raised"),  alarm(40, "battery_5_value", "closed"),
        alarm(50, "group_voltage", "raised"),    // still raised at the end
        // The wall clock set back 1 h while it stood: the run's own measure.
        alarm(60, "battery_7_value", "raised"),
        [&] {
            auto a = alarm(-3540, "battery_7_value", "cleared");
            a.lasted_ms = 4000;
            return a;
        }(),
        // Set back with no measure kept: 0, never a negative duration.
        alarm(70, "battery_8_value", "raised"),  alarm(65, "battery_8_value", "cleared"),
    };
    long dropped = -1;
    const auto spans = report::AlarmSpans(alarms, report::PeriodClock(kT0, kT0 + 100000), 100, &dropped);
    EXPECT_EQ(dropped, 0);
    ASSERT_EQ(spans.size(), 6u);
    struct {
        const char* name;
        double duration;
        report::AlarmEnd ended_by;
        bool before;
    } want[] = {{"battery_5_value", 5, report::AlarmEnd::cleared, false},
                {"battery_2_value", 20, report::AlarmEnd::cleared, true},
                {"battery_5_value", 10, report::AlarmEnd::closed, false},
                {"group_voltage", 50, report::AlarmEnd::still_raised, false},
                {"battery_7_value", 4, report::AlarmEnd::cleared, false},
                {"battery_8_value", 0, report::AlarmEnd::cleared, false}};
    for (std::size_t i = 0; i < spans.size(); ++i) {
        EXPECT_EQ(spans[i].name, want[i].name) << i;
        EXPECT_DOUBLE_EQ(spans[i].duration_s, want[i].duration) << i;
        EXPECT_EQ(spans[i].ended_by, want[i].ended_by) << i;
        EXPECT_EQ(spans[i].raised_before, want[i].before) << i;
    }
    EXPECT_FALSE(spans[3].ended_ms.has_value());
    const auto few = report::AlarmSpans(alarms, report::PeriodClock(kT0, kT0 + 100000), 2, &dropped);
    EXPECT_EQ(few.size(), 2u);
    EXPECT_EQ(dropped, 4);
}

// The end states keep the names the JSON has always given them.
TEST(StringFigures, EndStatesAreNamedAsTheJsonNamesThem) {
    EXPECT_STREQ(report::DischargeEndName(report::DischargeEnd::current), "current");
    EXPECT_STREQ(report::DischargeEndName(report::DischargeEnd::gap), "gap");
    EXPECT_STREQ(report::DischargeEndName(report::DischargeEnd::period), "period");
    EXPECT_STREQ(report::AlarmEndName(report::AlarmEnd::still_raised), "still raised");
    EXPECT_STREQ(report::AlarmEndName(report::AlarmEnd::cleared), "cleared");
    EXPECT_STREQ(report::AlarmEndName(report::AlarmEnd::closed), "closed");
    report::StringFigures f(7, Settings{});
    for (const auto& [amps, state] : {std::pair{-20.0, report::RoundState::discharge},
                                      std::pair{-1.0, report::RoundState::discharge},
                                      std::pair{-0.5, report::RoundState::rest}, std::pair{1.0, report::RoundState::rest},
                                      std::pair{1.5, report::RoundState::recharge}})
        EXPECT_EQ(f.StateOf(amps), state) << amps;
}

TEST(StringFigures, HealthChangesBecomeTroublesWithTheirDurations) {
    auto change = [](int64_t since_s, const char* state, long lost) {
        history::Health h;
        h.since_ms = kT0 + since_s * 1000;
        h.at_ms = h.since_ms;
        h.state = state;
        h.cycles_lost = lost;
        return h;
    };
    const std::vector<history::Health> health = {
        change(0, "answering", 0),      change(10, "not answering", 3), change(25, "answering", 12),
        change(40, "port lost", 0),     change(50, "answering", 4),     change(70, "stale", 0),
        change(71, "answering", 0),     change(80, "not answering", 3),
        // The wall clock stepped forward 1 day during the silence: the
        // run's monotonic measure, not 86,415 s.
        [&] {
            auto h = change(95 + 86400, "answering", 16);
            h.lasted_ms = 15900;
            return h;
        }(),
        change(86500, "not answering", 3), change(86490, "answering", 5),  // set back, no measure: 0
        change(86600, "stale", 0),
    };
    const auto t = report::Troubles(health, report::PeriodClock(kT0, kT0 + 86700000));
    ASSERT_EQ(t.size(), 6u);
    EXPECT_DOUBLE_EQ(t[3].duration_s, 15.9);
    EXPECT_DOUBLE_EQ(t[4].duration_s, 0);
    EXPECT_FALSE(t[5].until_ms.has_value());
    EXPECT_DOUBLE_EQ(t[5].duration_s, 100);  // to the period's end
    EXPECT_EQ(t[0].state, "not answering");
    EXPECT_DOUBLE_EQ(t[0].duration_s, 15);
    EXPECT_EQ(t[0].cycles_lost, 12);
    EXPECT_EQ(t[1].state, "port lost");
    EXPECT_DOUBLE_EQ(t[1].duration_s, 10);
    EXPECT_EQ(t[2].state, "stale");
    EXPECT_DOUBLE_EQ(t[2].duration_s, 1);
}
