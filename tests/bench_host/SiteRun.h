#pragma once
// A site run end to end: monitor-sim on a pseudo-terminal, bench-host run on
// a site file written for the test, and what both leave behind (the
// simulator's log of intact replies, the JSON lines of the run, history).
#include <gtest/gtest.h>
#include <json/value.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
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
    // The adapter pulled out under a running host: its path goes, as a
    // device node does, and the simulator ends, its line with it.
    void Unplug();
    // A monitor-sim on a pseudo-terminal of its own, linked at link, its
    // replies logged to the file log in the test's folder.
    std::unique_ptr<ChildProcess> Sim(const std::string& link, const std::string& log,
                                      const std::vector<std::string>& extra);
    // port_keys: more keys of the port, e.g. R"("quiet_guard_ms":50,)";
    // margin_ms: the response margin, 60 ms as the examples' sites have it;
    // the faulty-line measurement sets its own.  Never widened for a busy
    // machine: a test whose verdict a late reply can change proves its
    // counts on a fake clock instead.
    std::string Site(const std::string& devices, double tick = 0.1, const std::string& port_keys = "",
                     int margin_ms = 60);
    ChildProcess::Result RunHost(const std::string& site, const std::vector<std::string>& extra,
                                 std::chrono::milliseconds deadline = std::chrono::seconds(60));

    // Every value the simulator put on the line intact and in time, as the
    // plug-in scales it.
    struct SimValues {
        std::set<std::vector<float>> cells;
        std::set<float> group_voltage, group_current, temperature;
    };
    SimValues ReadValuesLog(int cells);
    // The same, per bus address.
    std::map<int, SimValues> ReadValuesLogByAddress(int cells);

    // The intact replies per bus address, in the order they were sent (of
    // the simulator that logged to the file log).
    struct Sent {
        int cmd = 0;
        std::vector<float> values;  // the cells, or the one reading
        bool late = false;          // held back until the master had given up
        std::optional<int> as;      // sent with this other monitor's address
        int twin = 0;               // which monitor set to the address sent it, 0 the first
    };
    std::map<int, std::vector<Sent>> ReadSent(int cells, const std::string& log = "values.jsonl");
    // "" when a record holds what the monitor sent for one cycle's very
    // requests: its cells as one reply in time, and the string voltage,
    // current and temperature as the next replies in time to those
    // commands; otherwise what does not match.
    static std::string Mismatch(const std::vector<Sent>& sent, const std::vector<float>& cells, float group_voltage,
                                float group_current, float temperature);
    // Checks every record the history holds for the device against what the
    // monitor at bus_addr sent (Mismatch), each failure naming its record;
    // the number of records.  With several monitors' logs, or several
    // monitors set to the address in one log, each record must be one
    // monitor's.
    long CheckStoredRecords(uint32_t device_id, int bus_addr, int cells,
                            const std::vector<std::string>& logs = {"values.jsonl"});

    std::string dir_, link_, db_;
    std::unique_ptr<ChildProcess> sim_;
};
