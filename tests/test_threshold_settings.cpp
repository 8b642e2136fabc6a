// The threshold-settings mode and entries read at configuration, with the
// console lines that report them.
#include <gtest/gtest.h>

#include "host/standin/HostRecorder.h"
#include "support/Probes.h"

namespace {

using Lines = std::vector<std::string>;

struct Configured {
    Configured(Probe29& dev, const std::string& config) {
        CoutCapture out;
        dev.InitSetting(ParseJson(config));
        lines = out.Lines();
    }
    Lines lines;
};

class ThresholdSettings : public ::testing::Test {
protected:
    void SetUp() override {
        dev.data_id_ = 12;
        dev.addr_ = 1;
    }
    hoststandin::HostRecorder host;
    Probe29 dev;
};

TEST_F(ThresholdSettings, ModeAndLines) {
    struct {
        const char* config;
        int32_t mode;
        Lines lines;
    } cases[] = {
        {"{}", 1, {}},
        {R"({"appSetting": [3]})", 1, {}},
        {R"({"appSetting": {"b_mode": null}, "thresholdSetting": {"k": {}}})", 1, {}},
        {R"({"appSetting": {"b_mode": 3}})", 3, {"InitSetting 12 b_mode_:3", "here 1"}},
        {R"({"appSetting": {"b_mode": " 3"}})", 3, {"InitSetting 12 b_mode_:3", "here 1"}},
        {R"({"appSetting": {"b_mode": "x3"}})", 0, {"InitSetting 12 b_mode_:0"}},
        {R"({"appSetting": {"b_mode": -2}})", -2, {"InitSetting 12 b_mode_:-2"}},
        {R"({"appSetting": {"b_mode": 2}, "thresholdSetting": {"k": {}}})", 2, {"InitSetting 12 b_mode_:2"}},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": null})", 3, {"InitSetting 12 b_mode_:3", "here 1"}},
    };
    for (const auto& c : cases) {
        Probe29 d;
        d.data_id_ = 12;
        d.addr_ = 1;
        Configured cfg(d, c.config);
        EXPECT_EQ(d.b_mode_, c.mode) << c.config;
        EXPECT_EQ(cfg.lines, c.lines) << c.config;
        // The battery settings are read whatever the mode.
        EXPECT_EQ(d.addr_, 0x81) << c.config;
        EXPECT_EQ(d.data_.data_id, 12u);
    }
}

TEST_F(ThresholdSettings, EntriesInKeyOrder) {
    dev.threshold_levels_["battery_0_value"] = 2;
    dev.threshold_values_["battery_0_value"] = 10.5f;
    Configured cfg(dev, R"({
        "appSetting": {"b_mode": "3", "group_index": 2, "amount": 1},
        "thresholdSetting": {
            "not_an_entry": 5,
            "group_voltage": {"NMAlarmID": "A1", "SignalNumber": 7, "SignalName": "string"},
            "battery_0_value": {"NMAlarmID": 1001, "ID": "B", "SignalNumber": "3", "SignalName": "cell 1"},
            "a_empty": {}
        }})");
    const Lines expected = {
        "InitSetting 12 b_mode_:3",
        "here 1",
        "here 2",
        "here a_empty",
        "12 NMAlarmID is missing",
        "12 ID is missing",
        "12 SignalNumber is missing",
        "mobile:a_empty:;;; level:0 value:0",
        "here battery_0_value",
        "mobile:battery_0_value:1001;B;3; level:2 value:10.5",
        "here group_voltage",
        "12 ID is missing",
        "mobile:group_voltage:A1;;7; level:0 value:0",
        "here not_an_entry",
    };
    EXPECT_EQ(cfg.lines, expected);
    EXPECT_EQ(dev.nm_alarm_map_, (std::map<std::string, std::string>{
                                     {"a_empty", ";;;"}, {"battery_0_value", "1001;B;3;"}, {"group_voltage", "A1;;7;"}}));
    EXPECT_EQ(dev.signal_name_map_,
              (std::map<std::string, std::string>{{"battery_0_value", "cell 1"}, {"group_voltage", "string"}}));
    // Keys that reached the log line now exist in the host's maps.
    EXPECT_EQ(dev.threshold_levels_.count("a_empty"), 1u);
    EXPECT_EQ(dev.threshold_values_.count("group_voltage"), 1u);
    EXPECT_EQ(dev.threshold_levels_.count("not_an_entry"), 0u);
    // The battery settings were read afterwards.
    EXPECT_EQ(dev.battery_start_, 17);
}

TEST_F(ThresholdSettings, ALaterCallOverwritesOnlyTheKeysItReads) {
    Configured(dev, R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
        "k1": {"NMAlarmID": 1, "ID": 2, "SignalNumber": 3, "SignalName": "one"},
        "k2": {"NMAlarmID": 4, "ID": 5, "SignalNumber": 6, "SignalName": "two"}}})");
    dev.addr_ = 1;
    // The mode is remembered; k1 loses its name field but keeps its old name.
    Configured cfg(dev, R"({"thresholdSetting": {"k1": {"ID": 9}}})");
    EXPECT_EQ(cfg.lines, (Lines{"here 1", "here 2", "here k1", "12 NMAlarmID is missing",
                                "12 SignalNumber is missing", "mobile:k1:;9;; level:0 value:0"}));
    EXPECT_EQ(dev.nm_alarm_map_["k1"], ";9;;");
    EXPECT_EQ(dev.nm_alarm_map_["k2"], "4;5;6;");
    EXPECT_EQ(dev.signal_name_map_["k1"], "one");
}

TEST_F(ThresholdSettings, TheModeOfAnEarlierCallStillApplies) {
    Configured(dev, R"({"appSetting": {"b_mode": 3}})");
    for (const Json::Value& config : {Json::Value(), ParseJson("{}"), ParseJson(R"({"appSetting": [3]})")}) {
        dev.addr_ = 1;
        Configured cfg(dev, config.toStyledString());
        EXPECT_EQ(cfg.lines, Lines{"here 1"});
        EXPECT_EQ(dev.addr_, 0x81);
    }
}

TEST_F(ThresholdSettings, TheJsonLibrarysErrorsEndTheCallBeforeTheBatterySettings) {
    for (const char* config : {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [{"ID": 1}]})",
                               R"({"appSetting": {"b_mode": {"x": 3}}})",
                               R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"k": {"ID": [1]}}})"}) {
        Probe29 d;
        d.addr_ = 1;
        CoutCapture out;
        EXPECT_THROW(d.InitSetting(ParseJson(config)), Json::LogicError) << config;
        EXPECT_EQ(d.addr_, 1) << config;
    }
}

// The whole configuration a number, a text or an array: the first lookup is
// refused by the JSON library, whose error the host receives before any mode,
// threshold entry or battery setting is read, and with nothing written.
TEST_F(ThresholdSettings, AConfigurationThatIsNotAnObjectEndsTheCallAtOnce) {
    for (const char* config : {"[]", R"([{"appSetting": {"b_mode": 3}}])", "3", "2.5", R"("{}")", "false"}) {
        Probe29 d;
        d.data_id_ = 12;
        d.addr_ = 1;
        d.b_mode_ = 3;
        CoutCapture out;
        EXPECT_THROW(d.InitSetting(ParseJson(config)), Json::LogicError) << config;
        EXPECT_EQ(out.Text(), "") << config;
        EXPECT_EQ(d.addr_, 1) << config;
        EXPECT_EQ(d.data_.data_id, 12u) << config;
        EXPECT_TRUE(d.nm_alarm_map_.empty()) << config;
    }
    // null is the configuration with no members, not an error.
    Probe29 d;
    d.addr_ = 1;
    EXPECT_TRUE(d.InitSetting(Json::Value()));
    EXPECT_EQ(d.addr_, 0x81);
}

}  // namespace
