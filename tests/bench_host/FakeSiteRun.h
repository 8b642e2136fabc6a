#pragma once
// `bench-host run` whole, in the test's own process, on a fake clock
// (FakeClock) with its ports in memory (MonitorLine): the plug-in loaded
// as a run loads it, the site file, the store thread, the history file and
// the JSON lines as a run writes them.  Nothing sleeps; every run of a case
// sees the same times, so what a run counts can be asserted exactly.
#include <gtest/gtest.h>
#include <json/value.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "MonitorLine.h"
#include "run/RunOptions.h"
#include "run/StoreThread.h"

class FakeSiteRun : public ::testing::Test {
protected:
    struct Result {
        int status = -1;
        std::string out, err;
        std::vector<Json::Value> events;  // the JSON lines
        std::vector<Json::Value> Of(const std::string& ev) const;
        // The one line of that event about one device (or of the run, id 0).
        Json::Value One(const std::string& ev, int id = 0) const;
    };

    void SetUp() override;
    void TearDown() override;

    // The clock of the next run: set its steps and things to happen on it
    // before Run.  Each run has a clock of its own, its wall clock going on
    // from where the last run's stopped.
    FakeClock& Clock();
    // A port of the site, set up as each run opens it.
    std::string Port(const std::string& name, std::function<void(MonitorLine&)> setup);
    // A site file: tick_period and ports with their devices, as a JSON text.
    std::string Site(const std::string& ports_json, double tick = 0.2);
    // One port's JSON with one device at address addr per id.
    static std::string PortJson(const std::string& path, const std::vector<int>& ids,
                                const std::string& device_keys = "");

    Result Run(const std::string& site, RunOptions options);

    std::string dir_, db_;
    // Called before each write on the store thread (a slow disk holds it).
    StoreThread::BeforeWrite before_write_;

private:
    std::unique_ptr<FakeClock> clock_;
    RunClock::Wall::time_point wall_next_;
    std::map<std::string, std::function<void(MonitorLine&)>> ports_;
};
