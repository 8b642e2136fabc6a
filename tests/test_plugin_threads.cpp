// The host may drive different devices from different threads at the same
// time; calls into one device never overlap.  Plays such a host against the
// built library: eight devices, each polled on a thread of its own, half of
// them adding a neighbour's string voltage through the host, while other
// threads make providers and devices and drop them.  Run under
// ThreadSanitizer too (the "tsan" preset), where any data race fails it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "host/HLXSPDeviceProvider.h"
#include "host/standin/HostStandin.h"
#include "plugin/get_providers.h"
#include "support/Cycle.h"
#include "unidata/Battery32_Data_t.h"

using hoststandin::DeviceCall;

namespace {

constexpr int kDevices = 8;
constexpr int kCycles = 150;
constexpr int kCells = 29;
constexpr unsigned int kFirstId = 100;

// What standard output receives while the devices run, line by line; the
// plug-in's threads write to it at the same time.
class LineSink : public std::streambuf {
public:
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return 0;
        const char ch = static_cast<char>(c);
        return static_cast<int>(xsputn(&ch, 1));
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::streamsize i = 0; i < n; ++i) {
            if (s[i] == '\n') {
                lines_.push_back(partial_);
                partial_.clear();
            } else {
                partial_ += s[i];
            }
        }
        return n;
    }

private:
    std::mutex mutex_;
    std::string partial_;
    std::vector<std::string> lines_;
};

// The host's side of every round: each device's threshold calls carry its
// own cells' names and labels, and its records are counted.
class RoundWatcher : public hoststandin::HostObserver {
public:
    explicit RoundWatcher(const std::vector<int>& label_starts) : label_starts_(label_starts) {}

    void OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float,
                          int index) override {
        if (name.compare(0, 8, "battery_") != 0) return;
        const int start = label_starts_.at(dev.DataId() - kFirstId);
        const int n = index - 1;
        if (name != "battery_" + std::to_string(n) + "_value" ||
            label != "第" + std::to_string(start + n + 1) + "节电池")
            ++wrong_texts;
    }
    void OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) override {
        Battery32_Data_t record;
        if (size != sizeof record) {
            ++wrong_texts;
            return;
        }
        std::memcpy(&record, data, sizeof record);
        if (record.data_id != dev.DataId()) ++wrong_texts;
        ++rounds[dev.DataId() - kFirstId];
    }

    std::atomic<int> wrong_texts{0};
    std::atomic<int> rounds[kDevices] = {};

private:
    const std::vector<int> label_starts_;
};

// The raw readings of one device in one cycle: every device and every
// cycle its own, so that values crossing between devices would show.
Readings ReadingsOf(int device, int cycle) {
    Readings r;
    for (int n = 0; n < monitor::kCellSlots; ++n)
        r.cells.push_back(static_cast<uint16_t>(1100 + 10 * device + 5 * ((cycle + n) % 40)));
    r.string_voltage = static_cast<uint16_t>(3800 + 20 * device);  // 380 V + 2 V per device
    r.current = static_cast<uint16_t>(10 * (device + 1) + cycle % 7);
    r.temperature = static_cast<uint16_t>(2000 + 100 * device);
    return r;
}

struct DeviceRun {
    std::unique_ptr<HLXSPDevice> dev;
    int index = 0;
    int neighbour = -1;  // the device whose string voltage this one adds
    std::string failure;  // the first wrong result, if any
};

// One poll cycle and the host's reading of every value, each call into the
// device held as the host holds it.
void PollAndCheck(DeviceRun& run, int cycle) {
    HLXSPDevice& dev = *run.dev;
    const Readings r = ReadingsOf(run.index, cycle);
    const uint8_t addr = monitor::BusAddress(static_cast<uint8_t>(run.index + 1));
    auto fail = [&](const std::string& what) {
        if (run.failure.empty()) run.failure = "cycle " + std::to_string(cycle) + ": " + what;
    };
    {
        DeviceCall call(dev);
        if (dev.RefreshStatus() != 1) fail("RefreshStatus");
    }
    // The long reply in chunks, then the short replies, each a call of its own.
    const std::vector<uint8_t> long_reply = frames::LongReply(addr, r.cells);
    for (std::size_t at = 0; at < long_reply.size(); at += 16) {
        std::vector<uint8_t> chunk(long_reply.begin() + static_cast<std::ptrdiff_t>(at),
                                   long_reply.begin() + static_cast<std::ptrdiff_t>(std::min(at + 16, long_reply.size())));
        DeviceCall call(dev);
        if (frames::Feed(dev, chunk) != 1) fail("cell reply refused");
    }
    const uint16_t shorts[] = {r.string_voltage, r.current, r.temperature};
    for (int k = 0; k < 3; ++k) {
        DeviceCall call(dev);
        if (frames::Feed(dev, frames::ShortReply(addr, shorts[k])) != (k < 2 ? 1 : 0)) fail("short reply");
    }

    DeviceCall call(dev);
    const unsigned int id = dev.DataId();
    for (int n = 0; n < kCells; ++n) {
        const float want = static_cast<float>(r.cells[static_cast<std::size_t>(n)]) / 100.0f;
        if (dev.Get_Value(id, "battery_" + std::to_string(n) + "_value") != want) fail("cell " + std::to_string(n));
    }
    // A name only the cell pattern reads: the pattern, compiled once for all
    // devices, is first used and then searched on every thread at once.
    const int n = cycle % kCells;
    if (dev.Get_Value(id, "string_battery_" + std::to_string(n) + "_value") !=
        static_cast<float>(r.cells[static_cast<std::size_t>(n)]) / 100.0f)
        fail("cell by pattern");
    float string_voltage = static_cast<float>(r.string_voltage) / 10.0f;
    if (run.neighbour >= 0) string_voltage += static_cast<float>(ReadingsOf(run.neighbour, 0).string_voltage) / 10.0f;
    if (dev.Get_Value(id, "group_voltage") != string_voltage) fail("group_voltage");
    if (dev.Get_Value(id, "group_current") != static_cast<float>(r.current) / 10.0f) fail("group_current");
    if (dev.Get_Value(id, "temperature") != static_cast<float>(r.temperature) / 100.0f) fail("temperature");
}

// Providers and devices made and dropped while the others run: every device
// comes new, unconfigured and independent of its provider.
void MakeAndDrop(GetProvidersFn get_providers, HLXSPDeviceProvider& shared, int rounds, std::string& failure) {
    for (int i = 0; i < rounds && failure.empty(); ++i) {
        auto providers = get_providers();
        auto own = providers.size() == 1 ? std::dynamic_pointer_cast<HLXSPDeviceProvider>(providers[0]) : nullptr;
        if (!own) {
            failure = "get_providers did not give one serial device provider";
            return;
        }
        std::unique_ptr<HLXSPDevice> a(own->create());
        std::unique_ptr<HLXSPDevice> b(shared.create());
        own.reset();
        providers.clear();
        if (a == nullptr || b == nullptr || a == b || a->DeviceType() != "upsbattery_29" ||
            b->DeviceType() != "upsbattery_29") {
            failure = "create() gave no new device of its type";
            return;
        }
        try {
            a->Get_Value(0, "group_voltage");
            failure = "an unconfigured device answered";
        } catch (const std::out_of_range& e) {
            if (std::string(e.what()) != "数据未就绪") failure = e.what();
        }
    }
}

TEST(PluginThreads, DevicesOnTheirOwnThreadsWhileProvidersAndDevicesComeAndGo) {
    void* handle = dlopen(UPSB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto get_providers = reinterpret_cast<GetProvidersFn>(dlsym(handle, "get_providers"));
    ASSERT_NE(get_providers, nullptr) << dlerror();
    auto provider = std::dynamic_pointer_cast<HLXSPDeviceProvider>(get_providers().at(0));
    ASSERT_NE(provider, nullptr);

    // Set up on one thread, as the host does before it starts polling: even
    // devices measure their own string, odd ones add their even neighbour's
    // (restored from a record, so it answers from the first cycle on).  Half
    // of the strings are numbered from the second group's first cell.
    std::vector<DeviceRun> runs(kDevices);
    std::vector<int> label_starts(kDevices);
    for (int i = 0; i < kDevices; ++i) {
        DeviceRun& run = runs[static_cast<std::size_t>(i)];
        run.index = i;
        run.dev.reset(provider->create());
        run.dev->data_id_ = kFirstId + static_cast<unsigned int>(i);
        run.dev->addr_ = static_cast<uint8_t>(i + 1);
        Json::Value app(Json::objectValue);
        if (i % 2 == 1) {
            run.neighbour = i - 1;
            app["group_voltage"].append(kFirstId + static_cast<unsigned int>(i - 1));
        }
        const bool second_group = (i / 2) % 2 == 1;
        app["group_index"] = second_group ? 2 : 1;
        app["amount"] = kCells;
        Json::Value config(Json::objectValue);
        config["appSetting"] = app;
        std::streambuf* out = std::cout.rdbuf(nullptr);  // the configuration's console lines
        ASSERT_TRUE(run.dev->InitSetting(config));
        std::cout.rdbuf(out);
        std::cout.clear();
        Battery32_Data_t record{};
        record.group_voltage = static_cast<float>(ReadingsOf(i, 0).string_voltage) / 10.0f;
        ASSERT_TRUE(run.dev->LoadFromCache(reinterpret_cast<const unsigned char*>(&record), sizeof record));
        label_starts[static_cast<std::size_t>(i)] = second_group ? 17 : 0;
    }

    RoundWatcher watcher(label_starts);
    hoststandin::SetObserver(&watcher);
    LineSink sink;
    std::streambuf* old_out = std::cout.rdbuf(&sink);

    std::vector<std::thread> threads;
    for (DeviceRun& run : runs)
        threads.emplace_back([&run] {
            for (int cycle = 0; cycle < kCycles; ++cycle) PollAndCheck(run, cycle);
        });
    std::string churn_failure[2];
    for (std::string& failure : churn_failure)
        threads.emplace_back([&, get_providers] { MakeAndDrop(get_providers, *provider, 200, failure); });
    for (std::thread& t : threads) t.join();

    std::cout.rdbuf(old_out);
    hoststandin::SetObserver(nullptr);

    for (const DeviceRun& run : runs) EXPECT_EQ(run.failure, "") << "device " << run.index;
    for (const std::string& failure : churn_failure) EXPECT_EQ(failure, "");
    EXPECT_EQ(watcher.wrong_texts.load(), 0);
    for (int i = 0; i < kDevices; ++i) EXPECT_EQ(watcher.rounds[i].load(), kCycles) << "device " << i;
    // One whole console line per round, whatever the other threads print.
    const std::vector<std::string> lines = sink.Lines();
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kDevices * kCycles));
    for (const std::string& line : lines) {
        EXPECT_EQ(line, "rvSize is 0");
        if (line != "rvSize is 0") break;
    }
}

}  // namespace
