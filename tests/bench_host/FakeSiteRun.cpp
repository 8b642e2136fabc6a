#include "FakeSiteRun.h"

#include <json/reader.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "run/SiteHost.h"

namespace {

// The monotonic clock of a fake run stays behind the machine's own, which
// the bus still reads where it waits for the last answers of a run.  Whole
// seconds, as the wall clock's start is: the run reads both in whole
// milliseconds, and a fraction of one on either would make a step read a
// millisecond off from one run to the next.
RunClock::Steady::time_point FakeStart() {
    const auto real = RunClock::Steady::now().time_since_epoch();
    const auto back = std::min<RunClock::Steady::duration>(real / 2, std::chrono::hours(1));
    return std::chrono::time_point_cast<std::chrono::seconds>(RunClock::Steady::time_point(real - back));
}

}  // namespace

std::vector<Json::Value> FakeSiteRun::Result::Of(const std::string& ev) const {
    std::vector<Json::Value> out;
    for (const auto& e : events)
        if (e["ev"].asString() == ev) out.push_back(e);
    return out;
}

Json::Value FakeSiteRun::Result::One(const std::string& ev, int id) const {
    std::vector<Json::Value> found;
    for (const auto& e : Of(ev))
        if (id == 0 || e["id"].asInt() == id) found.push_back(e);
    EXPECT_EQ(found.size(), 1u) << ev << " of " << id << " in\n" << out;
    return found.empty() ? Json::Value() : found[0];
}

void FakeSiteRun::SetUp() {
    dir_ = ::testing::TempDir() + "/fake_run_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    db_ = dir_ + "/history.sqlite";
    // Whole seconds of the machine's wall clock: the history's own rows
    // (the run's start, its summaries) are stamped by it.
    wall_next_ = std::chrono::time_point_cast<std::chrono::seconds>(RunClock::Wall::now());
}

void FakeSiteRun::TearDown() { std::filesystem::remove_all(dir_); }

FakeClock& FakeSiteRun::Clock() {
    if (!clock_) clock_ = std::make_unique<FakeClock>(FakeStart(), wall_next_);
    return *clock_;
}

std::string FakeSiteRun::Port(const std::string& name, std::function<void(MonitorLine&)> setup) {
    const std::string path = dir_ + "/" + name;
    ports_[path] = std::move(setup);
    return path;
}

std::string FakeSiteRun::PortJson(const std::string& path, const std::vector<int>& ids, const std::string& device_keys) {
    std::string devices;
    int addr = 0;
    for (const int id : ids)
        devices += std::string(devices.empty() ? "" : ",") + R"({"id":)" + std::to_string(id) +
                   R"(,"type":"upsbattery_29","addr":)" + std::to_string(++addr) + R"(,"config":{"appSetting":{}})" +
                   device_keys + "}";
    return R"({"path":")" + path + R"(","devices":[)" + devices + "]}";
}

std::string FakeSiteRun::Site(const std::string& ports_json, double tick) {
    const std::string path = dir_ + "/site.json";
    std::ofstream(path) << R"({"tick_period":)" << tick << R"(,"history":")" << db_ << R"(","ports":[)" << ports_json
                        << "]}";
    return path;
}

FakeSiteRun::Result FakeSiteRun::Run(const std::string& site, RunOptions options) {
    FakeClock& clock = Clock();
    options.config_path = site;
    options.plugin = BENCH_HOST_PLUGIN;
    options.json = true;
    std::ostringstream out, err;
    SiteHost host(options);
    SiteHost::Machine machine;
    machine.clock = &clock;
    machine.make_port = [this, &clock](const std::string& path) -> std::unique_ptr<BusPort> {
        auto line = std::make_unique<MonitorLine>(clock, path);
        const auto setup = ports_.find(path);
        if (setup != ports_.end()) setup->second(*line);
        return line;
    };
    machine.before_write = before_write_;
    machine.out = &out;
    machine.err = &err;
    host.On(machine);
    Result r;
    r.status = host.Run();
    r.out = out.str();
    r.err = err.str();
    Json::CharReaderBuilder b;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        std::string errs;
        std::istringstream ls(line);
        if (Json::parseFromStream(b, ls, &v, &errs)) r.events.push_back(v);
    }
    wall_next_ = std::chrono::time_point_cast<std::chrono::seconds>(clock.WallNow()) + std::chrono::minutes(1);
    clock_.reset();
    return r;
}
