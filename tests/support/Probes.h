#pragma once
// Test access to the devices' protected state, and small helpers shared by
// the unit tests.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include <json/reader.h>

#include "battery/Battery.h"
#include "protocol/MonitorProtocol.h"
#include "models/Battery32.h"
#include "models/UPSBattery29.h"

// A Battery with the layers above it stubbed: counts what the poll cycle
// asks of them.
class StubBattery : public Battery {
public:
    using Battery::active_batteries_;
    using Battery::battery_adjust_;
    using Battery::battery_start_;
    using Battery::battery_type_;
    using Battery::call_type;
    using Battery::current_ratio_;
    using Battery::dir_;
    using Battery::group_a_;
    using Battery::group_b_;
    using Battery::group_current_;
    using Battery::group_voltage_;
    using Battery::group_voltage_ids_;
    using Battery::group_voltage_valid_;
    using Battery::r_current_field_;
    using Battery::r_data_id_;
    using Battery::retry_count;
    using Battery::save_interval_;
    using Battery::t0_;
    using Battery::t31_;
    using Battery::temperature_;
    using Battery::version_;

    bool LoadFromCache(const unsigned char*, int) override { return false; }
    void RoundDone() override {
        ++rounds;
        ready_during_round = data_ready_;
    }
    // The long reply, simplified: accepted once 67 bytes are held.
    int ProcessBatteryVoltage() override {
        ++cell_replies;
        if (msg_len < monitor::kLongReplyLen) return 1;
        msg_len = 0;
        CallGroupVoltage();
        return 1;
    }
    int rounds = 0;
    int cell_replies = 0;
    unsigned char ready_during_round = 0xFF;
};

template <typename Model>
class ModelProbe : public Model {
public:
    using Model::active_batteries_;
    using Model::b_mode_;
    using Model::battery_adjust_;
    using Model::battery_count_;
    using Model::battery_start_;
    using Model::battery_type_;
    using Model::battery_voltage_;
    using Model::call_type;
    using Model::current_ratio_;
    using Model::data_;
    using Model::dir_;
    using Model::group_a_;
    using Model::group_b_;
    using Model::group_current_;
    using Model::group_voltage_;
    using Model::group_voltage_valid_;
    using Model::nm_alarm_map_;
    using Model::retry_count;
    using Model::round_time_;
    using Model::signal_name_map_;
    using Model::t0_;
    using Model::t31_;
    using Model::temperature_;
    using Model::version_;
};
using Probe32 = ModelProbe<Battery32>;
using Probe29 = ModelProbe<UPSBattery29>;

// Captures what is written to standard output while it lives.
class CoutCapture {
public:
    CoutCapture() : old_(std::cout.rdbuf(buf_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    std::string Text() const { return buf_.str(); }
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        std::istringstream in(buf_.str());
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

private:
    std::ostringstream buf_;
    std::streambuf* old_;
};

inline Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) throw std::runtime_error(errors);
    return v;
}

// Frames the tests feed to the devices, built here from the monitor's wire
// format as its manual states it, without the code under test: a fault in the
// protocol's checksum or layout must make these frames fail, not travel into
// both sides of every comparison.
namespace frames {

// The checksum as the monitor's manual states it: the byte sum kept to 8
// bits, then modulo 254.  Summed wide and reduced at the end, unlike the
// protocol's running 8-bit sum, so the two only agree when both are right.
inline uint8_t ReferenceSum(const std::vector<uint8_t>& bytes, std::size_t first, std::size_t last) {
    int sum = 0;
    for (std::size_t i = first; i <= last; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum % 256 % 254);
}

// ED addr hi lo sum: the checksum covers the address and the reading.
inline std::vector<uint8_t> ShortReply(uint8_t addr, uint16_t value) {
    std::vector<uint8_t> f{0xED, addr, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
    f.push_back(ReferenceSum(f, 1, 3));
    return f;
}

// ED addr, then 32 slots high byte first, then the checksum over bytes 1..65.
// One raw reading per slot; missing slots are 0.
inline std::vector<uint8_t> LongReply(uint8_t addr, const std::vector<uint16_t>& slots) {
    std::vector<uint8_t> f{0xED, addr};
    for (std::size_t i = 0; i < 32; ++i) {
        const uint16_t v = i < slots.size() ? slots[i] : 0;
        f.push_back(static_cast<uint8_t>(v >> 8));
        f.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    f.push_back(ReferenceSum(f, 1, 65));
    return f;
}

// FE FE addr command sum: the checksum covers the address and the command.
inline std::vector<uint8_t> Request(uint8_t addr, uint8_t command) {
    std::vector<uint8_t> f{0xFE, 0xFE, addr, command};
    f.push_back(ReferenceSum(f, 2, 3));
    return f;
}

inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    int nibble = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else continue;
        if (nibble < 0) nibble = v;
        else {
            out.push_back(static_cast<uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

template <typename Dev>
int Feed(Dev& dev, std::vector<uint8_t> bytes) {
    return dev.process(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

}  // namespace frames
