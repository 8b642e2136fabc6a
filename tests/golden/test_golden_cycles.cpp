// Golden poll cycles: fixed reply bytes in, the exact host calls and record
// images out (golden/cycles.txt).  The same vectors run on every build, so a
// controller build that rounds, packs, orders or sizes anything differently
// from this machine's fails here, call by call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "host/standin/HostRecorder.h"
#include "host/standin/HostStandin.h"
#include "models/UPSBattery29.h"

#ifndef UPSB_GOLDEN_VECTORS
#error "UPSB_GOLDEN_VECTORS must name the vector file"
#endif

namespace {

using hoststandin::HostCall;
using hoststandin::HostRecorder;

constexpr unsigned int kRecordSize = 152;
// The round's time stamp comes from the wall clock: the last 7 bytes.
constexpr unsigned int kStampSize = 7;

struct External {
    unsigned int id;
    std::string name;
    float value;
};

struct Event {
    int line = 0;                // in the vector file, for failure messages
    bool tick = false;           // RefreshStatus(), else process(bytes)
    std::string bytes;           // hex
    std::vector<std::string> calls;
};

struct Cycle {
    bool set_externals = false;
    std::vector<External> externals;
    std::vector<Event> events;
};

struct Case {
    std::string name;
    std::string error;           // a vector file that cannot be read fails the test
    unsigned int data_id = 0;
    unsigned int address = 0;
    std::string config;
    std::string restore;         // hex, empty for none
    std::vector<Cycle> cycles;
};

// Test listings and failure messages name a case by its name.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string Rest(std::istringstream& in) {
    std::string rest;
    std::getline(in >> std::ws, rest);
    return rest;
}

std::vector<Case> LoadCases() {
    std::ifstream file(UPSB_GOLDEN_VECTORS);
    if (!file) {
        Case bad;
        bad.name = "unreadable";
        bad.error = std::string("cannot open ") + UPSB_GOLDEN_VECTORS;
        return {bad};
    }
    std::vector<Case> cases;
    Case* c = nullptr;
    std::string text;
    for (int n = 1; std::getline(file, text); ++n) {
        std::istringstream in(text);
        std::string word;
        if (!(in >> word) || word[0] == '#') continue;
        auto fail = [&](const std::string& why) {
            Case bad;
            bad.name = "line_" + std::to_string(n);
            bad.error = std::string(UPSB_GOLDEN_VECTORS) + ":" + std::to_string(n) + ": " + why;
            cases.push_back(bad);
            c = nullptr;
        };
        if (word == "case") {
            cases.emplace_back();
            c = &cases.back();
            in >> c->name;
            continue;
        }
        if (c == nullptr) {
            if (word != "end") fail("'" + word + "' outside a case");
            continue;
        }
        Cycle* cycle = c->cycles.empty() ? nullptr : &c->cycles.back();
        if (word == "device") {
            in >> c->data_id >> c->address;
        } else if (word == "config") {
            c->config = Rest(in);
        } else if (word == "restore") {
            in >> c->restore;
        } else if (word == "cycle") {
            c->cycles.emplace_back();
        } else if (word == "end") {
            c = nullptr;
        } else if (cycle == nullptr) {
            fail("'" + word + "' before the first cycle");
        } else if (word == "external") {
            cycle->set_externals = true;
            External e{};
            std::string id;
            in >> id;
            if (id == "none") continue;
            e.id = static_cast<unsigned int>(std::stoul(id));
            in >> e.name >> e.value;
            cycle->externals.push_back(e);
        } else if (word == "tick" || word == "rx") {
            Event e;
            e.line = n;
            e.tick = word == "tick";
            if (!e.tick) in >> e.bytes;
            cycle->events.push_back(e);
        } else if (word == "call") {
            if (cycle->events.empty()) fail("a call before any event");
            else cycle->events.back().calls.push_back(Rest(in));
        } else {
            fail("unknown word '" + word + "'");
        }
    }
    return cases;
}

std::string Number(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

// A record image with its time stamp blanked out.
std::string Record(const HostCall& call) {
    if (call.hex.size() != 2 * kRecordSize) return "size " + std::to_string(call.hex.size() / 2) + " " + call.hex;
    return call.hex.substr(0, 2 * (kRecordSize - kStampSize)) + std::string(2 * kStampSize, 'x');
}

std::string Describe(const HostCall& call) {
    const std::string& k = call.kind;
    if (k == "tx") return "tx " + call.hex;
    if (k == "get_sp_value") return k + " " + std::to_string(call.index) + " " + call.name;
    if (k == "send_sp") return k + " " + std::to_string(call.index) + " " + (call.flag ? "1 " : "0 ") + Record(call);
    if (k == "check_threshold")
        return k + " " + call.name + " " + call.label + " " + Number(call.value) + " " + std::to_string(call.index);
    if (k == "check_ao_report") return k + " " + call.name + " " + Number(call.value);
    if (k == "batch_check") return k + " " + std::to_string(call.index);
    if (k == "save_history") return k + " " + (call.flag ? "1 " : "0 ") + Record(call);
    return k;
}

// Call by call, so that a failure names the call that differs rather than
// printing two long lists.
void ExpectCalls(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
    const std::size_t n = std::max(actual.size(), expected.size());
    int reported = 0;
    for (std::size_t i = 0; i < n && reported < 5; ++i) {
        const std::string a = i < actual.size() ? actual[i] : "(none)";
        const std::string e = i < expected.size() ? expected[i] : "(none)";
        if (a == e) continue;
        ++reported;
        ADD_FAILURE() << "call " << i + 1 << " of " << expected.size() << " expected\n  expected: " << e
                      << "\n  actual:   " << a;
    }
}

class GoldenCycles : public ::testing::TestWithParam<Case> {};

TEST_P(GoldenCycles, ReplyBytesGiveTheseHostCalls) {
    const Case& c = GetParam();
    ASSERT_TRUE(c.error.empty()) << c.error;

    HostRecorder host;
    hoststandin::ClearExternalValues();
    // The round's console line is not part of what is compared here.
    std::ostringstream console;
    struct Restore {
        std::streambuf* old;
        ~Restore() { std::cout.rdbuf(old); }
    } restore_cout{std::cout.rdbuf(console.rdbuf())};
    auto dev = std::make_unique<UPSBattery29>();
    dev->data_id_ = c.data_id;
    dev->addr_ = static_cast<uint8_t>(c.address);

    Json::Value config;
    std::string errors;
    std::istringstream config_text(c.config);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), config_text, &config, &errors)) << errors;
    ASSERT_TRUE(dev->InitSetting(config));
    if (!c.restore.empty()) {
        const std::vector<uint8_t> image = FromHex(c.restore);
        ASSERT_TRUE(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
    }

    int rounds = 0;
    for (const Cycle& cycle : c.cycles) {
        if (cycle.set_externals) {
            hoststandin::ClearExternalValues();
            for (const External& e : cycle.externals) hoststandin::SetExternalValue(e.id, e.name, e.value);
        }
        for (const Event& event : cycle.events) {
            SCOPED_TRACE(std::string(UPSB_GOLDEN_VECTORS) + ":" + std::to_string(event.line));
            host.Clear();
            if (event.tick) {
                dev->RefreshStatus();
            } else {
                std::vector<uint8_t> bytes = FromHex(event.bytes);
                dev->process(bytes.data(), static_cast<unsigned int>(bytes.size()));
            }
            std::vector<std::string> calls;
            for (const HostCall& call : host.calls) calls.push_back(Describe(call));
            ExpectCalls(calls, event.calls);

            // The round's two images carry the same time stamp.
            const auto sent = host.Of("send_sp");
            const auto saved = host.Of("save_history");
            if (!sent.empty() && !saved.empty()) {
                ++rounds;
                EXPECT_EQ(sent[0].hex.substr(2 * (kRecordSize - kStampSize)),
                          saved[0].hex.substr(2 * (kRecordSize - kStampSize)));
            }
        }
    }
    EXPECT_GT(rounds, 0) << "a golden case must complete at least one round";
    hoststandin::ClearExternalValues();
}

INSTANTIATE_TEST_SUITE_P(Vectors, GoldenCycles, ::testing::ValuesIn(LoadCases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
