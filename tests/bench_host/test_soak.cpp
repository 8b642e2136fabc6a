// The soak: eight monitors on one bus with every fault on, late replies
// among them, bench-host run for tens of thousands of poll cycles.  Not part
// of the everyday suite (scripts/soak.sh runs it): no crash, no growth of
// resident memory after warm-up, every stored record holds what the monitor
// at its address sent in time for that cycle's very requests, and the cycle
// success rate.
//
//   SOAK_CYCLES    poll cycles in all (default 20000)
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "record/BatteryRecord.h"
#include "history/HistoryStore.h"
#include "SiteRun.h"

namespace {

using namespace std::chrono_literals;

constexpr int kMonitors = 8;

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

class Soak : public SiteRun {};

TEST_F(Soak, DISABLED_EveryFaultOnEightMonitors) {
    const long cycles = std::getenv("SOAK_CYCLES") ? std::atol(std::getenv("SOAK_CYCLES")) : 20000;
    const long per_device = (cycles + kMonitors - 1) / kMonitors;

    std::vector<std::string> sim{"--seed", "2027", "--drift", "0.02", "--drop", "0.02", "--silence", "0.005",
                                 "--silence-length", "4", "--wrong-addr", "0.02", "--corrupt", "0.03",
                                 "--garbage", "0.05", "--split", "0.1", "--split-pause-ms", "2",
                                 "--late", "0.01:150"};
    std::string devices;
    for (int i = 1; i <= kMonitors; ++i) {
        sim.push_back("--addr");
        sim.push_back(std::to_string(0x80 + i));
        if (i > 1) devices += ",";
        devices += R"({"id":)" + std::to_string(100 + i) + R"(,"type":"upsbattery_29","addr":)" + std::to_string(i) +
                   R"(,"config":{"appSetting":{}}})";
    }
    StartSim(sim);
    const std::string site = Site(devices, 0.05);

    const auto started = std::chrono::steady_clock::now();
    ChildProcess host({kBin, "run", "--config", site, "--json", "--rounds", std::to_string(per_device)});
    // Resident memory, sampled while the run goes on; the first fifth is
    // warm-up (the history file's cache and the sets of the first rounds).
    std::vector<long> rss;
    const auto deadline = started + std::chrono::minutes(60);
    while (host.ReadSome(1000ms)) {
        const long kib = ResidentKiB(host.Pid());
        if (kib > 0) rss.push_back(kib);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "soak did not finish in time";
    }
    const auto r = host.Finish(60s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);

    sim_->Signal(SIGTERM);
    const auto sim_end = sim_->Finish(30s);

    long total = 0, completed = 0, abandoned = 0;
    std::map<std::string, long> failures;
    for (const auto& s : Events(JsonLines(r.out), "summary")) {
        total += s["cycles"].asInt();
        completed += s["completed"].asInt();
        abandoned += s["abandoned"].asInt();
        for (const auto& name : s["failures"].getMemberNames()) failures[name] += s["failures"][name].asInt();
    }
    EXPECT_GE(total, cycles);
    EXPECT_GT(failures["late reply"], 0);

    // Every stored record holds what the monitor at its address sent in
    // time for that cycle's very requests.
    const auto sent = ReadSent(29);
    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    long rows = 0, bad = 0;
    for (int i = 1; i <= kMonitors; ++i) {
        const auto& replies = sent.at(0x80 + i);
        store.Reader().ForEachRow(100 + i, [&](const HistoryStore::Row& row) {
            ++rows;
            const auto rec = BatteryRecord::Decode(row.record.data(), row.record.size());
            const std::string why =
                !rec ? "not a record"
                     : Mismatch(replies, std::vector<float>(rec->cells.begin(), rec->cells.begin() + 29),
                                rec->group_voltage, rec->group_current, rec->temperature);
            if (!why.empty() && ++bad <= 5) ADD_FAILURE() << "device " << 100 + i << ": " << why;
        });
    }
    EXPECT_EQ(rows, completed);
    EXPECT_EQ(bad, 0);

    ASSERT_GE(rss.size(), 10u);
    const long warm = rss[rss.size() / 5];
    const long peak_after = *std::max_element(rss.begin() + rss.size() / 5, rss.end());
    const long last = rss.back();
    // Nothing may accumulate per cycle: after warm-up the resident size stays
    // within a small margin (allocator and page-cache noise).
    EXPECT_LE(last - warm, 2048) << "resident memory grew from " << warm << " KiB to " << last << " KiB";

    std::cout << "soak: resident memory (KiB) at each tenth of the run:";
    for (int tenth = 1; tenth <= 10; ++tenth) std::cout << " " << rss[(rss.size() - 1) * tenth / 10];
    std::cout << std::endl;
    std::cout << "soak: " << total << " cycles (" << completed << " completed, " << abandoned << " abandoned, "
              << (total ? 100.0 * completed / total : 0.0) << "% success) in " << seconds << " s, "
              << total / seconds << " cycles/s; " << rows << " records stored, " << bad
              << " not matching the replies to their own requests; resident memory after warm-up " << warm
              << " KiB, peak " << peak_after << " KiB, at the end " << last << " KiB" << std::endl;
    std::cout << "soak: failed exchanges:";
    for (const auto& [name, n] : failures) std::cout << " " << n << " " << name << ",";
    std::cout << " " << sim_end.out.substr(sim_end.out.rfind("monitor-sim:")) << std::flush;
    RecordProperty("cycles", static_cast<int>(total));
}

}  // namespace
