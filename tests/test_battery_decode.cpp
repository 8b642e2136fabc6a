// Decoding of the three short replies: scaling, corrections, plausibility,
// and the values taken from other devices through the host.
#include <gtest/gtest.h>

#include <limits>

#include "host/ValueErrors.h"
#include "host/standin/HostRecorder.h"
#include "support/Probes.h"

using hoststandin::HostRecorder;

namespace {

class ShortReplyDecoding : public ::testing::Test {
protected:
    void SetUp() override {
        dev.addr_ = 0x01;
        dev.data_id_ = 12;
        hoststandin::ClearExternalValues();
    }
    void TearDown() override { hoststandin::ClearExternalValues(); }

    // Delivers one short reply while the given command is awaited.
    int Reply(int call_type, uint16_t raw) {
        dev.call_type = call_type;
        return frames::Feed(dev, frames::ShortReply(0x01, raw));
    }

    HostRecorder host;
    StubBattery dev;
};

TEST_F(ShortReplyDecoding, StringVoltageScaling) {
    struct {
        int version;
        float a, b;
        uint16_t raw;
        float volts;
    } cases[] = {
        {1, 1.0f, 0.0f, 536, 53.6f},
        {2, 1.0f, 0.0f, 536, 5.36f},
        {0, 1.0f, 0.0f, 536, 53.6f},  // any version but 2 reads tenths
        {1, 2.0f, 0.5f, 536, 536.0f / 10.0f * 2.0f + 0.5f},
        {1, 1.0f, 0.3f, 0, 0.3f},
        {1, 1.0f, 0.0f, 65535, 6553.5f},
    };
    for (const auto& c : cases) {
        dev.version_ = c.version;
        dev.group_a_ = c.a;
        dev.group_b_ = c.b;
        host.Clear();
        EXPECT_EQ(Reply(Battery::kStringVoltage, c.raw), 1);
        EXPECT_FLOAT_EQ(dev.group_voltage_, c.volts) << c.raw << " v" << c.version;
        EXPECT_TRUE(dev.group_voltage_valid_);
        EXPECT_EQ(dev.call_type, Battery::kCurrent);
        ASSERT_EQ(host.Of("tx").size(), 1u);
        EXPECT_EQ(host.Of("tx")[0].hex, "FEFE01A3A4");
    }
}

TEST_F(ShortReplyDecoding, OtherStringsAreAddedUnscaled) {
    hoststandin::SetExternalValue(7, "group_voltage", 100.0f);
    hoststandin::SetExternalValue(9, "group_voltage", 20.5f);
    dev.group_voltage_ids_ = {7, 9};
    dev.group_a_ = 2.0f;
    EXPECT_EQ(Reply(Battery::kStringVoltage, 536), 1);
    EXPECT_FLOAT_EQ(dev.group_voltage_, 20.5f + (100.0f + 107.2f));
    EXPECT_TRUE(dev.group_voltage_valid_);
    const auto asked = host.Of("get_sp_value");
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].index, 7);
    EXPECT_EQ(asked[1].index, 9);
    EXPECT_EQ(asked[1].name, "group_voltage");
}

TEST_F(ShortReplyDecoding, AnUnavailableStringZeroesTheSumAndSkipsTheRest) {
    hoststandin::SetExternalValue(7, "group_voltage", 100.0f);
    hoststandin::SetExternalValue(11, "group_voltage", 1.0f);
    dev.group_voltage_ids_ = {7, 9, 11};  // 9 is not available
    EXPECT_EQ(Reply(Battery::kStringVoltage, 536), 1);
    EXPECT_EQ(dev.group_voltage_, 0.0f);
    EXPECT_FALSE(dev.group_voltage_valid_);
    EXPECT_EQ(host.Of("get_sp_value").size(), 2u);
    // The cycle goes on.
    EXPECT_EQ(host.Of("tx").back().hex, "FEFE01A3A4");
    // The next reply makes the sum valid again.
    hoststandin::SetExternalValue(9, "group_voltage", 2.0f);
    EXPECT_EQ(Reply(Battery::kStringVoltage, 536), 1);
    EXPECT_TRUE(dev.group_voltage_valid_);
    EXPECT_FLOAT_EQ(dev.group_voltage_, 1.0f + (2.0f + (100.0f + 53.6f)));
}

TEST_F(ShortReplyDecoding, AnotherDevicesVoltageIsAskedThroughItsOwnValues) {
    // A device of this process answers for itself; a device that is not
    // ready yet refuses, which counts as unavailable.
    StubBattery other;
    other.data_id_ = 1205;
    other.group_voltage_ = 48.0f;
    dev.group_voltage_ids_ = {1205};
    EXPECT_EQ(Reply(Battery::kStringVoltage, 500), 1);
    EXPECT_FLOAT_EQ(dev.group_voltage_, 98.0f);
    Probe29 not_ready;
    not_ready.data_id_ = 1206;
    dev.group_voltage_ids_ = {1205, 1206};
    EXPECT_EQ(Reply(Battery::kStringVoltage, 500), 1);
    EXPECT_FALSE(dev.group_voltage_valid_);
}

TEST_F(ShortReplyDecoding, CurrentRules) {
    struct {
        int32_t ratio;
        uint32_t r_id;
        const char* field;
        uint16_t raw;
        float amps;
    } cases[] = {
        {1, 0, "", 2500, 0.0f},       // sensor formula
        {1, 0, "", 5000, 100.0f},
        {1, 0, "", 0, -100.0f},
        {7, 33, "group_current", 2500, 0.0f},  // the formula wins over another device
        {0, 0, "", 123, 12.3f},
        {0, 33, "", 123, 12.3f},      // a device without a field name is not asked
        {0, 0, "group_current", 123, 12.3f},
        {0, 33, "group_current", 123, -4.25f},  // from device 33, unscaled
    };
    hoststandin::SetExternalValue(33, "group_current", -4.25f);
    for (const auto& c : cases) {
        dev.current_ratio_ = c.ratio;
        dev.r_data_id_ = c.r_id;
        dev.r_current_field_ = c.field;
        host.Clear();
        EXPECT_EQ(Reply(Battery::kCurrent, c.raw), 1);
        EXPECT_FLOAT_EQ(dev.group_current_, c.amps) << c.ratio << "/" << c.r_id << "/" << c.raw;
        EXPECT_EQ(host.Of("tx").back().hex, "FEFE01A4A5");
    }
}

TEST_F(ShortReplyDecoding, AnUnavailableCurrentSourceKeepsThePreviousCurrent) {
    dev.group_current_ = 3.5f;
    dev.r_data_id_ = 44;
    dev.r_current_field_ = "group_current";
    EXPECT_EQ(Reply(Battery::kCurrent, 999), 1);
    EXPECT_FLOAT_EQ(dev.group_current_, 3.5f);
    EXPECT_EQ(dev.call_type, Battery::kTemperature);
}

TEST_F(ShortReplyDecoding, TemperatureWindowAndRoundEnd) {
    struct {
        uint16_t raw;
        float degrees;
    } cases[] = {
        {2500, 25.0f}, {10000, 100.0f}, {10001, 100.0f}, {0, 100.0f}, {1, 0.01f}, {65535, 0.01f},
    };
    int rounds = 0;
    for (const auto& c : cases) {
        host.Clear();
        EXPECT_EQ(Reply(Battery::kTemperature, c.raw), 0);
        EXPECT_FLOAT_EQ(dev.temperature_, c.degrees) << c.raw;
        EXPECT_EQ(dev.call_type, 0);
        EXPECT_EQ(dev.rounds, ++rounds);  // a dropped reading still ends the round
        EXPECT_TRUE(host.Of("tx").empty());
    }
}

TEST_F(ShortReplyDecoding, RejectedRepliesDecodeNothing) {
    dev.group_voltage_ = 1.0f;
    dev.call_type = Battery::kStringVoltage;
    EXPECT_EQ(frames::Feed(dev, frames::Hex("ED 01 02 18 1A")), 0);
    EXPECT_EQ(dev.group_voltage_, 1.0f);
    EXPECT_EQ(dev.call_type, 0);
    EXPECT_EQ(dev.msg_len, 0);
    EXPECT_TRUE(host.Of("tx").empty());
}

TEST_F(ShortReplyDecoding, NamedValues) {
    dev.group_voltage_ = 1.5f;
    dev.group_current_ = -2.5f;
    dev.temperature_ = 30.25f;
    EXPECT_EQ(dev.Get_Value(0, "group_voltage"), 1.5f);
    EXPECT_EQ(dev.Get_Value(99, "group_current"), -2.5f);
    EXPECT_EQ(dev.Get_Value(0, "temperature"), 30.25f);
    for (const char* name : {"Temperature", "group_voltage ", "", "battery_0_value"}) {
        try {
            dev.Get_Value(0, name);
            ADD_FAILURE() << name;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), hostvalue::kUnsupported);
        }
    }
}

TEST_F(ShortReplyDecoding, SaveIntervalControl) {
    int returned = 0;
    struct {
        int code;
        uint16_t minutes;
        int result;
        int32_t seconds;
    } cases[] = {
        {100, 10, 0, 600}, {100, 0, 0, 28800}, {5, 10, 0, 28800}, {100, 65535, 0, 65535 * 60},
    };
    for (const auto& c : cases) {
        dev.save_interval_ = 28800;
        EXPECT_EQ(dev.DeviceIoControl(c.code, &c.minutes, sizeof c.minutes, nullptr, 0, returned), c.result);
        EXPECT_EQ(dev.save_interval_, c.seconds);
    }
    // The two bytes are read whatever in_size says.
    const uint16_t ten = 10;
    for (int in_size : {2, 1, 0, -1, 1000}) {
        dev.save_interval_ = 28800;
        EXPECT_EQ(dev.DeviceIoControl(100, &ten, in_size, nullptr, 0, returned), 0) << in_size;
        EXPECT_EQ(dev.save_interval_, 600) << in_size;
    }
    // No buffer at all: refused, nothing changes.
    dev.save_interval_ = 28800;
    EXPECT_EQ(dev.DeviceIoControl(100, nullptr, 2, nullptr, 0, returned), -1);
    EXPECT_EQ(dev.save_interval_, 28800);
}

TEST_F(ShortReplyDecoding, LineSpeedIsSetByTheDevice) { EXPECT_EQ(dev.baudrate_, 19200); }

}  // namespace
