// Plays the host against the built library: load it, find the entry point,
// create and configure a device, run whole poll cycles from raw bytes and
// check every call the device makes into the host, in order.  Nothing of the
// plug-in is linked in: only the host stand-in is.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <typeinfo>

#include "host/HLXSPDeviceProvider.h"
#include "host/ValueErrors.h"
#include "host/standin/HostRecorder.h"
#include "plugin/get_providers.h"
#include "support/Cycle.h"
#include "support/LoadedPlugin.h"

using hoststandin::HostRecorder;

namespace {

class PluginLibrary : public LoadedPlugin {
protected:
    std::shared_ptr<HLXSPDeviceProvider> Provider() {
        auto providers = get_providers_();
        EXPECT_EQ(providers.size(), 1u);
        return std::dynamic_pointer_cast<HLXSPDeviceProvider>(providers.at(0));
    }
};

TEST_F(PluginLibrary, ProvidersAreNewEveryCallAndKnowTheirTypes) {
    auto a = get_providers_();
    auto b = get_providers_();
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_NE(a[0].get(), b[0].get());
    EXPECT_EQ(a[0].use_count(), 1);

    ::Provider* p = a[0].get();
    EXPECT_NE(dynamic_cast<HLXSPDeviceProvider*>(p), nullptr);
    // The plug-in's own provider class is known here only through the
    // library's exported type information: run the same run-time type test a
    // dynamic_cast would, against it.
    const auto* own = static_cast<const abi::__class_type_info*>(dlsym(handle_, "_ZTI20UPSBattery29Provider"));
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(typeid(*p), *static_cast<const std::type_info*>(own));
    const auto* base = static_cast<const abi::__class_type_info*>(&typeid(::Provider));
    EXPECT_EQ(abi::__dynamic_cast(p, base, own, -1), p);
    EXPECT_EQ(std::string(typeid(*p).name()), "20UPSBattery29Provider");
    for (const char* table : {"_ZTV8Provider", "_ZTV19HLXSPDeviceProvider", "_ZTV20UPSBattery29Provider"})
        EXPECT_NE(dlsym(handle_, table), nullptr) << table;
    // Nothing else of the plug-in can be found by name.
    EXPECT_EQ(dlsym(handle_, "_ZN12UPSBattery29C1Ev"), nullptr);
}

TEST_F(PluginLibrary, DevicesAreIndependentAndOutliveTheirProvider) {
    auto provider = Provider();
    ASSERT_NE(provider, nullptr);
    std::unique_ptr<HLXSPDevice> a(provider->create());
    std::unique_ptr<HLXSPDevice> b(provider->create());
    provider.reset();
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "upsbattery_29");
    EXPECT_EQ(a->baudrate_, 19200);
    EXPECT_TRUE(a->GetAllChildVDevices().empty());
    try {
        a->Get_Value(0, "battery_0_value");
        ADD_FAILURE();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), hostvalue::kNotReady);
    }
    HostRecorder host;
    a->data_id_ = 5;
    a->RefreshStatus();
    ASSERT_EQ(host.Of("tx").size(), 1u);
    EXPECT_EQ(host.Of("tx")[0].hex, "FEFE00A1A1");
}

TEST_F(PluginLibrary, ConfigurePollRestoreAndDestroy) {
    HostRecorder host;
    std::unique_ptr<HLXSPDevice> dev(Provider()->create());
    dev->data_id_ = 12;
    dev->addr_ = 1;
    dev->threshold_levels_["battery_0_value"] = 2;
    dev->threshold_values_["battery_0_value"] = 10.5f;
    {
        CoutCapture out;
        EXPECT_TRUE(dev->InitSetting(ParseJson(R"({
            "appSetting": {"b_mode": 3, "group_index": 2, "amount": 29, "version": 1},
            "thresholdSetting": {"battery_0_value": {"NMAlarmID": "9001", "ID": 1, "SignalNumber": 2}}})")));
        EXPECT_EQ(out.Lines(), (std::vector<std::string>{"InitSetting 12 b_mode_:3", "here 1", "here 2",
                                                         "here battery_0_value",
                                                         "mobile:battery_0_value:9001;1;2; level:2 value:10.5"}));
    }
    EXPECT_TRUE(host.calls.empty());

    std::vector<uint16_t> cells = Cells(32, 1350);
    cells[0] = 1201;
    cells[28] = 1399;
    cells[29] = 1111;  // slots this string does not use
    cells[31] = 1222;
    const uint16_t string_raw = 3915, current_raw = 123, temperature_raw = 2500;

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        host.Clear();
        CoutCapture out;
        EXPECT_EQ(dev->RefreshStatus(), 1);
        auto reply = frames::LongReply(0x81, cells);
        // The long reply arrives in chunks, as a USB adapter delivers it.
        for (std::size_t at = 0; at < reply.size(); at += 8) {
            const std::size_t n = std::min<std::size_t>(8, reply.size() - at);
            EXPECT_EQ(dev->process(reply.data() + at, static_cast<unsigned int>(n)), 1);
        }
        auto feed = [&](std::vector<uint8_t> bytes) {
            return dev->process(bytes.data(), static_cast<unsigned int>(bytes.size()));
        };
        EXPECT_EQ(feed(frames::ShortReply(0x81, string_raw)), 1);
        EXPECT_EQ(feed(frames::ShortReply(0x81, current_raw)), 1);
        EXPECT_EQ(feed(frames::ShortReply(0x81, temperature_raw)), 0);
        EXPECT_EQ(out.Lines(), std::vector<std::string>{"rvSize is 0"});

        // The loaded library makes the same calls as the linked code, whose
        // values and record images the golden cycles pin call by call.
        std::vector<std::string> expected = {"sp_refresh", "tx", "tx", "tx", "tx", "send_sp", "reset"};
        expected.insert(expected.end(), 3 + 29, "check_threshold");
        expected.push_back("batch_check");
        expected.push_back("save_history");
        ASSERT_EQ(host.Kinds(), expected);
        const auto& c = host.calls;
        EXPECT_EQ(c[1].hex, "FEFE81A122");
        EXPECT_EQ(c[4].hex, "FEFE81A425");
        EXPECT_EQ(c[10].label, "第18节电池");  // group 2 numbers its cells from 18
        EXPECT_EQ(c.back().hex.size(), 2u * 152u);
        // Only the first round changes the record.
        EXPECT_EQ(c.back().flag, round == 0);
    }

    EXPECT_FLOAT_EQ(dev->Get_Value(0, "battery_0_value"), 12.01f);
    EXPECT_FLOAT_EQ(dev->Get_Value(0, "battery_28_value"), 13.99f);
    EXPECT_FLOAT_EQ(dev->Get_Value(0, "group_voltage"), 391.5f);
    EXPECT_THROW(dev->Get_Value(0, "battery_29_value"), std::out_of_range);

    // Another device of the site reads this one's string voltage through the host.
    std::unique_ptr<HLXSPDevice> other(Provider()->create());
    other->data_id_ = 13;
    other->addr_ = 2;
    other->InitSetting(ParseJson(R"({"appSetting": {"group_voltage": [12]}})"));
    host.Clear();
    other->RefreshStatus();
    auto cell_reply = frames::LongReply(0x82, cells);
    other->process(cell_reply.data(), static_cast<unsigned int>(cell_reply.size()));
    {
        CoutCapture out;
        for (uint16_t raw : {1000, 0, 2000}) {
            auto short_reply = frames::ShortReply(0x82, raw);
            other->process(short_reply.data(), static_cast<unsigned int>(short_reply.size()));
        }
    }
    ASSERT_EQ(host.Of("get_sp_value").size(), 1u);
    EXPECT_EQ(host.Of("get_sp_value")[0].index, 12);
    EXPECT_EQ(host.Of("get_sp_value")[0].name, "group_voltage");
    EXPECT_FLOAT_EQ(other->Get_Value(0, "group_voltage"), 100.0f + 391.5f);
    EXPECT_FLOAT_EQ(dev->Get_SP_Value(13, "group_voltage"), 100.0f + 391.5f);

    // A new device restored from the last record answers at once.
    host.Clear();
    std::unique_ptr<HLXSPDevice> restored(Provider()->create());
    restored->data_id_ = 12;
    std::vector<uint8_t> image(152, 0);
    float cell = 12.75f;
    std::memcpy(&image[4 + 4 * 7], &cell, 4);
    EXPECT_FALSE(restored->LoadFromCache(std::string(151, '\0')));
    EXPECT_TRUE(restored->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_FLOAT_EQ(restored->Get_Value(0, "battery_7_value"), 12.75f);
    EXPECT_TRUE(host.calls.empty());

    // Destroyed through the virtual destructor, as the host does.
    dev.reset();
    restored.reset();
    other.reset();
    EXPECT_EQ(hoststandin::FindDevice(12), nullptr);
}

}  // namespace
