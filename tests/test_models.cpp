// The cell-string models: decoding the cell reply, named values, cache
// restore and the end-of-round threshold check.
#include <gtest/gtest.h>

#include <cmath>

#include "host/ValueErrors.h"
#include "host/standin/HostRecorder.h"
#include "support/Cycle.h"

using frames::Hex;
using hoststandin::HostRecorder;

namespace {

template <typename Probe>
void Configure(Probe& dev, const char* app = "{}") {
    dev.data_id_ = 12;
    dev.addr_ = 1;
    dev.InitSetting(ParseJson(std::string(R"({"appSetting": )") + app + "}"));
}

// Delivers a cell reply while it is awaited; returns process()'s result.
template <typename Probe>
int CellReply(Probe& dev, const std::vector<uint8_t>& reply) {
    dev.call_type = Battery::kCellVoltages;
    dev.msg_len = 0;
    return frames::Feed(dev, reply);
}

TEST(CellDecoding, PlausibilityWindows) {
    struct {
        int32_t type;
        float adjust;
        uint16_t raw;
        float volts;
    } cases[] = {
        {6, 0, 4500, 4.5f},  {6, 0, 4499, 0.0f},  {6, 0, 7500, 7.5f},   {6, 0, 7501, 0.0f},
        {0, 0, 900, 9.0f},   {0, 0, 1500, 15.0f}, {0, 0, 1501, 0.0f},   {0, 0, 0, 0.0f},
        {0, 0, 899, 0.0f},   {2, 0, 1350, 13.5f}, {0, 0.1f, 895, 9.05f}, {0, 0, 895, 0.0f},
        {0, -0.2f, 910, 0.0f}, {6, 0, 1350, 0.0f},
    };
    HostRecorder host;
    CoutCapture out;
    for (const auto& c : cases) {
        Probe32 dev;
        Configure(dev);
        dev.battery_type_ = c.type;
        dev.battery_adjust_ = c.adjust;
        // Slot 5 carries the reading; the others hold a plausible value.
        std::vector<uint16_t> slots = Cells(32, c.type == 6 ? 6000 : 1200);
        slots[5] = c.raw;
        EXPECT_EQ(CellReply(dev, frames::LongReply(0x81, slots)), 1);
        EXPECT_NEAR(dev.battery_voltage_[5], c.volts, 1e-5) << c.type << " raw " << c.raw;
    }
}

struct CorrectionCase {
    int32_t dir;
    int first_cell, last_cell;
};

template <typename Probe>
void CheckCorrections(const CorrectionCase& c, int count) {
    Probe dev;
    Configure(dev);
    dev.dir_ = c.dir;
    dev.t0_ = 0.5f;
    dev.t31_ = -0.25f;
    std::vector<uint16_t> slots(32);
    for (int i = 0; i < 32; ++i) slots[i] = static_cast<uint16_t>(1000 + i * 10);
    EXPECT_EQ(CellReply(dev, frames::LongReply(0x81, slots)), 1);
    const float* cells = dev.battery_voltage_;
    const int last = count - 1;
    EXPECT_FLOAT_EQ(cells[c.first_cell], 10.0f + 0.5f);
    EXPECT_FLOAT_EQ(cells[c.last_cell], (1000 + last * 10) / 100.0f - 0.25f);
    // A middle slot lands reversed or not, uncorrected.
    const int mid_cell = c.dir != 0 ? last - 3 : 3;
    EXPECT_FLOAT_EQ(cells[mid_cell], 10.3f);
    for (int k = count; k < 32; ++k) EXPECT_EQ(cells[k], 0.0f);
}

TEST(CellDecoding, FirstAndLastSlotCorrectionsFollowTheReplyNotTheCell) {
    HostRecorder host;
    CoutCapture out;
    for (const CorrectionCase& c : {CorrectionCase{0, 0, 31}, CorrectionCase{1, 31, 0}, CorrectionCase{-3, 31, 0}})
        CheckCorrections<Probe32>(c, 32);
    for (const CorrectionCase& c : {CorrectionCase{0, 0, 28}, CorrectionCase{2, 28, 0}})
        CheckCorrections<Probe29>(c, 29);
}

TEST(CellDecoding, IncompleteRejectedAndAcceptedReplies) {
    HostRecorder host;
    const auto good = frames::LongReply(0x81, Cells(32, 1350));
    auto bad_sum = good;
    bad_sum[66] ^= 1;
    auto other = frames::LongReply(0x82, Cells(32, 1350));
    struct {
        const char* what;
        std::vector<uint8_t> bytes;
        int result;
        std::vector<std::string> lines32;  // the 29-cell model writes nothing
        bool sent;
    } cases[] = {
        {"66 bytes", std::vector<uint8_t>(good.begin(), good.end() - 1), 1, {}, false},
        {"accepted", good, 1, {"Battery32 12 before CallGroupVoltage", "Battery32 12 after CallGroupVoltage"}, true},
        {"bad checksum", bad_sum, 0, {"Battery32 12 checksum failed"}, false},
        {"another monitor", other, 0, {"msg_buf[0] == 0xed && msg_buf[1] == addr_ failed"}, false},
    };
    for (const auto& c : cases) {
        for (bool ups : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (ups ? " (29 cells)" : " (32 cells)"));
            host.Clear();
            CoutCapture out;
            Probe32 d32;
            Probe29 d29;
            Battery32& dev = ups ? static_cast<Battery32&>(d29) : d32;
            if (ups) {
                Configure(d29);
            } else {
                Configure(d32);
            }
            host.Clear();
            dev.RefreshStatus();
            host.Clear();
            EXPECT_EQ(frames::Feed(dev, c.bytes), c.result);
            EXPECT_EQ(out.Lines(), ups ? std::vector<std::string>{} : c.lines32);
            EXPECT_EQ(host.Of("tx").size(), c.sent ? 1u : 0u);
            if (c.sent) {
                EXPECT_EQ(host.Of("tx")[0].hex, "FEFE81A223");
            }
            const float cell0 = ups ? d29.battery_voltage_[0] : d32.battery_voltage_[0];
            EXPECT_EQ(cell0, c.sent ? 13.5f : 0.0f);
            const int ct = ups ? d29.call_type : d32.call_type;
            EXPECT_EQ(ct, c.result == 0 ? 0 : (c.sent ? 2 : 1));
        }
    }
}

TEST(CellDecoding, SixtySevenOrMoreBytesAreConsumed) {
    HostRecorder host;
    CoutCapture out;
    auto reply = frames::LongReply(0x81, Cells(32, 1350));
    reply.resize(70, 0x55);
    Probe32 d32;
    Configure(d32);
    d32.call_type = Battery::kCellVoltages;
    reply[66] ^= 1;  // rejected, still consumed
    frames::Feed(d32, reply);
    EXPECT_EQ(d32.msg_len, 0);
    // The 29-cell model consumes one frame's length of what is held.
    Probe29 d29;
    Configure(d29);
    d29.call_type = Battery::kCellVoltages;
    frames::Feed(d29, reply);
    EXPECT_EQ(d29.msg_len, 3);
    EXPECT_EQ(d29.call_type, 0);
}

class NamedValues : public ::testing::Test {
protected:
    void SetUp() override {
        Configure(dev);
        CoutCapture out;
        Readings r;
        r.cells = Cells(32, 1300);
        r.cells[3] = 1303;
        r.cells[28] = 1328;
        r.cells[29] = 1329;  // not a cell of this string
        r.string_voltage = 3800;
        r.current = 55;
        r.temperature = 2345;
        RunCycle(dev, 0x81, r);
    }
    std::string ErrorOf(const std::string& name) {
        try {
            dev.Get_Value(0, name);
        } catch (const std::out_of_range& e) {
            return e.what();
        }
        return "answered";
    }
    HostRecorder host;
    Probe29 dev;
};

TEST_F(NamedValues, Names) {
    // Names of 100,000 digits: the host passes any name on, and a matcher
    // that recursed per digit would bring it down.
    const std::string digits(100000, '9');
    const std::string zeros(100000, '0');
    struct {
        std::string name;
        float value;
    } answered[] = {
        {"battery_0_value", 13.0f},      {"battery_3_value", 13.03f},          {"battery_03_value", 13.03f},
        {"total_battery_3_value_x", 13.03f}, {"battery_28_value", 13.28f},     {"group_voltage", 380.0f},
        {"group_current", 5.5f},         {"temperature", 23.45f},              {"xbattery_1_value battery_3_value", 13.0f},
        {"battery_battery_3_value", 13.03f}, {"battery_3_valu battery_28_value", 13.28f},
        {"x battery_" + zeros + "3_value", 13.03f}, {"battery_" + digits + " battery_28_value", 13.28f},
        {"battery_" + zeros + "_value", 13.0f},
    };
    for (const auto& a : answered) EXPECT_FLOAT_EQ(dev.Get_Value(0, a.name), a.value) << a.name.substr(0, 40);
    // Slot 29 carried a plausible reading, but no cell of this string.
    EXPECT_EQ(dev.battery_voltage_[29], 0.0f);
    EXPECT_EQ(dev.data_.battery_value[29], 0.0f);
    for (const std::string& name :
         {std::string("battery_29_value"), std::string("battery_32_value"), std::string("battery_-1_value"),
          std::string("battery__value"), std::string("battery_99999999999_value"), std::string("Battery_1_value"),
          std::string("temp"), std::string(), "battery_" + digits + "_value", "x battery_" + digits + "_value",
          "battery_" + digits, "battery_" + digits + "_valu"})
        EXPECT_EQ(ErrorOf(name), hostvalue::kUnsupported) << name.substr(0, 40);
}

TEST_F(NamedValues, CellsAnswerTheLastCompletedRoundNotTheLiveReading) {
    CoutCapture out;
    dev.RefreshStatus();
    frames::Feed(dev, frames::LongReply(0x81, Cells(32, 1400)));
    EXPECT_FLOAT_EQ(dev.battery_voltage_[0], 14.0f);
    EXPECT_FLOAT_EQ(dev.Get_Value(0, "battery_0_value"), 13.0f);
}

TEST_F(NamedValues, ReadinessAndAge) {
    using boost::posix_time::seconds;
    const auto now = boost::posix_time::second_clock::local_time();
    Probe29 fresh;
    EXPECT_EQ(ErrorOf("x"), hostvalue::kUnsupported);
    try {
        fresh.Get_Value(0, "group_voltage");
        ADD_FAILURE();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), hostvalue::kNotReady);
    }
    // Exactly 60 seconds old is still current.  The device reads the clock
    // itself, so the check is repeated when the second turned meanwhile.
    std::string at_limit;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto then = boost::posix_time::second_clock::local_time();
        dev.update_time_ = then - seconds(60);
        dev.round_time_ = then - seconds(60);
        at_limit = ErrorOf("temperature");
        if (boost::posix_time::second_clock::local_time() == then) break;
    }
    EXPECT_EQ(at_limit, "answered");
    dev.update_time_ = now - seconds(61);
    EXPECT_EQ(ErrorOf("temperature"), hostvalue::kTimedOut);
    dev.round_time_ = now;
    dev.update_time_ = now + seconds(3600);  // clock set back: not old
    EXPECT_EQ(ErrorOf("battery_0_value"), "answered");
}

TEST_F(NamedValues, AMonitorThatStopsAnsweringTimesOutThoughTheHostKeepsTicking) {
    const auto now = boost::posix_time::second_clock::local_time();
    dev.round_time_ = now - boost::posix_time::seconds(61);
    // Requests go out and renew the last-update time; no reply comes back.
    dev.RefreshStatus();
    dev.RefreshStatus();
    EXPECT_EQ(ErrorOf("battery_0_value"), hostvalue::kTimedOut);
    // The next completed round makes the data current again.
    CoutCapture out;
    Readings r;
    r.cells = Cells(32, 1300);
    r.string_voltage = 3800;
    RunCycle(dev, 0x81, r);
    EXPECT_EQ(ErrorOf("battery_0_value"), "answered");
}

TEST(CacheRestore, ModelRestoresLiveReadingsWithoutARound) {
    HostRecorder host;
    Probe29 dev;
    Configure(dev);
    host.Clear();
    Battery32_Data_t rec{};
    rec.data_id = 77;
    for (int n = 0; n < 32; ++n) rec.battery_value[n] = 12.0f + n * 0.01f;
    rec.group_voltage = 350.5f;
    rec.group_current = -1.5f;
    rec.temperature = 31.0f;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&rec);
    for (int size : {151, 153, 0}) {
        EXPECT_FALSE(dev.LoadFromCache(bytes, size));
        EXPECT_EQ(dev.data_ready_, 0);
    }
    EXPECT_FALSE(dev.LoadFromCache(nullptr, sizeof rec));
    EXPECT_EQ(dev.data_ready_, 0);
    const std::string as_text(reinterpret_cast<const char*>(bytes), sizeof rec);
    // The host's string form, reached as the host reaches it.
    EXPECT_TRUE(static_cast<VDeviceInterface&>(dev).LoadFromCache(as_text));
    EXPECT_TRUE(host.calls.empty());          // no round, nothing published
    EXPECT_EQ(dev.battery_voltage_[0], 0.0f);
    EXPECT_FLOAT_EQ(dev.Get_Value(0, "battery_1_value"), 12.01f);
    EXPECT_FLOAT_EQ(dev.Get_Value(0, "group_voltage"), 350.5f);
    EXPECT_FLOAT_EQ(dev.Get_Value(0, "group_current"), -1.5f);
    EXPECT_FLOAT_EQ(dev.Get_Value(0, "temperature"), 31.0f);

    // The first round compares with and publishes the restored record; its
    // history record has no cells beyond the 29th.
    CoutCapture out;
    Readings r;
    r.cells = Cells(32, 1200);
    r.string_voltage = 3505;
    RunCycle(dev, 0x81, r);
    const auto published = Hex(host.Of("send_sp")[0].hex);
    EXPECT_FLOAT_EQ(FloatAt(published, 4 + 4 * 31), 12.31f);
    const auto saved = Hex(host.Of("save_history")[0].hex);
    for (int n = 29; n < 32; ++n) EXPECT_EQ(FloatAt(saved, 4 + 4 * n), 0.0f);
    EXPECT_EQ(saved[0], 12);  // the device's own identifier again
}

class ThresholdCheck : public ::testing::Test {
protected:
    void SetUp() override { host.Clear(); }
    template <typename Probe>
    void Round(Probe& dev) {
        host.Clear();
        dev.RunCheckThreshold();
    }
    HostRecorder host;
};

TEST_F(ThresholdCheck, StringVoltageBelowFortyIsReplacedByTheSumOfCells) {
    Probe32 dev;
    for (int k = 0; k < 32; ++k) dev.battery_voltage_[k] = 12.0f;
    dev.group_voltage_ = 39.9f;
    Round(dev);
    EXPECT_FLOAT_EQ(dev.group_voltage_, 384.0f);
    EXPECT_FLOAT_EQ(dev.data_.group_voltage, 384.0f);
    EXPECT_FLOAT_EQ(host.Of("check_threshold")[0].value, 384.0f);
    dev.group_voltage_ = 40.0f;
    Round(dev);
    EXPECT_EQ(dev.group_voltage_, 40.0f);
}

TEST_F(ThresholdCheck, ChangeDetection) {
    struct {
        const char* what;
        float string_step;
        float cell_step;
        float current_step;
        bool changed;
    } cases[] = {
        {"small string and cell moves", 0.005f, 0.04f, 0.0f, false},
        {"a cell moves by 0.06", 0.0f, 0.06f, 0.0f, true},
        {"the string moves by 0.02", 0.02f, 0.0f, 0.0f, true},
        {"current alone", 0.0f, 0.0f, 5.0f, false},
    };
    for (const auto& c : cases) {
        Probe32 dev;
        for (int k = 0; k < 32; ++k) dev.battery_voltage_[k] = 13.0f;
        dev.group_voltage_ = 416.0f;
        Round(dev);
        dev.data_changed_ = 0;
        dev.group_voltage_ += c.string_step;
        dev.battery_voltage_[7] += c.cell_step;
        dev.group_current_ += c.current_step;
        dev.temperature_ += c.current_step;
        Round(dev);
        EXPECT_EQ(dev.data_changed_ != 0, c.changed) << c.what;
    }
}

TEST_F(ThresholdCheck, CallsNamesLabelsAndIndices) {
    Probe32 dev;
    dev.retry_count = 2;
    dev.group_voltage_ = 400.0f;
    dev.group_current_ = -3.0f;
    dev.temperature_ = 22.0f;
    for (int k = 0; k < 32; ++k) dev.battery_voltage_[k] = 12.5f + k * 0.01f;
    Round(dev);
    EXPECT_EQ(dev.retry_count, 0);
    auto calls = host.Of("check_threshold");
    ASSERT_EQ(calls.size(), 35u);
    EXPECT_EQ(calls[0].name, "group_voltage");
    EXPECT_EQ(calls[0].label, "整组电压");
    EXPECT_EQ(calls[1].name, "group_current");
    EXPECT_EQ(calls[1].label, "电流");
    EXPECT_EQ(calls[1].value, -3.0f);
    EXPECT_EQ(calls[2].name, "temperature");
    EXPECT_EQ(calls[2].label, "温度");
    for (int n = 0; n < 32; ++n) {
        EXPECT_EQ(calls[3 + n].name, "battery_" + std::to_string(n) + "_value");
        EXPECT_EQ(calls[3 + n].label, "第" + std::to_string(n + 1) + "节电池");
        EXPECT_EQ(calls[3 + n].index, n + 1);
        EXPECT_FLOAT_EQ(calls[3 + n].value, 12.5f + n * 0.01f);
    }

    dev.group_voltage_valid_ = false;
    dev.active_batteries_ = {5, 5, 40, -1};
    dev.battery_start_ = 17;
    Round(dev);
    calls = host.Of("check_threshold");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].name, "group_current");
    EXPECT_EQ(calls[1].name, "temperature");
    for (int i : {2, 3}) {
        EXPECT_EQ(calls[i].name, "battery_5_value");
        EXPECT_EQ(calls[i].label, "第23节电池");
        EXPECT_EQ(calls[i].index, 6);
    }
    // Renumbering takes effect at once, and back again.
    dev.active_batteries_ = {0};
    dev.battery_start_ = -5;
    Round(dev);
    EXPECT_EQ(host.Of("check_threshold")[2].label, "第-4节电池");
    dev.battery_start_ = 2147483647;
    Round(dev);
    EXPECT_EQ(host.Of("check_threshold")[2].label, "第2147483648节电池");
}

TEST_F(ThresholdCheck, TwentyNineCells) {
    Probe29 dev;
    Configure(dev, R"({"group_index": 2, "amount": 12, "active_batteries": [28, 29, 31]})");
    Round(dev);
    const auto calls = host.Of("check_threshold");
    ASSERT_EQ(calls.size(), 3u + 13u);
    EXPECT_EQ(calls[3].label, "第18节电池");
    EXPECT_EQ(calls[3].name, "battery_0_value");
    EXPECT_EQ(calls.back().name, "battery_28_value");
    EXPECT_EQ(calls.back().index, 29);

    Probe29 all;
    Configure(all);
    Round(all);
    EXPECT_EQ(host.Of("check_threshold").size(), 3u + 29u);
    EXPECT_EQ(all.DeviceType(), "upsbattery_29");
    EXPECT_EQ(Probe32().DeviceType(), "battery_32");
}

}  // namespace
