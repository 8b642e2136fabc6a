// The replay contract, checked event by event: each scenario's output is
// compared line by line with its expected file, where '?' stands for one
// character that depends on the time of the run (the record's time stamp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace {

using namespace std::chrono_literals;

const std::string kBin = BENCH_HOST_BIN;
const std::string kPlugin = BENCH_HOST_PLUGIN;
const std::string kScenarios = BENCH_HOST_SCENARIOS;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool LineMatches(const std::string& expected, const std::string& actual) {
    if (expected.size() != actual.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (expected[i] != '?' && expected[i] != actual[i]) return false;
    return true;
}

void ExpectSameEvents(const std::string& expected_text, const std::string& actual_text) {
    const auto expected = Lines(expected_text);
    const auto actual = Lines(actual_text);
    const std::size_t n = std::min(expected.size(), actual.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!LineMatches(expected[i], actual[i])) {
            ADD_FAILURE() << "line " << i + 1 << " differs\n  expected: " << expected[i] << "\n  actual:   " << actual[i];
            return;
        }
    }
    EXPECT_EQ(expected.size(), actual.size()) << "number of output lines";
}

std::string WriteTemp(const std::string& name, const std::string& content) {
    // The process in the name: the same test may run in two trees at once.
    const std::string path = ::testing::TempDir() + "/replay_" + std::to_string(::getpid()) + "_" + name;
    std::ofstream(path) << content;
    return path;
}

struct Scenario {
    const char* name;
    int status;
};

class ReplayScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ReplayScenario, PrintsTheExpectedEvents) {
    const Scenario& s = GetParam();
    const auto r = ChildProcess::Run({kBin, "replay", "--plugin", kPlugin, kScenarios + "/" + s.name + ".jsonl"}, 30s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, s.status) << r.err;
    ExpectSameEvents(ReadFile(kScenarios + "/" + s.name + ".expected"), r.out);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ReplayScenario,
                         ::testing::Values(Scenario{"full_cycle", 0}, Scenario{"resends", 0},
                                           Scenario{"abandon", 0}, Scenario{"cache_restore", 0},
                                           Scenario{"threshold_settings", 0}, Scenario{"other_devices", 0},
                                           Scenario{"errors", 0}, Scenario{"malformed", 2},
                                           Scenario{"save_interval", 0}, Scenario{"config_not_object", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Replay, ReadsStandardInputWhenScenarioIsDash) {
    const std::string file = kScenarios + "/full_cycle.jsonl";
    const auto r = ChildProcess::Run({kBin, "replay", "--plugin", kPlugin, "-"}, 30s, file);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectSameEvents(ReadFile(kScenarios + "/full_cycle.expected"), r.out);
}

TEST(Replay, FindsThePluginBuiltBesideIt) {
    const auto r = ChildProcess::Run({kBin, "replay", kScenarios + "/abandon.jsonl"}, 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectSameEvents(ReadFile(kScenarios + "/abandon.expected"), r.out);
}

// A line that cannot be run stops the replay with status 2: what ran before
// it has been printed, the message names the line, nothing after it runs.
TEST(Replay, MalformedLinesAreReportedWithTheirNumber) {
    const std::string create = R"({"op":"create","id":3,"addr":1})";
    const std::string tick = R"({"op":"tick","id":3})";
    struct Case {
        const char* what;
        std::string line;
        const char* message;
    } cases[] = {
        {"not JSON", "op: tick", "not valid JSON"},
        {"not an object", "[1,2]", "JSON object"},
        {"no op", R"({"id":3})", "missing \"op\""},
        {"unknown op", R"({"op":"poll","id":3})", "unknown operation \"poll\""},
        {"a field the op does not read", R"({"op":"ioctl","id":3,"code":100,"minute":5})",
         "\"ioctl\" has no field \"minute\" (did you mean \"minutes\"?)"},
        {"a field of another op", R"({"op":"tick","id":3,"hex":"ED"})", "\"tick\" has no field \"hex\""},
        {"no id", R"({"op":"tick"})", "missing \"id\""},
        {"negative id", R"({"op":"tick","id":-3})", "\"id\""},
        {"odd hex", R"({"op":"rx","id":3,"hex":"ED0"})", "hexadecimal"},
        {"not hex", R"({"op":"rx","id":3,"hex":"EG"})", "hexadecimal"},
        {"address too big", R"({"op":"addr","id":3,"addr":256})", "\"addr\""},
        {"unknown device", R"({"op":"tick","id":4})", "no device 4"},
        {"device twice", R"({"op":"create","id":3,"addr":2})", "exists already"},
        {"minutes too big", R"({"op":"ioctl","id":3,"code":100,"minutes":65536})", "\"minutes\""},
        {"value not a number", R"({"op":"value","id":9,"name":"x","value":"1"})", "\"value\""},
        {"host answer not a bool", R"({"op":"host","id":3,"ao_report":1})", "\"ao_report\""},
        {"init without config", R"({"op":"init","id":3})", "missing \"config\""},
        {"nested beyond the reader's limit", std::string(100000, '[') + std::string(100000, ']'), "not valid JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = WriteTemp("malformed.jsonl", create + "\n\n" + tick + "\n" + c.line + "\n" + tick + "\n");
        const auto r = ChildProcess::Run({kBin, "replay", "--plugin", kPlugin, path}, 30s);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(":4: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        const auto out = Lines(r.out);
        ASSERT_EQ(out.size(), 3u) << r.out;
        EXPECT_EQ(out[2], R"({"ev":"result","id":3,"op":"tick","value":1})");
    }
}

TEST(Replay, AFolderIsNotAScenario) {
    const auto r = ChildProcess::Run({kBin, "replay", "--plugin", kPlugin, kScenarios}, 30s);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("is a folder, not a file"), std::string::npos) << r.err;
}

TEST(Replay, UnloadablePluginGivesOneLineAndFailure) {
    struct Case {
        const char* what;
        std::string plugin;
        const char* message;
    } cases[] = {
        {"missing file", "/nonexistent/upsbattery_29.so", "does not exist"},
        {"not a library", kScenarios + "/abandon.jsonl", "is not a shared library (no ELF header)"},
        {"no entry point", BENCH_HOST_STANDIN, "get_providers"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = ChildProcess::Run({kBin, "replay", "--plugin", c.plugin, kScenarios + "/abandon.jsonl"}, 30s);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

}  // namespace
