// The example site files, each run against monitor-sim with the option that
// matches its settings: the readings come out as the monitor meant them and
// no alarm fires.  The same monitor under the plain example shows what a
// missing setting does, so a key that stops working fails here.
#include <json/reader.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>

#include "SiteRun.h"

namespace {

const std::string kExamples = BENCH_HOST_EXAMPLES;

class ExampleSites : public SiteRun {
protected:
    // The example with its port on the simulator's line, its history here
    // and a short tick.
    std::string Localised(const std::string& example) {
        std::ifstream in(kExamples + "/" + example);
        Json::Value site;
        std::string errors;
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &site, &errors)) << example << errors;
        site["ports"][0]["path"] = link_;
        site["history"] = db_;
        site["tick_period"] = 0.2;
        const std::string path = dir_ + "/" + example;
        std::ofstream(path) << site.toStyledString();
        return path;
    }
};

struct Reading {
    std::vector<float> cells;
    float group_voltage = 0, group_current = 0;
    std::string charge_state;
};

bool Near(float a, float b, float tolerance) { return std::fabs(a - b) <= tolerance; }

TEST_F(ExampleSites, EachSettingReadsTheMonitorItIsMeantFor) {
    struct Case {
        const char* site;
        std::vector<std::string> sim;
        bool alarms;  // whether the example's alarms fire
        std::function<bool(const Reading&)> ok;
        const char* what;
    } cases[] = {
        // The simulator's defaults are a healthy string on float, and the
        // example's battery data (the defaults) read it so.
        {"site.json", {}, false,
         [](const Reading& r) {
             return Near(r.cells[0], 13.5f, 0.001f) && Near(r.group_voltage, 391.5f, 0.05f) &&
                    r.charge_state == "float";
         },
         "12 V cells in hundredths, string in tenths, on float"},
        {"site-millivolts.json", {"--millivolts"}, false,
         [](const Reading& r) { return Near(r.cells[28], 6.75f, 0.001f) && Near(r.group_voltage, 195.75f, 0.1f); },
         "6 V cells in millivolts"},
        {"site-string-hundredths.json", {"--string-hundredths"}, false,
         [](const Reading& r) { return Near(r.group_voltage, 391.5f, 0.01f); }, "string voltage in hundredths"},
        {"site-current-sensor.json", {"--current-sensor", "--current", "10"}, false,
         [](const Reading& r) { return Near(r.group_current, 10.0f, 0.05f); }, "current from the Hall sensor"},
        // Without the matching setting the same monitors read wrong.
        {"site.json", {"--millivolts"}, true, [](const Reading& r) { return r.cells[0] == 0.0f; },
         "millivolts read as hundredths: outside the window, 0"},
        {"site.json", {"--string-hundredths"}, true,
         [](const Reading& r) { return Near(r.group_voltage, 3915.0f, 0.1f); }, "hundredths read as tenths"},
        {"site.json", {"--current-sensor", "--current", "10"}, false,
         [](const Reading& r) { return Near(r.group_current, 275.0f, 0.1f); }, "sensor reading taken as amperes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.site) + ": " + c.what);
        std::vector<std::string> sim{"--seed", "3", "--drift", "0"};
        sim.insert(sim.end(), c.sim.begin(), c.sim.end());
        StartSim(sim);
        const auto r = RunHost(Localised(c.site), {"--rounds", "2"});
        sim_.reset();
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        const auto events = JsonLines(r.out);
        const auto rounds = Events(events, "round");
        ASSERT_FALSE(rounds.empty()) << r.out;
        for (const auto& round : rounds) {
            Reading reading;
            for (const auto& cell : round["cells"]) reading.cells.push_back(cell.asFloat());
            ASSERT_EQ(reading.cells.size(), 29u);
            reading.group_voltage = round["group_voltage"].asFloat();
            reading.group_current = round["group_current"].asFloat();
            reading.charge_state = round["charge_state"].asString();
            EXPECT_TRUE(c.ok(reading)) << "cell 0 " << reading.cells[0] << ", string " << reading.group_voltage
                                       << " V, current " << reading.group_current << " A, "
                                       << reading.charge_state;
        }
        EXPECT_EQ(!Events(events, "alarm").empty(), c.alarms) << r.out;
    }
}

}  // namespace
