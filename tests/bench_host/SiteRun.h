#pragma once
// A site run end to end: monitor-sim on a pseudo-terminal, bench-host run on
// a site file written for the test, and what both leave behind (the
// simulator's log of intact replies, the JSON lines of the run, history).
#include <gtest/gtest.h>
#include <json/value.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"

extern const std::string kBin;
extern const std::string kSim;

std::vector<Json::Value> JsonLines(const std::string& text);
std::vector<Json::Value> Events(const std::vector<Json::Value>& all, const std::string& ev);

class SiteRun : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void StartSim(const std::vector<std::string>& extra);
    std::string Site(const std::string& devices, double tick = 0.1);
    ChildProcess::Result RunHost(const std::string& site, const std::vector<std::string>& extra,
                                 std::chrono::milliseconds deadline = std::chrono::seconds(60));

    // Every value the simulator put on the line intact, as the plug-in
    // scales it.
    struct SimValues {
        std::set<std::vector<float>> cells;
        std::set<float> group_voltage, group_current, temperature;
    };
    SimValues ReadValuesLog(int cells);
    // The same, per bus address.
    std::map<int, SimValues> ReadValuesLogByAddress(int cells);

    std::string dir_, link_, db_;
    std::unique_ptr<ChildProcess> sim_;
};
