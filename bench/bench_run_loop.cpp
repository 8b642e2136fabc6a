// What a poll cycle costs the host itself: `bench-host run` whole, in this
// process, on a fake clock with its lines in memory (the tests' FakeClock
// and MonitorLine), so that no wait on the wire or the tick is counted, only
// the host's own work: the scheduler, the plug-in's calls, alarms, the JSON
// lines, and the store thread's writes to a fresh history file.  On a real
// line the rest of each cycle is spent waiting for bytes; a host that needs
// more than its tick for this work cannot hold the tick however quiet the
// line.  These are the figures the end-to-end tests no longer assert (a
// loaded machine changes them): they are measured here, not judged.
//
//   bench_run_loop [--minutes M] [--dir DIR]
//
// M fake minutes of each site (default 10).  The history goes to DIR,
// /dev/shm by default: the fake clock runs far faster than any disk
// commits, and what a stored round costs the disk is bench_store's to
// measure.  Prints, per site, the rounds run, the real time the bus loop
// took for them and the process's CPU time (the store thread's included),
// per round, against the time the tick leaves a round, and the records
// stored.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "FakeClock.h"
#include "MonitorLine.h"
#include "history/HistoryStore.h"
#include "run/SiteHost.h"

namespace fs = std::filesystem;

namespace {

double CpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The fake clock, noting when on the real one the bus loop reached the
// run's end.
class TimedClock : public FakeClock {
public:
    TimedClock(Steady::time_point start, Wall::time_point wall, Steady::duration length)
        : FakeClock(start, wall), end_(start + length) {}
    int Poll(std::vector<pollfd>& fds, Steady::time_point until) override {
        const int n = FakeClock::Poll(fds, until);
        if (!ended_ && Now() >= end_) ended_ = std::chrono::steady_clock::now();
        return n;
    }
    std::optional<std::chrono::steady_clock::time_point> ended_;

private:
    Steady::time_point end_;
};

struct Site {
    const char* what;
    int devices;
    double tick;
};

void Measure(const Site& s, double minutes, const std::string& dir) {
    const std::string db = dir + "/bench_run_loop.sqlite";
    for (const char* x : {"", "-wal", "-shm"}) fs::remove(db + x);
    const std::string port = dir + "/bench_run_loop.line";
    std::string devices;
    for (int i = 1; i <= s.devices; ++i)
        devices += std::string(i > 1 ? "," : "") + R"({"id":)" + std::to_string(100 + i) +
                   R"(,"type":"upsbattery_29","addr":)" + std::to_string(i) +
                   R"(,"config":{"appSetting":{}},"alarms":{"battery_*_value":{"low":12.0,"high":14.4}}})";
    const std::string site = dir + "/bench_run_loop.json";
    std::ofstream(site) << R"({"tick_period":)" << s.tick << R"(,"history":")" << db << R"(","ports":[{"path":")"
                        << port << R"(","devices":[)" << devices << "]}]}";

    const auto real_now = RunClock::Steady::now().time_since_epoch();
    // Behind the machine's monotonic clock, which the bus still reads where
    // it waits for a run's last answers.
    const auto length = std::chrono::duration_cast<RunClock::Steady::duration>(std::chrono::duration<double>(minutes * 60));
    TimedClock clock(RunClock::Steady::time_point(real_now - std::min<RunClock::Steady::duration>(real_now / 2, std::chrono::hours(1))),
                     RunClock::Wall::now(), length);
    RunOptions options;
    options.config_path = site;
    options.plugin = BENCH_HOST_PLUGIN;
    options.json = true;
    options.duration = minutes * 60;
    SiteHost host(options);
    std::ostringstream out, err;
    SiteHost::Machine machine;
    machine.clock = &clock;
    machine.make_port = [&clock, &s](const std::string& path) -> std::unique_ptr<BusPort> {
        auto line = std::make_unique<MonitorLine>(clock, path);
        for (int i = 1; i <= s.devices; ++i)
            line->SetMonitor(static_cast<uint8_t>(0x80 + i), MonitorLine::Prompt());
        return line;
    };
    machine.out = &out;
    machine.err = &err;
    host.On(machine);

    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const int status = host.Run();
    const double real = std::chrono::duration<double>(clock.ended_.value_or(std::chrono::steady_clock::now()) - t0).count();
    const double cpu = CpuSeconds() - cpu0;

    long cycles = 0;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        if (line.find(R"("ev":"round")") != std::string::npos) ++cycles;
    long stored = 0;
    HistoryStore(db, HistoryStore::Access::kReadOnly).Reader().ForEachRow(std::nullopt, [&](const history::Row&) {
        ++stored;
    });
    std::printf("%-38s status %d, %ld rounds in %.0f fake s: bus loop %.2f s real, process %.2f s CPU; a round %.0f us "
                "real, %.0f us CPU (the tick leaves %.0f us); %ld stored\n",
                s.what, status, cycles, minutes * 60, real, cpu, cycles ? 1e6 * real / cycles : 0.0,
                cycles ? 1e6 * cpu / cycles : 0.0, 1e6 * s.tick / s.devices, stored);
    for (const char* x : {"", "-wal", "-shm"}) fs::remove(db + x);
    fs::remove(site);
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10;
    std::string dir = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--minutes")) minutes = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
    }
    for (const Site& s : {Site{"one device, 0.2 s tick", 1, 0.2}, Site{"eight devices on one bus, 0.05 s tick", 8, 0.05},
                          Site{"eight devices on one bus, 2 s tick", 8, 2.0}})
        Measure(s, minutes, dir);
    return 0;
}
