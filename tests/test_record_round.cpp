// The data record and the end of a round: what is handed to the host, in
// which order, and how a cached record comes back.
#include <gtest/gtest.h>

#include <cstring>

#include "host/standin/HostRecorder.h"
#include "support/Cycle.h"

using frames::Hex;
using hoststandin::HostRecorder;

namespace {

using Layer = UniDataDevice<Battery32_Data_t, Battery, 5013>;

TEST(Record, FieldsSitAtTheirOffsetsWithNoGaps) {
    Battery32_Data_t rec;
    std::memset(&rec, 0, sizeof rec);
    rec.data_id = 0x04030201;
    rec.battery_value[31] = 1.0f;
    rec.group_voltage = 2.0f;
    rec.group_current = -3.0f;
    rec.reserved = 0xAA;
    rec.temperature = 25.5f;
    rec.time[6] = 0x77;
    std::vector<uint8_t> image(reinterpret_cast<uint8_t*>(&rec), reinterpret_cast<uint8_t*>(&rec) + sizeof rec);
    ASSERT_EQ(image.size(), 152u);
    EXPECT_EQ(image[0], 0x01);  // little-endian
    EXPECT_EQ(image[3], 0x04);
    EXPECT_EQ(FloatAt(image, 4 + 31 * 4), 1.0f);
    EXPECT_EQ(FloatAt(image, 132), 2.0f);
    EXPECT_EQ(FloatAt(image, 136), -3.0f);
    EXPECT_EQ(image[140], 0xAA);
    EXPECT_EQ(FloatAt(image, 141), 25.5f);
    EXPECT_EQ(image[151], 0x77);
    // 25.5f is 0x41CC0000: its bytes start right after the reserved byte.
    EXPECT_EQ(image[141], 0x00);
    EXPECT_EQ(image[144], 0x41);
}

class RoundCompletion : public ::testing::Test {
protected:
    void SetUp() override {
        dev.data_id_ = 12;
        dev.addr_ = 1;
        dev.InitSetting(Json::Value(Json::objectValue));  // bus address 0x81
        host.Clear();
    }
    Readings Healthy(uint16_t cell = 1350) {
        Readings r;
        r.cells = Cells(32, cell);
        r.string_voltage = 3915;
        r.current = 123;
        r.temperature = 2500;
        return r;
    }
    std::vector<uint8_t> Image(const hoststandin::HostCall& c) { return Hex(c.hex); }

    HostRecorder host;
    Probe29 dev;
};

// The order of the host calls, with their values, is pinned by the golden
// cycles and by the host test of the loaded library; this is the device's
// own state after a round.
TEST_F(RoundCompletion, ARoundLeavesTheDeviceCommunicatingAndReady) {
    CoutCapture out;
    EXPECT_EQ(RunCycle(dev, 0x81, Healthy()), 0);
    EXPECT_EQ(out.Lines(), std::vector<std::string>{"rvSize is 0"});
    EXPECT_EQ(dev.comm_state_, 1);
    EXPECT_EQ(dev.data_ready_, 1);
    EXPECT_EQ(dev.call_type, 0);
}

TEST_F(RoundCompletion, PublicationCarriesTheLastCompletedRecordUnderTheNewTimeStamp) {
    CoutCapture out;
    RunCycle(dev, 0x81, Healthy(1350));
    const auto sp1 = host.Of("send_sp");
    const auto hist1 = host.Of("save_history");
    ASSERT_EQ(sp1.size(), 1u);
    EXPECT_EQ(sp1[0].index, 5013);
    EXPECT_FALSE(sp1[0].flag);
    const auto first = Image(sp1[0]);
    ASSERT_EQ(first.size(), 152u);
    // Nothing was measured before: the first publication is all zero but its
    // identifier and time stamp.
    EXPECT_EQ(first[0], 12);
    for (std::size_t i = 4; i < 145; ++i) EXPECT_EQ(first[i], 0) << i;
    const TTime now = get_ttime(boost::posix_time::second_clock::local_time());
    EXPECT_EQ(first[145], now[0]);
    EXPECT_EQ(first[146], now[1]);
    // History gets this round's readings.
    const auto saved = Image(hist1[0]);
    EXPECT_FLOAT_EQ(FloatAt(saved, 4), 13.5f);
    EXPECT_FLOAT_EQ(FloatAt(saved, 132), 391.5f);
    EXPECT_FLOAT_EQ(FloatAt(saved, 136), 12.3f);
    EXPECT_FLOAT_EQ(FloatAt(saved, 141), 25.0f);
    for (int n = 29; n < 32; ++n) EXPECT_EQ(FloatAt(saved, 4 + 4 * n), 0.0f);
    EXPECT_TRUE(hist1[0].flag);  // the first round always changes the record

    host.Clear();
    RunCycle(dev, 0x81, Healthy(1360));
    const auto second = Image(host.Of("send_sp")[0]);
    EXPECT_FLOAT_EQ(FloatAt(second, 4), 13.5f);  // the previous round's cells
    EXPECT_FLOAT_EQ(FloatAt(Image(host.Of("save_history")[0]), 4), 13.6f);
}

TEST_F(RoundCompletion, AnalogOutputReportsAndBatchRules) {
    CoutCapture out;
    dev.ao_names_ = {"x", "missing", "y"};
    dev.ao_values_["x"] = 1.5f;
    dev.ao_values_["y"] = -2.0f;
    dev.rv_.resize(3);
    RunCycle(dev, 0x81, Healthy());
    const auto ao = host.Of("check_ao_report");
    ASSERT_EQ(ao.size(), 2u);
    EXPECT_EQ(ao[0].name, "x");
    EXPECT_EQ(ao[0].value, 1.5f);
    EXPECT_EQ(ao[1].name, "y");
    const auto checks = host.Of("check_threshold");
    ASSERT_EQ(checks.size(), 3u + 29u + 2u);
    EXPECT_EQ(checks[32].name, "x");
    EXPECT_EQ(checks[32].label, "");
    EXPECT_EQ(checks[32].index, 1);
    EXPECT_EQ(checks[33].value, -2.0f);
    // The report of each name comes right before its threshold check.
    const auto kinds = host.Kinds();
    auto first_ao = std::find(kinds.begin(), kinds.end(), "check_ao_report");
    EXPECT_EQ(*(first_ao + 1), "check_threshold");
    EXPECT_EQ(out.Lines(), std::vector<std::string>{"rvSize is 3"});
    EXPECT_EQ(host.Of("batch_check")[0].index, 3);
    EXPECT_TRUE(dev.rv_.empty());
}

TEST_F(RoundCompletion, DataChangedFlag) {
    CoutCapture out;
    RunCycle(dev, 0x81, Healthy());
    // Same readings, host checks quiet: nothing changed.
    RunCycle(dev, 0x81, Healthy());
    EXPECT_EQ(dev.data_changed_, 0);
    EXPECT_FALSE(host.Of("save_history").back().flag);
    // A host check can set it; the model's finding is never cleared by one.
    host.ao_report_result = true;
    dev.ao_names_ = {"x"};
    dev.ao_values_["x"] = 1.0f;
    RunCycle(dev, 0x81, Healthy());
    EXPECT_EQ(dev.data_changed_, 1);
    host.ao_report_result = false;
    host.batch_check_result = true;
    RunCycle(dev, 0x81, Healthy());
    EXPECT_EQ(dev.data_changed_, 1);
    host.batch_check_result = false;
    RunCycle(dev, 0x81, Healthy(1400));
    EXPECT_EQ(dev.data_changed_, 1);
}

TEST_F(RoundCompletion, TheLayersOwnCacheRestoreRunsARound) {
    CoutCapture out;
    std::vector<uint8_t> image(152, 0);
    image[0] = 99;
    float v = 12.25f;
    std::memcpy(&image[4], &v, 4);
    for (int size : {0, 151, 153}) {
        EXPECT_FALSE(dev.Layer::LoadFromCache(image.data(), size));
        EXPECT_EQ(dev.data_ready_, 0);
        EXPECT_TRUE(host.calls.empty());
    }
    EXPECT_FALSE(dev.Layer::LoadFromCache(nullptr, 152));
    EXPECT_TRUE(dev.Layer::LoadFromCache(image.data(), 152));
    EXPECT_EQ(dev.data_ready_, 1);
    const auto sp = host.Of("send_sp");
    ASSERT_EQ(sp.size(), 1u);
    EXPECT_EQ(Hex(sp[0].hex)[0], 99);
    EXPECT_FLOAT_EQ(FloatAt(Hex(sp[0].hex), 4), 12.25f);
    EXPECT_EQ(host.Of("save_history").size(), 1u);
}

}  // namespace
