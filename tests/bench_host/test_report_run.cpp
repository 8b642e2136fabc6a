// bench-host report over a real run: monitor-sim discharges the string with
// one high-resistance cell, bench-host run stores it, and the report's
// figures are held against what the simulator says it sent.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "history/HistoryStore.h"
#include "SiteRun.h"

namespace {

using namespace std::chrono_literals;

const std::string kPlugin = BENCH_HOST_PLUGIN;

// The current through the Hall sensor's formula, as the plug-in reads it
// with "current_ratio" set.
double SensorAmps(unsigned raw) { return (raw / 10.0 / 125.0 - 2.0) * 50.0; }

Json::Value ReadJson(const std::string& path) {
    std::ifstream in(path);
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << errors;
    return v;
}

class ReportRun : public SiteRun {};

TEST_F(ReportRun, TheWeakCellOfADischargeIsRankedFirstAndTheFiguresAgreeWithTheSimulator) {
    // 20 A from 3 s for 15 s; cell index 5 (cell 6) with three times the
    // resistance.
    StartSim({"--seed", "11", "--current-sensor", "--discharge", "20:3:15", "--high-resistance", "5:3"});
    const std::string site = Site(
        R"({"id":12,"type":"upsbattery_29","addr":1,"config":{"appSetting":{"current_ratio":1}},)"
        R"("alarms":{"battery_*_value":{"low":11.5,"high":14.4},"group_voltage":{"low":300}}})");
    const auto run = RunHost(site, {"--duration", "21"}, 90s);
    ASSERT_EQ(run.status, 0) << run.err;
    sim_.reset();  // the values log is complete

    const std::string html = dir_ + "/report.html", json = dir_ + "/report.json";
    const auto rep = ChildProcess::Run({kBin, "report", "--db", db_, "--out", html, "--json", json}, 60s);
    ASSERT_EQ(rep.status, 0) << rep.err;
    EXPECT_NE(rep.out.find("report: " + html), std::string::npos) << rep.out;
    const Json::Value r = ReadJson(json);
    ASSERT_EQ(r["devices"].size(), 1u);
    const Json::Value& d = r["devices"][0];

    // Every stored round is counted, and each once.
    long stored = 0;
    {
        HistoryStore store(db_, HistoryStore::Access::kReadOnly);
        store.Reader().ForEachRow(12, [&](const history::Row&) { ++stored; });
    }
    // A quiet machine stores well over 100; a loaded one may hold the process up
    // for some (the run counts that below as late polls), not for a third.
    ASSERT_GT(stored, 70);
    EXPECT_EQ(d["watch"]["rounds"].asInt64(), stored);
    EXPECT_EQ(d["rest"]["rounds"].asInt64() + d["under_discharge"]["rounds"].asInt64() +
                  d["load_step_rounds"].asInt64() + d["watch"]["undecoded_rounds"].asInt64(),
              stored);
    // The report's late polls and cycles are the run's own counts.  A lone
    // monitor on a fault-free line has no late poll and loses none but the
    // cycle the stop may cut, unless the machine held the process up: that
    // is the machine's, and the run says so in its late polls.
    const auto summaries = Events(JsonLines(run.out), "summary");
    ASSERT_EQ(summaries.size(), 1u) << run.out;
    ASSERT_TRUE(d["watch"]["late_polls"].isIntegral()) << d["watch"].toStyledString();
    EXPECT_EQ(d["watch"]["late_polls"].asInt(), summaries[0]["late_polls"].asInt());
    const Json::Value& counted = d["watch"]["cycles"];
    EXPECT_EQ(counted["runs_counted"].asInt(), 1);
    EXPECT_EQ(counted["runs_not_recorded"].asInt(), 0);
    EXPECT_EQ(counted["completed"].asInt64(), stored);
    EXPECT_EQ(counted["completed"].asInt64(), summaries[0]["completed"].asInt64());
    if (summaries[0]["late_polls"].asInt() == 0 && summaries[0]["skipped"].asInt() == 0) {
        EXPECT_LE(counted["lost"].asInt64(), 1);
    }
    EXPECT_GE(counted["started"].asInt64(), stored);

    // The simulator's cycles: each cell reply with the current that
    // followed it, which decides whether its round was under discharge.
    struct Cycle {
        std::vector<double> cells;
        double amps = 0;
    };
    std::vector<Cycle> cycles;
    std::vector<std::pair<double, double>> currents;  // (t, A)
    {
        std::ifstream in(dir_ + "/values.jsonl");
        std::stringstream text;
        text << in.rdbuf();
        for (const auto& e : JsonLines(text.str())) {
            const std::string kind = e["kind"].asString();
            if (kind == "cells") {
                Cycle c;
                for (int i = 0; i < 29; ++i) c.cells.push_back(e["raw"][i].asUInt() / 100.0);
                cycles.push_back(c);
            } else if (kind == "group_current" && !cycles.empty()) {
                cycles.back().amps = SensorAmps(e["raw"].asUInt());
                currents.push_back({e["t"].asDouble(), cycles.back().amps});
            }
        }
    }
    // A cycle cut short by the end of the run stores no round.
    EXPECT_NEAR(static_cast<double>(cycles.size()), static_cast<double>(stored), 1.0);

    // Mean deviation of each cell from the cycle's mean cell, under discharge.
    std::vector<double> dev(29, 0.0);
    long n = 0;
    for (const auto& c : cycles) {
        if (c.amps > -1.0) continue;
        double mean = 0;
        for (double v : c.cells) mean += v / 29.0;
        for (int i = 0; i < 29; ++i) dev[i] += (c.cells[i] - mean) * 1000.0;
        ++n;
    }
    ASSERT_GT(n, 50);
    EXPECT_NEAR(d["under_discharge"]["rounds"].asDouble(), static_cast<double>(n), 1.0);
    // Within 3 mV: a cycle at either edge of the event may fall on the other
    // side in one count and not the other.
    for (int i = 0; i < 29; ++i)
        EXPECT_NEAR(d["cells"][i]["discharge"]["deviation_mv"].asDouble(), dev[i] / n, 3.0) << "cell " << i + 1;

    const Json::Value& weak = d["cells"][5];
    EXPECT_EQ(weak["cell"].asInt(), 6);
    EXPECT_EQ(weak["discharge"]["rank"].asInt(), 1);
    EXPECT_TRUE(weak["discharge"]["flagged"].asBool());
    for (const auto& c : d["cells"]) {
        const int cell = c["cell"].asInt();
        if (cell != 6) {
            EXPECT_FALSE(c["discharge"]["flagged"].asBool()) << cell;
        }
        EXPECT_FALSE(c["flagged"].asBool()) << cell;  // at rest they are level
    }

    // One discharge, its charge as the simulator's currents give it: the
    // trapezoids over the replies, within 2 % (rounds the master lost or
    // that fell at an edge).
    ASSERT_EQ(d["discharges"].size(), 1u);
    const Json::Value& e = d["discharges"][0];
    double ah = 0;
    const std::pair<double, double>* prev = nullptr;
    for (const auto& c : currents) {
        if (c.second > -1.0) continue;
        if (prev) ah += -(c.second + prev->second) / 2.0 * (c.first - prev->first) / 3600.0;
        prev = &c;
    }
    EXPECT_NEAR(ah, 20.0 * 15 / 3600, 20.0 * 0.5 / 3600);  // the simulator did discharge for 15 s
    EXPECT_NEAR(e["ampere_hours"].asDouble(), ah, ah * 0.02);
    EXPECT_NEAR(e["duration_s"].asDouble(), 15.0, 0.5);
    EXPECT_EQ(e["lowest_cell"].asInt(), 6);
    EXPECT_EQ(e["ended_by"].asString(), "current");
    EXPECT_EQ(e["end_cells_v"].size(), 29u);
    EXPECT_LT(e["lowest_v"].asDouble(), 11.0);  // 13.5 - 3 x (0.1 + 1.0)

    // The weak cell went below its 11.5 V limit and came back after the
    // discharge: one alarm, raised and cleared, lasting under the event.
    bool low6 = false;
    for (const auto& a : d["alarms"]) {
        if (a["name"].asString() != "battery_5_value") continue;
        low6 = true;
        EXPECT_EQ(a["ended_by"].asString(), "cleared");
        EXPECT_GT(a["duration_s"].asDouble(), 0.0);
        EXPECT_LT(a["duration_s"].asDouble(), 15.5);
    }
    EXPECT_TRUE(low6);
    // The string's limit no alarm recorded comes from the run's site file.
    bool site_limit = false;
    for (const auto& l : d["limits"])
        site_limit = site_limit || (l["name"] == "group_voltage" && l["bound"] == "low" && l["value"] == 300.0 &&
                                    l["from"] == site);
    EXPECT_TRUE(site_limit) << d["limits"].toStyledString();
    ASSERT_EQ(r["runs"].size(), 1u);
    EXPECT_EQ(r["runs"][0]["plugin_sha256"].asString().size(), 64u);

    // The page says the same, and asks for nothing outside itself.
    std::ifstream page(html);
    std::stringstream text;
    text << page.rdbuf();
    const std::string body = text.str();
    EXPECT_NE(body.find("default-src 'none'"), std::string::npos);
    for (const char* outside : {"http://", "https://", "<script", "src="}) EXPECT_EQ(body.find(outside), std::string::npos) << outside;
    EXPECT_NE(body.find("Discharge 1"), std::string::npos);
}

TEST_F(ReportRun, CommandLineAndFilesThatCannotBeUsed) {
    const std::string out = dir_ + "/r.html";
    struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"report", "--db", dir_ + "/none.sqlite", "--out", out}, 1, "cannot open history"},
        {{"report", "--db", db_, "--out", out, "--from", "yesterday"}, 2, "not an ISO 8601 time"},
        {{"report", "--db", db_, "--out", out, "--from", "2026-12-08T10:00", "--to", "2026-12-08"}, 2, "after --to"},
        {{"report", "--db", db_}, 2, "--out"},
        {{"report", "--db", db_, "--out", out, "--flag-rest-mv", "0"}, 2, "above 0"},
        {{"report", "--db", db_, "--out", dir_ + "/no/such/dir/r.html"}, 1, "cannot write"},
    };
    // A history with one round, so that only the case's own fault fails it.
    StartSim({"--seed", "1"});
    ASSERT_EQ(RunHost(Site(R"({"id":3,"type":"upsbattery_29","addr":1,"config":{"appSetting":{}}})"), {"--rounds", "1"})
                  .status,
              0);
    for (const auto& c : cases) {
        std::vector<std::string> argv{kBin};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = ChildProcess::Run(argv, 30s);
        EXPECT_EQ(r.status, c.status) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // A device that stored nothing gets a report that says so.
    const auto r = ChildProcess::Run({kBin, "report", "--db", db_, "--out", out, "--id", "99", "--json", out + ".json"}, 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("nothing stored"), std::string::npos) << r.err;
    EXPECT_EQ(ReadJson(out + ".json")["devices"][0]["watch"]["rounds"].asInt(), 0);
}

}  // namespace

namespace {

std::string Num(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

class VerdictRun : public SiteRun {
protected:
    // One run of a fresh simulator on its own link; the run's JSON lines.
    // The values log is the simulator's, complete once it has stopped.
    std::vector<Json::Value> RunOn(const std::vector<std::string>& sim, const std::string& battery, double seconds) {
        link_ = dir_ + "/monitor" + std::to_string(++runs_) + ".pty";
        StartSim(sim);
        const auto run = RunHost(Site(R"({"id":12,"addr":1,"config":{"appSetting":{"current_ratio":1}},"battery":)" +
                                      battery + "}"),
                                 {"--duration", Num(seconds)}, 60s);
        EXPECT_EQ(run.status, 0) << run.err;
        sim_.reset();
        return JsonLines(run.out);
    }
    std::vector<Json::Value> ValuesLog(const std::string& kind) {
        std::ifstream in(dir_ + "/values.jsonl");
        std::stringstream text;
        text << in.rdbuf();
        std::vector<Json::Value> out;
        for (auto& v : JsonLines(text.str()))
            if (v["kind"].asString() == kind) out.push_back(v);
        return out;
    }
    Json::Value Verdict(const std::vector<std::string>& extra = {}) {
        const std::string json = dir_ + "/report" + std::to_string(runs_) + ".json";
        std::vector<std::string> argv{kBin, "report", "--db", db_, "--out", json + ".html", "--json", json};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const auto rep = ChildProcess::Run(argv, 60s);
        EXPECT_EQ(rep.status, 0) << rep.err;
        const Json::Value v = ReadJson(json)["devices"][0]["verdict"];
        // The report says the verdict on its last line, as the demo shows it.
        const std::string line = "verdict: device 12: " + v["state"].asString();
        EXPECT_NE(rep.out.find(line), std::string::npos) << rep.out;
        return v;
    }
    int runs_ = 0;
};

// A round's time of day in seconds, from its "at".
double SecondsOfDay(const Json::Value& round) {
    const std::string at = round["at"].asString();
    return std::stod(at.substr(11, 2)) * 3600 + std::stod(at.substr(14, 2)) * 60 + std::stod(at.substr(17, 6));
}

// The simulator's modelled string against the verdict's figures, each
// scenario a run of its own: the model's truth is in the values log.  The
// model runs `speed` times the run's pace, so the site rates the string in
// the run's time (100 Ah over 10 h becomes 100/speed Ah over 10/speed h:
// the same current, the same Peukert ratio).
TEST_F(VerdictRun, TheVerdictsFiguresAgreeWithTheModelledStringsTruth) {
    const std::vector<std::string> battery{"--seed", "3", "--current-sensor", "--battery", "--drift", "0"};
    auto sim = [&](std::vector<std::string> more) {
        more.insert(more.begin(), battery.begin(), battery.end());
        return more;
    };
    auto rated = [](double speed) {
        return R"({"capacity_ah":)" + Num(100 / speed) + R"(,"capacity_hours":)" + Num(10 / speed) + "}";
    };
    struct Case {
        const char* what;
        double temperature, speed, seconds;
    } tests[] = {
        // 30 A: 175 of the model's minutes at the rating, 80 % of them for block 6.
        {"tested at 25 °C", 25, 500, 22},
        {"tested at 35 °C: KT 0.93", 35, 1000, 13},
    };
    double capacity_25 = 0;
    for (const auto& c : tests) {
        SCOPED_TRACE(c.what);
        db_ = dir_ + "/test" + std::to_string(runs_) + ".sqlite";
        const auto lines = RunOn(sim({"--temperature", Num(c.temperature), "--battery-speed",
                                      Num(c.speed), "--block-capacity", "5:80",
                                      "--capacity-test", "30:2"}),
                                 rated(c.speed), c.seconds);
        // The truth: block 6 holds 80 % of the rating (at 25 °C; 6 % more at
        // 35 °C), and the test ended.
        const auto truth = ValuesLog("truth");
        ASSERT_FALSE(truth.empty());
        EXPECT_EQ(truth.back()["test"].asString(), "ended");
        EXPECT_NEAR(truth.back()["capacity_ah"][5].asDouble() / truth.back()["capacity_ah"][4].asDouble(), 0.8, 1e-4);

        const Json::Value v = Verdict();
        ASSERT_EQ(v["capacity_tests"].size(), 1u) << v.toStyledString();
        const Json::Value& t = v["capacity_tests"][0];
        EXPECT_NEAR(t["capacity_pct"].asDouble(), 80.0, 3.0) << t.toStyledString();
        EXPECT_NEAR(t["kt"].asDouble(), c.temperature == 25 ? 1.0 : 0.93, 1e-9);
        // The model's string lasts 6 % longer at 35 °C, and its time counts
        // KT: Ta / (Ts × KT) would read 14 % above the test at 25 °C.
        if (c.temperature == 25)
            capacity_25 = t["capacity_pct"].asDouble();
        else
            EXPECT_NEAR(t["capacity_pct"].asDouble() / capacity_25, 1.06 * 0.93, 0.03);
        EXPECT_EQ(t["first_block"].asInt(), 6);
        EXPECT_FALSE(t["lower_bound"].asBool());
        EXPECT_EQ(t["decision"].asString(), "replace");
        // Live, the run's summary gives the same test, told apart the same way.
        EXPECT_NEAR(Events(lines, "summary").at(0)["capacity"]["pct"].asDouble(), t["capacity_pct"].asDouble(), 0.1);
        EXPECT_EQ(v["state"].asString(), "act now");
        EXPECT_EQ(v["findings"][0]["finding"].asString().rfind("capacity ", 0), 0u)
            << v["findings"][0].toStyledString();
        EXPECT_EQ(v["charge_state"]["last"].asString(), "recharge");
        if (c.temperature != 25) continue;

        // Time remaining a quarter into the test, live in the run's lines,
        // against the model's state at that point: block 6's charge left,
        // drawn at Peukert's rate, in the run's seconds.
        std::vector<Json::Value> discharging;
        for (const auto& r : Events(lines, "round"))
            if (r["charge_state"].asString() == "discharge") discharging.push_back(r);
        std::vector<Json::Value> under_load;
        for (const auto& e : truth)
            if (e["current_a"].asDouble() < -1) under_load.push_back(e);
        ASSERT_GT(discharging.size(), 40u);
        ASSERT_GT(under_load.size(), 40u);
        const double test_s = under_load.back()["t"].asDouble() - under_load.front()["t"].asDouble();
        const Json::Value* quarter = nullptr;
        for (const auto& r : discharging)
            if (!quarter && SecondsOfDay(r) - SecondsOfDay(discharging.front()) >= test_s / 4) quarter = &r;
        const Json::Value* state = nullptr;
        for (const auto& e : under_load)
            if (!state && e["t"].asDouble() - under_load.front()["t"].asDouble() >=
                              SecondsOfDay(*quarter) - SecondsOfDay(discharging.front()))
                state = &e;
        ASSERT_TRUE(quarter && state);
        const double drawn_a = 30 * std::pow(30 * 10 / 100.0, 0.121);
        double truth_s = 1e9;
        for (int b = 0; b < 29; ++b)
            truth_s = std::min(truth_s, (*state)["soc"][b].asDouble() * (*state)["capacity_ah"][b].asDouble() /
                                            drawn_a * 3600 / c.speed);
        EXPECT_NEAR((*quarter)["time_remaining_s"].asDouble(), truth_s, truth_s * 0.1) << quarter->toStyledString();
    }

    // Block 11 at 1.6 times the resistance of its baseline run: load steps
    // of 20 A within a discharge (10 A, 30 A for 1.5 s, 10 A again), the
    // blocks at 20 mΩ so that a 10 mV reading resolves 2.5 % of a step.
    {
        SCOPED_TRACE("resistance on its baseline");
        db_ = dir_ + "/resistance.sqlite";
        const std::vector<std::string> steps{"--battery-speed", "100", "--cell-resistance", "20", "--capacity-test",
                                             "10:1", "--discharge", "30:2:1.5"};
        RunOn(sim(steps), rated(100), 4.5);
        const auto set = ChildProcess::Run({kBin, "baseline", "--db", db_, "--set"}, 30s);
        ASSERT_EQ(set.status, 0) << set.err;
        auto aged = steps;
        aged.insert(aged.end(), {"--high-resistance", "10:1.6"});
        const auto lines = RunOn(sim(aged), rated(100), 4.5);
        const auto rounds = Events(lines, "round");
        ASSERT_FALSE(rounds.empty());
        EXPECT_TRUE(Events(lines, "summary").at(0)["baseline_date"].isString()) << "the run read the baseline";
        const Json::Value v = Verdict({"--from", rounds.front()["at"].asString()});
        const Json::Value& blocks = v["resistance"]["blocks"];
        ASSERT_EQ(blocks.size(), 29u) << v["resistance"].toStyledString();
        for (const auto& b : blocks) {
            SCOPED_TRACE(b.toStyledString());
            EXPECT_EQ(b["flag"].asString(), b["block"].asInt() == 11 ? "act" : "");
        }
        EXPECT_NEAR(blocks[10]["rise_pct"].asDouble(), 60.0, 10.0);
        EXPECT_GE(v["resistance"]["steps_on_charge"].asInt(), 1) << "the test's start, off float";
    }

    // On float at 35 °C, block 5 held at 13.5 V, the float voltage at 25 °C:
    // high against its target of 13.32 V whenever on float, never judged
    // while the string discharges (20 A for a second).
    {
        SCOPED_TRACE("float at 35 °C");
        db_ = dir_ + "/float.sqlite";
        RunOn(sim({"--temperature", "35", "--weak-cell", "4:13.5", "--discharge", "20:1.5:1"}),
              R"({"float_settle_s":0})", 4);
        const Json::Value v = Verdict();
        const Json::Value& f = v["float"];
        EXPECT_GT(f["rounds_judged"].asInt(), 10) << f.toStyledString();
        EXPECT_GT(f["rounds_held"].asInt(), 5);
        EXPECT_NEAR(f["last_target_v"].asDouble(), 13.32, 1e-6);
        for (const auto& b : f["blocks"]) {
            SCOPED_TRACE(b.toStyledString());
            EXPECT_EQ(b["out_of_band_rounds"].asInt(), b["block"].asInt() == 5 ? f["rounds_judged"].asInt() : 0);
        }
        EXPECT_NEAR(f["blocks"][4]["worst_mv"].asDouble(), 180, 5);
        bool found = false;
        for (const auto& x : v["findings"])
            found = found ||
                    x["finding"].asString() == "block 5: 180 mV above its float target of 13.32 V at 35.0 °C; flagged";
        EXPECT_TRUE(found) << v["findings"].toStyledString();
    }
}

}  // namespace
