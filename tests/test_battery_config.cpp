// Reading a device's settings from its "appSetting" object.
#include <gtest/gtest.h>

#include "host/standin/HostRecorder.h"
#include "support/Probes.h"

namespace {

Json::Value Parse(const std::string& text) { return ParseJson(text); }

// A fresh device with the configured address 1 stored by the host.
struct Configured {
    explicit Configured(const std::string& config) {
        dev.addr_ = 1;
        result = dev.InitSetting(Parse(config));
    }
    StubBattery dev;
    bool result = false;
};

void ExpectDefaults(const StubBattery& d) {
    EXPECT_EQ(d.version_, 1);
    EXPECT_EQ(d.dir_, 0);
    EXPECT_EQ(d.battery_type_, 0);
    EXPECT_EQ(d.group_a_, 1.0f);
    EXPECT_EQ(d.group_b_, 0.0f);
    EXPECT_EQ(d.battery_adjust_, 0.0f);
    EXPECT_TRUE(d.active_batteries_.empty());
    EXPECT_TRUE(d.group_voltage_ids_.empty());
    EXPECT_EQ(d.battery_start_, 0);
    EXPECT_EQ(d.current_ratio_, 0);
    EXPECT_EQ(d.r_data_id_, 0u);
    EXPECT_EQ(d.r_current_field_, "");
    EXPECT_EQ(d.save_interval_, 28800);
    EXPECT_EQ(d.t0_, 0.0f);
    EXPECT_EQ(d.t31_, 0.0f);
}

TEST(BatteryConfig, WithoutAnObjectOnlyTheAddressChanges) {
    for (const char* config : {"{}", R"({"appSetting": [1,2]})", R"({"appSetting": 5})", R"({"appSetting": null})",
                               R"({"appSetting": {}})", R"({"appSetting": {"unknown": 3}})", "null"}) {
        Configured c(config);
        EXPECT_TRUE(c.result) << config;
        EXPECT_EQ(c.dev.addr_, 0x81) << config;
        ExpectDefaults(c.dev);
    }
}

TEST(BatteryConfig, AddressHighestBitIsInverted) {
    struct {
        uint8_t stored;
        uint8_t bus;
    } cases[] = {{1, 0x81}, {0x81, 1}, {0, 0x80}, {0x7F, 0xFF}, {0xFF, 0x7F}};
    for (const auto& c : cases) {
        StubBattery dev;
        dev.addr_ = c.stored;
        dev.InitSetting(Parse("{}"));
        EXPECT_EQ(dev.addr_, c.bus);
    }
}

TEST(BatteryConfig, TheFullExample) {
    Configured c(R"({"appSetting": {
        "battery_type": 6, "version": 2, "dir": 0, "group_a": 1.0, "group_b": "0.3",
        "battery_adjust": -0.02, "current_ratio": 0, "r_data_id": 1203,
        "r_current_field": "group_current", "save_interval": 480,
        "group_index": 2, "amount": 12, "active_batteries": [3, 12, "13"],
        "group_voltage": [1205, 1206], "t0": 0.05, "t31": -0.05, "b_mode": 3}})");
    const StubBattery& d = c.dev;
    EXPECT_EQ(d.battery_type_, 6);
    EXPECT_EQ(d.version_, 2);
    EXPECT_EQ(d.dir_, 0);
    EXPECT_FLOAT_EQ(d.group_a_, 1.0f);
    EXPECT_FLOAT_EQ(d.group_b_, 0.3f);
    EXPECT_FLOAT_EQ(d.battery_adjust_, -0.02f);
    EXPECT_EQ(d.current_ratio_, 0);
    EXPECT_EQ(d.r_data_id_, 1203u);
    EXPECT_EQ(d.r_current_field_, "group_current");
    EXPECT_EQ(d.save_interval_, 28800);
    EXPECT_EQ(d.battery_start_, 17);
    EXPECT_EQ(d.active_batteries_, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    EXPECT_EQ(d.group_voltage_ids_, (std::vector<uint32_t>{1205, 1206}));
    EXPECT_FLOAT_EQ(d.t0_, 0.05f);
    EXPECT_FLOAT_EQ(d.t31_, -0.05f);
}

TEST(BatteryConfig, ValuesAreReadThroughTheirText) {
    struct {
        const char* app;
        int32_t StubBattery::*member;
        int32_t expected;
    } ints[] = {
        {R"({"battery_type": 6.9})", &StubBattery::battery_type_, 6},
        {R"({"battery_type": "6.9"})", &StubBattery::battery_type_, 6},
        {R"({"battery_type": "abc"})", &StubBattery::battery_type_, 0},
        {R"({"current_ratio": 0.5})", &StubBattery::current_ratio_, 0},
        {R"({"current_ratio": "0.5"})", &StubBattery::current_ratio_, 0},
        {R"({"current_ratio": 1e3})", &StubBattery::current_ratio_, 1000},
        {R"({"version": "2abc"})", &StubBattery::version_, 2},
        {R"({"version": ""})", &StubBattery::version_, 0},
        {R"({"version": null})", &StubBattery::version_, 1},
        {R"({"version": 2.9})", &StubBattery::version_, 2},
        {R"({"dir": true})", &StubBattery::dir_, 0},
        {R"({"dir": "-1"})", &StubBattery::dir_, -1},
        {R"({"save_interval": 1})", &StubBattery::save_interval_, 60},
        {R"({"save_interval": 480})", &StubBattery::save_interval_, 28800},
        {R"({"save_interval": 481})", &StubBattery::save_interval_, 28860},
        {R"({"save_interval": 0})", &StubBattery::save_interval_, 28800},
        {R"({"save_interval": -5})", &StubBattery::save_interval_, 28800},
        {R"({"save_interval": "abc"})", &StubBattery::save_interval_, 28800},
        {R"({"save_interval": ""})", &StubBattery::save_interval_, 28800},
        {R"({"save_interval": "2"})", &StubBattery::save_interval_, 120},
        // seconds past 32 bits saturate instead of wrapping negative
        {R"({"save_interval": 2147483647})", &StubBattery::save_interval_, 2147483647},
        {R"({"battery_start": "5"})", &StubBattery::battery_start_, 5},
    };
    for (const auto& c : ints) {
        Configured cfg(std::string(R"({"appSetting": )") + c.app + "}");
        EXPECT_EQ(cfg.dev.*c.member, c.expected) << c.app;
    }

    Configured texts(R"({"appSetting": {"r_current_field": 12, "t0": "-0.05", "t31": 1, "group_b": "x"}})");
    EXPECT_EQ(texts.dev.r_current_field_, "12");
    EXPECT_FLOAT_EQ(texts.dev.t0_, -0.05f);
    EXPECT_FLOAT_EQ(texts.dev.t31_, 1.0f);
    EXPECT_EQ(texts.dev.group_b_, 0.0f);

    Configured empty(R"({"appSetting": {"r_current_field": ""}})");
    empty.dev.r_current_field_ = "kept?";
    empty.dev.addr_ = 1;
    empty.dev.InitSetting(Parse(R"({"appSetting": {"r_current_field": ""}})"));
    EXPECT_EQ(empty.dev.r_current_field_, "");
}

TEST(BatteryConfig, Identifiers) {
    Configured c(R"({"appSetting": {"group_voltage": ["1203", 1203, -1, "4294967296"], "r_data_id": -1}})");
    // 4294967296 does not fit the controller's 32-bit long: it reads as the
    // largest one, here as there.
    EXPECT_EQ(c.dev.group_voltage_ids_, (std::vector<uint32_t>{1203, 4294967295u, 2147483647u}));
    EXPECT_EQ(c.dev.r_data_id_, 4294967295u);
}

TEST(BatteryConfig, GroupRule) {
    struct {
        const char* app;
        int32_t start;
        std::vector<int32_t> cells;
    } cases[] = {
        {R"({"group_index": 1, "amount": 3})", 0, {0, 1, 2}},
        {R"({"group_index": 2, "amount": 3})", 17, {0, 1, 2}},
        {R"({"group_index": "2", "amount": "3"})", 17, {0, 1, 2}},
        {R"({"group_index": 2, "amount": 3, "battery_start": 5})", 5, {0, 1, 2}},
        {R"({"group_index": 3, "amount": 4})", 0, {}},
        {R"({"group_index": 2})", 0, {}},
        {R"({"amount": 2})", 0, {}},
        {R"({"group_index": 2, "amount": 0})", 17, {}},
        {R"({"group_index": 2, "amount": -4})", 17, {}},
        {R"({"group_index": 1, "amount": 2, "active_batteries": [1, 1, "2", 0]})", 0, {0, 1, 2}},
        {R"({"active_batteries": 4})", 0, {}},
        {R"({"active_batteries": "1,2"})", 0, {}},
        {R"({"active_batteries": [40, -1, 5, 5]})", 0, {40, -1, 5}},
        // a huge amount appends no index that could never name a cell
        {R"({"group_index": 1, "amount": 2000000000})", 0,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29,
          30, 31}},
    };
    for (const auto& c : cases) {
        Configured cfg(std::string(R"({"appSetting": )") + c.app + "}");
        EXPECT_EQ(cfg.dev.battery_start_, c.start) << c.app;
        EXPECT_EQ(cfg.dev.active_batteries_, c.cells) << c.app;
    }
}

TEST(BatteryConfig, ASecondCallAppendsAndInvertsTheAddressBack) {
    const Json::Value config = Parse(R"({"appSetting": {"group_index": 1, "amount": 2,
        "active_batteries": [5], "group_voltage": [9]}})");
    StubBattery dev;
    dev.addr_ = 1;
    dev.InitSetting(config);
    dev.InitSetting(config);
    EXPECT_EQ(dev.addr_, 1);  // no new address was stored between the calls
    EXPECT_EQ(dev.active_batteries_, (std::vector<int32_t>{0, 1, 5, 0, 1}));
    EXPECT_EQ(dev.group_voltage_ids_, (std::vector<uint32_t>{9}));
}

TEST(BatteryConfig, AValueWithoutATextEndsTheCallAfterWhatCameBefore) {
    StubBattery dev;
    dev.addr_ = 1;
    EXPECT_THROW(dev.InitSetting(Parse(R"({"appSetting": {"battery_type": 6, "version": {"x": 1}, "dir": 1}})")),
                 Json::LogicError);
    EXPECT_EQ(dev.addr_, 0x81);
    EXPECT_EQ(dev.battery_type_, 6);
    EXPECT_EQ(dev.dir_, 0);
    EXPECT_THROW(dev.InitSetting(Parse(R"({"appSetting": {"group_voltage": [[1]]}})")), Json::LogicError);
}

// A configuration that is not an object has no "appSetting" to look up: the
// JSON library's error reaches the host, after the address adjustment that
// every call makes first.
TEST(BatteryConfig, AConfigurationThatIsNotAnObjectIsTheJsonLibrarysError) {
    for (const char* config : {"[]", "[{\"appSetting\": {}}]", "7", "-0.5", "\"appSetting\"", "true"}) {
        StubBattery dev;
        dev.addr_ = 1;
        EXPECT_THROW(dev.InitSetting(Parse(config)), Json::LogicError) << config;
        EXPECT_EQ(dev.addr_, 0x81) << config;
        ExpectDefaults(dev);
    }
}

}  // namespace
