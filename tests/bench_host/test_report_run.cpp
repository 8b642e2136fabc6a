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
    ASSERT_GT(stored, 100);
    EXPECT_EQ(d["watch"]["rounds"].asInt64(), stored);
    EXPECT_EQ(d["rest"]["rounds"].asInt64() + d["under_discharge"]["rounds"].asInt64() +
                  d["load_step_rounds"].asInt64() + d["watch"]["undecoded_rounds"].asInt64(),
              stored);
    // The run counted its late polls; a lone monitor on its bus has none.
    ASSERT_TRUE(d["watch"]["late_polls"].isIntegral()) << d["watch"].toStyledString();
    EXPECT_EQ(d["watch"]["late_polls"].asInt(), 0);
    // The run's own counts: every completed cycle stored a round; a fault-
    // free line lost none but the one the stop may have cut.
    const Json::Value& counted = d["watch"]["cycles"];
    EXPECT_EQ(counted["runs_counted"].asInt(), 1);
    EXPECT_EQ(counted["runs_not_recorded"].asInt(), 0);
    EXPECT_EQ(counted["completed"].asInt64(), stored);
    EXPECT_LE(counted["lost"].asInt64(), 1);
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

class VerdictRun : public SiteRun {};

// The simulator's modelled string, block 6 aged to 80 % of its rating,
// tested at its rated current (a rating so small that the test takes half
// a minute): the report's capacity and the block that ended the test agree
// with the model's truth in the values log.
TEST_F(VerdictRun, ACapacityTestOfTheModelledStringFindsItsAgedBlock) {
    StartSim({"--seed", "3", "--current-sensor", "--battery", "--drift", "0", "--capacity-ah", "0.2",
              "--capacity-hours", "0.01", "--block-capacity", "5:80", "--capacity-test", "20:3"});
    const std::string site =
        Site(R"({"id":12,"addr":1,"config":{"appSetting":{"current_ratio":1}},)"
             R"("battery":{"capacity_ah":0.2,"capacity_hours":0.01}})");
    const auto run = RunHost(site, {"--duration", "40"}, 120s);
    ASSERT_EQ(run.status, 0) << run.err;
    sim_.reset();

    // The model's truth: block 6 holds 80 % of the rating, and the test
    // ended.  At the rated current it runs (0.8)^k of the rated time, by
    // Peukert's law: what the test's time-adjusted capacity measures.
    double truth_capacity = 0;
    bool ended = false;
    {
        std::ifstream in(dir_ + "/values.jsonl");
        std::string line;
        Json::CharReaderBuilder b;
        while (std::getline(in, line)) {
            Json::Value v;
            std::string errs;
            std::istringstream s(line);
            if (!Json::parseFromStream(b, s, &v, &errs) || v["kind"].asString() != "truth") continue;
            truth_capacity = v["capacity_ah"][5].asDouble() / v["capacity_ah"][4].asDouble() * 100.0;
            ended = ended || v["test"].asString() == "ended";
        }
    }
    ASSERT_TRUE(ended);
    EXPECT_NEAR(truth_capacity, 80.0, 1e-6);
    const double truth_runtime_pct = std::pow(truth_capacity / 100.0, 1.121) * 100.0;

    const std::string html = dir_ + "/report.html", json = dir_ + "/report.json";
    const auto rep = ChildProcess::Run({kBin, "report", "--db", db_, "--out", html, "--json", json}, 60s);
    ASSERT_EQ(rep.status, 0) << rep.err;
    const Json::Value v = ReadJson(json)["devices"][0]["verdict"];
    ASSERT_EQ(v["capacity_tests"].size(), 1u) << v.toStyledString();
    const Json::Value& t = v["capacity_tests"][0];
    EXPECT_NEAR(t["capacity_pct"].asDouble(), truth_runtime_pct, 3.0) << t.toStyledString();
    EXPECT_EQ(t["first_block"].asInt(), 6);
    EXPECT_FALSE(t["lower_bound"].asBool());
    EXPECT_DOUBLE_EQ(t["kt"].asDouble(), 1.0);
    EXPECT_EQ(v["battery_from"].asString(), site);
    EXPECT_EQ(v["state"].asString(), "act now");
    EXPECT_EQ(v["findings"][0]["finding"].asString().rfind("capacity ", 0), 0u) << v["findings"][0].toStyledString();
    EXPECT_NE(rep.out.find("verdict: device 12: act now; " + v["findings"][0]["finding"].asString() + "\n"),
              std::string::npos)
        << rep.out;
    EXPECT_EQ(v["charge_state"]["last"].asString(), "recharge");
}

}  // namespace
