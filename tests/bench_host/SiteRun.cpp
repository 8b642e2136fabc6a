#include "SiteRun.h"

#include <json/reader.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "record/BatteryRecord.h"
#include "history/HistoryStore.h"
#include "models/CellWindow.h"
#include "tests/support/Await.h"

using namespace std::chrono_literals;

const std::string kBin = BENCH_HOST_BIN;
const std::string kSim = BENCH_HOST_MONITOR_SIM;

std::vector<Json::Value> JsonLines(const std::string& text) {
    std::vector<Json::Value> out;
    std::istringstream in(text);
    Json::CharReaderBuilder b;
    for (std::string line; std::getline(in, line);) {
        Json::Value v;
        std::string errs;
        std::istringstream ls(line);
        if (Json::parseFromStream(b, ls, &v, &errs)) out.push_back(v);
    }
    return out;
}

std::vector<Json::Value> Events(const std::vector<Json::Value>& all, const std::string& ev) {
    std::vector<Json::Value> out;
    for (const auto& v : all)
        if (v["ev"].asString() == ev) out.push_back(v);
    return out;
}

void SiteRun::SetUp() {
    dir_ = ::testing::TempDir() + "/bench_run_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    link_ = dir_ + "/monitor.pty";
    db_ = dir_ + "/history.sqlite";
}

void SiteRun::TearDown() {
    sim_.reset();
    std::filesystem::remove_all(dir_);
}

void SiteRun::StartSim(const std::vector<std::string>& extra) {
    sim_ = Sim(link_, "values.jsonl", extra);
    ASSERT_TRUE(std::filesystem::exists(link_));
}

void SiteRun::Unplug() {
    // The link goes first.  A simulator killed outright leaves it naming its
    // pseudo-terminal, whose number the next one opened on this machine is
    // given (another test's, under ctest -j): the host would reopen that.
    std::filesystem::remove(link_);
    sim_.reset();
}

std::unique_ptr<ChildProcess> SiteRun::Sim(const std::string& link, const std::string& log,
                                           const std::vector<std::string>& extra) {
    std::vector<std::string> argv{kSim, "--pty-link", link, "--values-log", dir_ + "/" + log};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<ChildProcess>(argv);
    EXPECT_TRUE(sim->WaitForOutput("pty: ", 10s)) << "monitor-sim did not start";
    test_support::Await([&] { return std::filesystem::exists(link); });
    EXPECT_TRUE(std::filesystem::exists(link)) << link;
    return sim;
}

std::string SiteRun::Site(const std::string& devices, double tick, const std::string& port_keys, int margin_ms) {
    const std::string path = dir_ + "/site.json";
    std::ofstream(path) << R"({"tick_period":)" << tick << R"(,"history":")" << db_ << R"(","response_margin_ms":)"
                        << margin_ms << R"(,"ports":[{)" << port_keys << R"("path":")" << link_
                        << R"(","devices":[)" << devices << "]}]}";
    return path;
}

ChildProcess::Result SiteRun::RunHost(const std::string& site, const std::vector<std::string>& extra,
                                      std::chrono::milliseconds deadline) {
    std::vector<std::string> argv{kBin, "run", "--config", site, "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return ChildProcess::Run(argv, deadline);
}

std::map<int, std::vector<SiteRun::Sent>> SiteRun::ReadSent(int cells, const std::string& log) {
    std::map<int, std::vector<Sent>> by_addr;
    std::ifstream in(dir_ + "/" + log);
    std::stringstream text;
    text << in.rdbuf();
    for (const auto& e : JsonLines(text.str())) {
        Sent sent;
        sent.cmd = e["cmd"].asInt();
        sent.late = e["late"].asBool();
        if (e.isMember("as")) sent.as = e["as"].asInt();
        sent.twin = e["twin"].asInt();
        const std::string kind = e["kind"].asString();
        if (kind == "cells") {
            for (int i = 0; i < cells; ++i) {
                const float x = static_cast<float>(e["raw"][i].asUInt()) / 100.0f;
                sent.values.push_back(cells::Plausible(cells::kCentivoltWindow, x) ? x : 0.0f);
            }
        } else if (kind == "group_voltage") {
            sent.values.push_back(static_cast<float>(e["raw"].asUInt()) / 10.0f);
        } else if (kind == "group_current") {
            sent.values.push_back(static_cast<float>(e["raw"].asUInt()) / 10.0f);
        } else if (kind == "temperature") {
            sent.values.push_back(static_cast<float>(e["raw"].asUInt()) / 100.0f);
        }
        by_addr[e["addr"].asInt()].push_back(sent);
    }
    return by_addr;
}

std::map<int, SiteRun::SimValues> SiteRun::ReadValuesLogByAddress(int cells) {
    std::map<int, SimValues> by_addr;
    for (const auto& [addr, replies] : ReadSent(cells)) {
        SimValues& v = by_addr[addr];
        for (const auto& r : replies) {
            if (r.late || r.as) continue;
            switch (r.cmd) {
                case 0xA1: v.cells.insert(r.values); break;
                case 0xA2: v.group_voltage.insert(r.values[0]); break;
                case 0xA3: v.group_current.insert(r.values[0]); break;
                case 0xA4: v.temperature.insert(r.values[0]); break;
            }
        }
    }
    return by_addr;
}

std::string SiteRun::Mismatch(const std::vector<Sent>& sent, const std::vector<float>& cells, float group_voltage,
                              float group_current, float temperature) {
    // The cells drift, so one reply carries exactly these.  A reply sent
    // late is still its own request's answer; what is wrong is a value from
    // another request, or from another monitor: a reply this monitor sent
    // with another's address answers no request of either.
    auto at = std::find_if(sent.begin(), sent.end(),
                           [&](const Sent& s) { return s.cmd == 0xA1 && !s.as && s.values == cells; });
    if (at == sent.end()) return "cells not sent by the monitor";
    const struct {
        int cmd;
        float value;
        const char* name;
    } rest[] = {{0xA2, group_voltage, "string voltage"}, {0xA3, group_current, "current"}, {0xA4, temperature, "temperature"}};
    // Each further value is one of the replies to its command that follow
    // (a late one and its resend's answer alike), before the monitor
    // answers a later command of the cycle.
    for (std::size_t i = 0; i < std::size(rest); ++i) {
        const auto& r = rest[i];
        const auto next = std::find_if(at, sent.end(), [&](const Sent& s) { return s.cmd == r.cmd; });
        if (next == sent.end()) return std::string(r.name) + " never sent after the cells";
        auto it = next;
        for (; it != sent.end(); ++it) {
            if (it->cmd == r.cmd && !it->as && it->values[0] == r.value) break;
            const bool later = it->cmd == 0xA1 || std::any_of(rest + i + 1, std::end(rest), [&](const auto& l) { return l.cmd == it->cmd; });
            if (later) {
                it = sent.end();
                break;
            }
        }
        if (it == sent.end())
            return std::string(r.name) + " " + std::to_string(r.value) + " is not the reply to its request (" +
                   std::to_string(next->values[0]) + ")";
        at = it;
    }
    return "";
}

SiteRun::SimValues SiteRun::ReadValuesLog(int cells) {
    SimValues all;
    for (auto& [addr, v] : ReadValuesLogByAddress(cells)) {
        all.cells.insert(v.cells.begin(), v.cells.end());
        all.group_voltage.insert(v.group_voltage.begin(), v.group_voltage.end());
        all.group_current.insert(v.group_current.begin(), v.group_current.end());
        all.temperature.insert(v.temperature.begin(), v.temperature.end());
    }
    return all;
}

long SiteRun::CheckStoredRecords(uint32_t device_id, int bus_addr, int cells, const std::vector<std::string>& logs) {
    // One list per monitor: each log's replies from the address, parted by
    // the monitor set to it that sent them.
    std::vector<std::vector<Sent>> sent;
    for (const auto& log : logs) {
        const auto by_addr = ReadSent(cells, log);
        std::map<int, std::vector<Sent>> by_twin;
        if (const auto at = by_addr.find(bus_addr); at != by_addr.end())
            for (const Sent& one : at->second) by_twin[one.twin].push_back(one);
        if (by_twin.empty()) by_twin.emplace(0, std::vector<Sent>{});
        for (auto& one_monitor : by_twin) sent.push_back(std::move(one_monitor.second));
    }
    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    long rows = 0;
    store.Reader().ForEachRow(device_id, [&](const history::Row& row) {
        ++rows;
        const auto rec = BatteryRecord::Decode(row.record.data(), row.record.size());
        ASSERT_TRUE(rec) << "record " << rows;
        const std::vector<float> read(rec->cells.begin(), rec->cells.begin() + cells);
        std::string why;
        for (const auto& one : sent) {
            const std::string mismatch = Mismatch(one, read, rec->group_voltage, rec->group_current, rec->temperature);
            if (mismatch.empty()) return;
            why += (why.empty() ? "" : "; ") + mismatch;
        }
        ADD_FAILURE() << "record " << rows << ": " << why;
    });
    return rows;
}
