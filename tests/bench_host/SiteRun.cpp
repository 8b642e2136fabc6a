#include "SiteRun.h"

#include <json/reader.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
    std::vector<std::string> argv{kSim, "--pty-link", link_, "--values-log", dir_ + "/values.jsonl"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<ChildProcess>(argv);
    ASSERT_TRUE(sim_->WaitForOutput("pty: ", 10s)) << "monitor-sim did not start";
    for (int i = 0; i < 100 && !std::filesystem::exists(link_); ++i) ::usleep(20000);
    ASSERT_TRUE(std::filesystem::exists(link_));
}

std::string SiteRun::Site(const std::string& devices, double tick) {
    const std::string path = dir_ + "/site.json";
    std::ofstream(path) << R"({"tick_period":)" << tick << R"(,"history":")" << db_
                        << R"(","response_margin_ms":60,"ports":[{"path":")" << link_ << R"(","devices":[)"
                        << devices << "]}]}";
    return path;
}

ChildProcess::Result SiteRun::RunHost(const std::string& site, const std::vector<std::string>& extra,
                                      std::chrono::milliseconds deadline) {
    std::vector<std::string> argv{kBin, "run", "--config", site, "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return ChildProcess::Run(argv, deadline);
}

std::map<int, SiteRun::SimValues> SiteRun::ReadValuesLogByAddress(int cells) {
    std::map<int, SimValues> by_addr;
    std::ifstream in(dir_ + "/values.jsonl");
    std::stringstream text;
    text << in.rdbuf();
    for (const auto& e : JsonLines(text.str())) {
        SimValues& v = by_addr[e["addr"].asInt()];
        const std::string kind = e["kind"].asString();
        if (kind == "cells") {
            std::vector<float> c;
            for (int i = 0; i < cells; ++i) {
                const float x = static_cast<float>(e["raw"][i].asUInt()) / 100.0f;
                c.push_back(x >= 9.0f && x <= 15.0f ? x : 0.0f);
            }
            v.cells.insert(c);
        } else if (kind == "group_voltage") {
            v.group_voltage.insert(static_cast<float>(e["raw"].asUInt()) / 10.0f);
        } else if (kind == "group_current") {
            v.group_current.insert(static_cast<float>(e["raw"].asUInt()) / 10.0f);
        } else if (kind == "temperature") {
            v.temperature.insert(static_cast<float>(e["raw"].asUInt()) / 100.0f);
        }
    }
    return by_addr;
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
