// Console lines and texts handed to the host are exact bytes: a configured
// text goes out as it came, whatever bytes it holds, and numbers read the
// same whatever global locale the host has set for its own screens.
#include <gtest/gtest.h>

#include <cstdlib>
#include <locale>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/standin/HostRecorder.h"
#include "support/NamedLocale.h"
#include "support/Probes.h"

namespace {

using hoststandin::HostRecorder;
using namespace std::string_literals;

// A host localising its screens: digits grouped by three with a comma,
// and a decimal comma.
struct GroupingCommaPunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

// Sets the global C++ locale for as long as it lives.
class GlobalLocale {
public:
    explicit GlobalLocale(const std::locale& loc) : old_(std::locale::global(loc)) {}
    ~GlobalLocale() { std::locale::global(old_); }

private:
    std::locale old_;
};

std::string Configure(Probe29& dev, const std::string& config) {
    CoutCapture out;
    dev.InitSetting(ParseJson(config));
    return out.Text();
}

TEST(ConsoleLines, AnyByteOfAConfiguredTextGoesOutAsItCame) {
    struct {
        const char* what;
        const char* config;
        std::string expected;
    } cases[] = {
        {"NUL inside a key and an identifier",
         R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"a\u0000b": {"NMAlarmID": "x\u0000y", "ID": 1,
             "SignalNumber": 2}, "c": {}}})",
         "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere a\0b\nmobile:a\0b:x\0y;1;2; level:0 value:0\n"
         "here c\n7 NMAlarmID is missing\n7 ID is missing\n7 SignalNumber is missing\nmobile:c:;;; level:0 value:0\n"s},
        {"a key that is a NUL alone and one that ends in it",
         R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"\u0000": {"NMAlarmID": "", "ID": "\u0000",
             "SignalNumber": "z\u0000"}}})",
         "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere \0\nmobile:\0:;\0;z\0; level:0 value:0\n"s},
        {"line ends and bytes above 127 are passed on, not interpreted",
         R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"k\n": {"NMAlarmID": "温度", "ID": "\r", "SignalNumber": 0}}})",
         "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere k\n\nmobile:k\n:温度;\r;0; level:0 value:0\n"s},
    };
    for (const auto& c : cases) {
        Probe29 dev;
        dev.data_id_ = 7;
        EXPECT_EQ(Configure(dev, c.config), c.expected) << c.what;
    }
    // The tables keep the whole key and identifier as well.
    Probe29 dev;
    Configure(dev, cases[0].config);
    EXPECT_EQ(dev.nm_alarm_map_.at("a\0b"s), "x\0y;1;2;"s);
}

// Everything the device writes and hands over in a configuration and two
// rounds, one of them rejected on the 32-cell model's verbose path.
struct Transcript {
    std::string console;
    std::vector<std::string> thresholds;  // name|label|index
    std::vector<float> values;            // of the threshold calls
    std::vector<std::string> requests;
};

Transcript RunConfiguredDevice(const Json::Value& config) {
    HostRecorder host;
    CoutCapture out;
    Probe32 dev;
    dev.data_id_ = 1203456;
    dev.addr_ = 0x81;
    dev.threshold_levels_["battery_0_value"] = 1234;
    dev.threshold_values_["battery_0_value"] = 1234.5f;
    dev.threshold_levels_["group_voltage"] = -20000;
    dev.threshold_values_["group_voltage"] = 0.000125f;
    dev.InitSetting(config);
    dev.RefreshStatus();
    auto bad = frames::LongReply(1, std::vector<uint16_t>(32, 1350));
    bad[2] ^= 1;  // the checksum no longer matches
    frames::Feed(dev, bad);
    dev.RefreshStatus();
    frames::Feed(dev, frames::LongReply(1, std::vector<uint16_t>(32, 1350)));
    frames::Feed(dev, frames::ShortReply(1, 43210));
    frames::Feed(dev, frames::ShortReply(1, 12345));
    frames::Feed(dev, frames::ShortReply(1, 2500));

    Transcript t;
    t.console = out.Text();
    for (const auto& c : host.Of("check_threshold")) {
        t.thresholds.push_back(c.name + "|" + c.label + "|" + std::to_string(c.index));
        t.values.push_back(c.value);
    }
    for (const auto& c : host.Of("tx")) t.requests.push_back(c.hex);
    return t;
}

TEST(ConsoleLines, TheHostsGlobalLocaleChangesNothing) {
    // Parsed beforehand: the JSON library's own reader is the host's affair.
    const Json::Value config = ParseJson(R"({"appSetting": {"b_mode": 3, "battery_start": 1998,
        "active_batteries": [0, 1, 2], "group_a": "1.5"}, "thresholdSetting": {"battery_0_value": {
        "NMAlarmID": 12345.5, "ID": 1000000, "SignalNumber": "2"}, "group_voltage": {"ID": 7}}})");
    const Transcript classic = RunConfiguredDevice(config);
    // The transcript itself: no grouping, a decimal point.
    EXPECT_NE(classic.console.find("InitSetting 1203456 b_mode_:3\n"), std::string::npos) << classic.console;
    EXPECT_NE(classic.console.find("mobile:battery_0_value:12345.5;1000000;2; level:1234 value:1234.5\n"),
              std::string::npos)
        << classic.console;
    EXPECT_NE(classic.console.find("mobile:group_voltage:;7;; level:-20000 value:0.000125\n"), std::string::npos)
        << classic.console;
    EXPECT_NE(classic.console.find("Battery32 1203456 checksum failed\n"), std::string::npos) << classic.console;
    EXPECT_NE(classic.console.find("Battery32 1203456 before CallGroupVoltage\n"), std::string::npos);
    EXPECT_NE(classic.console.find("rvSize is 0\n"), std::string::npos);
    ASSERT_EQ(classic.thresholds.size(), 6u);
    EXPECT_EQ(classic.thresholds[3], "battery_0_value|第1999节电池|1");
    EXPECT_EQ(classic.thresholds[5], "battery_2_value|第2001节电池|3");

    const GlobalLocale host_screens(std::locale(std::locale::classic(), new GroupingCommaPunct));
    // The locale is in force for the process: a plain stream groups digits.
    std::ostringstream plain;
    plain << 1234.5;
    ASSERT_EQ(plain.str(), "1.234,5");
    const Transcript localised = RunConfiguredDevice(config);
    EXPECT_EQ(localised.console, classic.console);
    EXPECT_EQ(localised.thresholds, classic.thresholds);
    EXPECT_EQ(localised.values, classic.values);
    EXPECT_EQ(localised.requests, classic.requests);
}

// The same with a named locale, which the C library follows as well: the
// settings' reals ("group_a": "1.5") must still read with their decimal
// point, and so every value handed to the host stays the same.
TEST(ConsoleLines, AHostsNamedLocaleChangesNothing) {
    const Json::Value config = ParseJson(R"({"appSetting": {"b_mode": 3, "battery_start": 1998,
        "active_batteries": [0, 1, 2], "group_a": "1.5", "group_b": 0.25, "battery_adjust": "-0.005"},
        "thresholdSetting": {"battery_0_value": {"NMAlarmID": 12345.5, "ID": 1000000, "SignalNumber": "2"}}})");
    const Transcript classic = RunConfiguredDevice(config);
    ASSERT_FALSE(classic.values.empty());
    EXPECT_FLOAT_EQ(classic.values[0], 4321.0f * 1.5f + 0.25f);
    std::unique_ptr<NamedLocale> host_screens;
    try {
        host_screens.reset(new NamedLocale);
    } catch (const std::runtime_error& e) {
        GTEST_SKIP() << e.what();
    }
    // In force for the C library: atof stops at the decimal point.
    ASSERT_EQ(std::atof("0.5"), 0.0);
    const Transcript localised = RunConfiguredDevice(config);
    EXPECT_EQ(localised.console, classic.console);
    EXPECT_EQ(localised.thresholds, classic.thresholds);
    EXPECT_EQ(localised.values, classic.values);
    EXPECT_EQ(localised.requests, classic.requests);
}

}  // namespace
