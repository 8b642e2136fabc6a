// The byte path under arbitrary input: a configuration, then a sequence of
// ticks and received chunks of any size, some of them replies a monitor
// could send, whole, split, corrupted or preceded by noise.  After every call
// the reassembly stays inside its buffer and the awaited command is a known
// one; after every completed round each value the device answers must be one
// that a checksum-valid frame in the received bytes carries (or one the
// device derives from those: a held value, a dropped reading's 0, the sum of
// the cells standing in for an implausible string voltage).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "protocol/MonitorProtocol.h"
#include "host/standin/HostStandin.h"
#include "support/Probes.h"

namespace {

class Counter : public hoststandin::HostObserver {
public:
    void OnSaveHistory(HLXVDevice&, const unsigned char*, unsigned int) override { ++rounds; }
    int rounds = 0;
};

// Values a checksum-valid frame anywhere in the received stream can give,
// decoded the way the device's configuration says.
struct Candidates {
    std::set<float> cells{0.0f};
    std::set<float> string_voltage;
    std::set<float> current;
    std::set<float> temperature{0.0f};

    void Scan(const std::vector<uint8_t>& s, const Probe29& d) {
        const uint8_t addr = d.addr_;
        for (std::size_t i = 0; i + monitor::kShortReplyLen <= s.size(); ++i) {
            if (!monitor::AcceptReply(&s[i], static_cast<int>(s.size() - i), monitor::kShortReplyLen, addr)) continue;
            const float raw = monitor::ReadU16(&s[i], 2);
            float volts = raw / (d.version_ == 2 ? 100.0f : 10.0f);
            volts = volts * d.group_a_;
            volts = volts + d.group_b_;
            string_voltage.insert(volts);
            current.insert(d.current_ratio_ != 0 ? ((raw / 10.0f) / 125.0f - 2.0f) * 50.0f : raw / 10.0f);
            temperature.insert(raw / 100.0f);
        }
        for (std::size_t i = 0; i + monitor::kLongReplyLen <= s.size(); ++i) {
            if (!monitor::AcceptReply(&s[i], static_cast<int>(s.size() - i), monitor::kLongReplyLen, addr)) continue;
            for (int slot = 0; slot < 29; ++slot) {
                float v = static_cast<float>(monitor::ReadU16(&s[i], monitor::CellSlotOffset(slot))) /
                          (d.battery_type_ == 6 ? 1000.0f : 100.0f);
                v = v + d.battery_adjust_;
                if (slot == 0) v = v + d.t0_;
                if (slot == 28) v = v + d.t31_;
                cells.insert(v);
            }
        }
    }
};

bool In(const std::set<float>& s, float v) { return s.count(v) != 0 || std::isnan(v); }

void CheckRound(const Probe29& d, const Candidates& c) {
    float sum = 0.0f;
    for (int k = 0; k < 29; ++k) {
        const float cell = d.Get_Value(0, "battery_" + std::to_string(k) + "_value");
        FUZZ_CHECK(In(c.cells, cell));
        sum += d.battery_voltage_[k];
    }
    for (int k = 29; k < 32; ++k) FUZZ_CHECK(d.data_.battery_value[k] == 0.0f);
    const float group = d.Get_Value(0, "group_voltage");
    FUZZ_CHECK(In(c.string_voltage, group) || group == sum);
    FUZZ_CHECK(In(c.current, d.Get_Value(0, "group_current")) || d.Get_Value(0, "group_current") == 0.0f);
    FUZZ_CHECK(In(c.temperature, d.Get_Value(0, "temperature")));
}

std::vector<uint8_t> Reply(FuzzedDataProvider& in, uint8_t addr, int call_type) {
    if (call_type == Battery::kCellVoltages) {
        monitor::CellSlots slots;
        for (uint16_t& raw : slots) raw = in.ConsumeIntegral<uint16_t>();
        const monitor::LongReply f = monitor::BuildLongReply(addr, slots);
        return std::vector<uint8_t>(f.begin(), f.end());
    }
    const monitor::ShortReply f = monitor::BuildShortReply(addr, in.ConsumeIntegral<uint16_t>());
    return std::vector<uint8_t>(f.begin(), f.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Counter counter;
    hoststandin::SetObserver(&counter);

    Probe29 dev;
    dev.data_id_ = 12;
    dev.addr_ = in.ConsumeIntegral<uint8_t>();
    Json::Value app(Json::objectValue);
    app["battery_type"] = in.ConsumeBool() ? 6 : in.ConsumeIntegralInRange(-1, 7);
    app["dir"] = in.ConsumeIntegralInRange(-1, 1);
    app["version"] = in.ConsumeIntegralInRange(0, 3);
    app["current_ratio"] = in.ConsumeIntegralInRange(0, 1);
    app["group_a"] = in.ConsumeFloatingPointInRange(-4.0, 4.0);
    app["group_b"] = in.ConsumeFloatingPointInRange(-50.0, 50.0);
    app["battery_adjust"] = in.ConsumeFloatingPointInRange(-1.0, 1.0);
    app["t0"] = in.ConsumeFloatingPointInRange(-1.0, 1.0);
    app["t31"] = in.ConsumeFloatingPointInRange(-1.0, 1.0);
    Json::Value config(Json::objectValue);
    config["appSetting"] = app;
    {
        CoutCapture quiet;
        dev.InitSetting(config);
    }

    std::vector<uint8_t> stream;  // every byte received since construction
    Candidates candidates;
    CoutCapture quiet;
    while (in.remaining_bytes() > 0) {
        const int rounds_before = counter.rounds;
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0:
                FUZZ_CHECK(dev.RefreshStatus() == 1);
                break;
            case 1: {  // noise
                auto chunk = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 100));
                stream.insert(stream.end(), chunk.begin(), chunk.end());
                const int r = dev.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
                FUZZ_CHECK(r == 0 || r == 1);
                break;
            }
            default: {  // the reply a monitor would give, maybe damaged, in pieces
                auto reply = Reply(in, in.ConsumeBool() ? dev.addr_ : in.ConsumeIntegral<uint8_t>(),
                                   dev.call_type == 0 ? in.ConsumeIntegralInRange(1, 4) : dev.call_type);
                if (in.ConsumeBool()) reply[in.ConsumeIntegralInRange<size_t>(0, reply.size() - 1)] ^= in.ConsumeIntegral<uint8_t>();
                std::size_t at = 0;
                while (at < reply.size()) {
                    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, reply.size() - at);
                    stream.insert(stream.end(), reply.begin() + at, reply.begin() + at + n);
                    dev.process(reply.data() + at, static_cast<unsigned int>(n));
                    at += n;
                    FUZZ_CHECK(dev.msg_len >= 0 && dev.msg_len <= monitor::kReplyCapacity);
                }
                break;
            }
        }
        FUZZ_CHECK(dev.msg_len >= 0 && dev.msg_len <= monitor::kReplyCapacity);
        FUZZ_CHECK(dev.call_type >= 0 && dev.call_type <= 4);
        if (counter.rounds != rounds_before) {
            candidates.Scan(stream, dev);
            CheckRound(dev, candidates);
        }
    }
    hoststandin::SetObserver(nullptr);
    return 0;
}
