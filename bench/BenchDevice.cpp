#include "BenchDevice.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include <json/reader.h>

#include "protocol/MonitorProtocol.h"
#include "unidata/Battery32_Data_t.h"

namespace {

// A full configuration as a site would give it.
const char kConfig[] = R"({
  "appSetting": {
    "b_mode": 3, "battery_type": 0, "version": 1, "dir": 0, "group_a": 1.0, "group_b": "0.3",
    "battery_adjust": -0.02, "current_ratio": 0, "save_interval": 480,
    "group_index": 1, "amount": 29, "active_batteries": [3, 12, "13"], "t0": 0.05, "t31": -0.05
  },
  "thresholdSetting": {
    "group_voltage": {"SignalName": "string voltage", "NMAlarmID": "0418001", "ID": 1, "SignalNumber": 1},
    "temperature": {"SignalName": "temperature", "NMAlarmID": "0418002", "ID": 2, "SignalNumber": 1},
    "battery_0_value": {"SignalName": "cell 1", "NMAlarmID": "0418003", "ID": 3, "SignalNumber": 1}
  }
})";

constexpr uint8_t kConfiguredAddress = 1;
constexpr uint8_t kBusAddress = monitor::BusAddress(kConfiguredAddress);

std::vector<uint8_t> ShortReply(uint16_t raw) {
    const monitor::ShortReply f = monitor::BuildShortReply(kBusAddress, raw);
    return std::vector<uint8_t>(f.begin(), f.end());
}

}  // namespace

BenchDevice::BenchDevice() {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    reader->parse(kConfig, kConfig + sizeof kConfig - 1, &config_, nullptr);
    dev_.data_id_ = 12;
    Configure();

    monitor::CellSlots slots{};
    for (std::size_t i = 0; i < 29; ++i) slots[i] = static_cast<uint16_t>(1340 + i % 7);
    const monitor::LongReply cells = monitor::BuildLongReply(kBusAddress, slots);
    cell_reply_.assign(cells.begin(), cells.end());
    short_replies_[0] = ShortReply(3900);
    short_replies_[1] = ShortReply(123);
    short_replies_[2] = ShortReply(2500);

    Battery32_Data_t rec{};
    rec.data_id = 12;
    for (float& v : rec.battery_value) v = 13.4f;
    rec.group_voltage = 388.6f;
    record_.assign(reinterpret_cast<const char*>(&rec), sizeof rec);
}

void BenchDevice::Configure() {
    // The host stores the configured address before every configuration.
    dev_.addr_ = kConfiguredAddress;
    dev_.InitSetting(config_);
}

void BenchDevice::Cycle(std::size_t chunk) {
    dev_.RefreshStatus();
    if (chunk == 0) chunk = cell_reply_.size();
    for (std::size_t at = 0; at < cell_reply_.size(); at += chunk)
        dev_.process(cell_reply_.data() + at, static_cast<unsigned int>(std::min(chunk, cell_reply_.size() - at)));
    for (auto& reply : short_replies_) dev_.process(reply.data(), static_cast<unsigned int>(reply.size()));
}

float BenchDevice::GetCell() const { return dev_.Get_Value(0, cell_name_); }
float BenchDevice::GetTemperature() const { return dev_.Get_Value(0, temperature_name_); }

bool BenchDevice::GetUnsupported() const {
    try {
        dev_.Get_Value(0, unsupported_name_);
    } catch (const std::out_of_range&) {
        return false;
    }
    return true;
}

bool BenchDevice::Restore() {
    return static_cast<VDeviceInterface&>(dev_).LoadFromCache(record_);
}

int RunForInstructions(const std::string& op, long n) {
    BenchDevice b;
    b.Cycle(0);
    float sink = 0;
    for (long i = 0; i < n; ++i) {
        if (op == "cycle") b.Cycle(0);
        else if (op == "cycle8") b.Cycle(8);
        else if (op == "get_cell") sink += b.GetCell();
        else if (op == "get_temperature") sink += b.GetTemperature();
        else if (op == "get_unsupported") sink += b.GetUnsupported();
        else if (op == "init") b.Configure();
        else if (op == "cache") sink += b.Restore();
        else return 2;
    }
    return sink < 0 ? 1 : 0;
}
