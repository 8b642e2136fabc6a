#include "Battery.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "CellGroups.h"
#include "ConfigText.h"
#include "host/ValueErrors.h"
#include "protocol/MonitorProtocol.h"

namespace {

// The request each awaited reply answers, by call_type.
constexpr uint8_t kCommandOf[] = {0, monitor::kCmdCellVoltages, monitor::kCmdStringVoltage, monitor::kCmdCurrent,
                                  monitor::kCmdTemperature};

// Current sensor: 0..5000 raw maps linearly onto -100..+100 A.
constexpr float kSensorScale = 10.0f;
constexpr float kSensorSpan = 125.0f;
constexpr float kSensorOffset = 2.0f;
constexpr float kSensorAmps = 50.0f;

// Temperatures outside (0, 100] degrees are not plausible readings.
constexpr float kMaxTemperature = 100.0f;

// A reply is gathered in the host's buffer, and every copy into it is bounded
// by the reply capacity alone.
static_assert(monitor::kReplyCapacity <= HLXSPDevice::kMsgBufSize,
              "the host's message buffer must hold the reply capacity");

}  // namespace

Battery::Battery() { baudrate_ = kLineSpeed; }

Battery::~Battery() = default;

unsigned char Battery::GetMMCheckSum(unsigned char* data, int len) { return monitor::Checksum(data, len); }

void Battery::Touch() { update_time_ = boost::posix_time::second_clock::local_time(); }

void Battery::SendRequest(uint8_t command, int32_t next_call_type) {
    // Whatever was gathered belongs to an earlier request.
    msg_len = 0;
    const monitor::Request frame = monitor::BuildRequest(addr_, command);
    HLXSPDevice::SendData(frame.data(), monitor::kRequestLen);
    call_type = next_call_type;
    Touch();
}

void Battery::CallVoltage() { SendRequest(monitor::kCmdCellVoltages, kCellVoltages); }
void Battery::CallGroupVoltage() { SendRequest(monitor::kCmdStringVoltage, kStringVoltage); }
void Battery::CallCurrent() { SendRequest(monitor::kCmdCurrent, kCurrent); }
void Battery::CallTemperature() { SendRequest(monitor::kCmdTemperature, kTemperature); }

void Battery::Resend() { SendRequest(kCommandOf[call_type], call_type); }

int Battery::RefreshStatus() {
    if (call_type >= kCellVoltages && call_type <= kTemperature) {
        // The three resends are one budget for the whole cycle.
        if (retry_count++ < monitor::kResendsPerCycle) {
            Resend();
            return 1;
        }
    }
    retry_count = 0;
    HLXSPDevice::RefreshStatus();
    CallVoltage();
    return 1;
}

int Battery::process(unsigned char* data, unsigned int len) {
    Touch();
    if (data == nullptr) len = 0;
    // Only the first monitor::kReplyCapacity bytes of msg_buf gather a reply;
    // a longer run of bytes cannot be one and is dropped.
    if (msg_len < 0 || msg_len > monitor::kReplyCapacity) msg_len = 0;

    // The whole chunk counts, before any search for a start byte.  Compared
    // in 64 bits: a length near the top of its range must not wrap around the
    // test and overrun the buffer.
    if (static_cast<uint64_t>(msg_len) + len > static_cast<uint64_t>(monitor::kReplyCapacity)) {
        call_type = kIdle;
        msg_len = 0;
        return 0;
    }

    if (len == 0) {
        // nothing arrived
    } else if (msg_len != 0) {
        // A frame is being gathered: everything belongs to it.
        std::memcpy(msg_buf + msg_len, data, len);
        msg_len += static_cast<int32_t>(len);
    } else {
        // Line noise before a frame is dropped up to the first start byte.
        const unsigned char* start = monitor::FindStartByte(data, len);
        const unsigned int kept = len - static_cast<unsigned int>(start - data);
        if (kept != 0) {
            std::memcpy(msg_buf, start, kept);
            msg_len = static_cast<int32_t>(kept);
        }
    }

    switch (call_type) {
        case kCellVoltages:
            return ProcessBatteryVoltage();
        case kStringVoltage:
        case kCurrent:
        case kTemperature:
            break;
        default:
            // Nothing awaited: the bytes wait for the next request to drop them.
            return 0;
    }

    // A short reply is not waited for across chunks: it must be whole now.
    if (msg_len < monitor::kShortReplyLen) {
        call_type = kIdle;
        return 0;
    }
    const int buffered = msg_len;
    msg_len = 0;
    if (!monitor::AcceptReply(msg_buf, buffered, monitor::kShortReplyLen, addr_)) {
        call_type = kIdle;
        return 0;
    }
    const uint16_t raw = monitor::ReadU16(msg_buf, monitor::kShortValueOffset);
    switch (call_type) {
        case kStringVoltage:
            return DecodeStringVoltage(raw);
        case kCurrent:
            return DecodeCurrent(raw);
        default:
            return DecodeTemperature(raw);
    }
}

int Battery::DecodeStringVoltage(uint16_t raw) {
    // Version 2 monitors report hundredths of a volt, the others tenths.
    group_voltage_ = static_cast<float>(raw) / (version_ == 2 ? 100.0f : 10.0f);
    group_voltage_ = group_voltage_ * group_a_;
    group_voltage_ = group_voltage_ + group_b_;
    group_voltage_valid_ = true;
    // Strings measured by other monitors add their own, unscaled voltages.
    for (uint32_t id : group_voltage_ids_) {
        try {
            group_voltage_ = HLXVDevice::Get_SP_Value(id, "group_voltage") + group_voltage_;
        } catch (const std::out_of_range&) {
            group_voltage_ = 0.0f;
            group_voltage_valid_ = false;
            break;
        }
    }
    CallCurrent();
    return 1;
}

int Battery::DecodeCurrent(uint16_t raw) {
    if (current_ratio_ != 0) {
        group_current_ = ((static_cast<float>(raw) / kSensorScale) / kSensorSpan - kSensorOffset) * kSensorAmps;
    } else if (r_data_id_ != 0 && !r_current_field_.empty()) {
        // The current is measured by another device; the reply still had to
        // pass, but its reading is not used.
        try {
            group_current_ = HLXVDevice::Get_SP_Value(r_data_id_, r_current_field_);
        } catch (const std::out_of_range&) {
            // keep the previous current
        }
    } else {
        group_current_ = static_cast<float>(raw) / 10.0f;
    }
    CallTemperature();
    return 1;
}

int Battery::DecodeTemperature(uint16_t raw) {
    const float t = static_cast<float>(raw) / 100.0f;
    if (t > 0.0f && t <= kMaxTemperature) temperature_ = t;
    call_type = kIdle;
    RoundDone();
    if (!data_ready_) data_ready_ = 1;
    return 0;
}

float Battery::Get_Value(unsigned int /*id*/, const std::string& name) const {
    if (name == "group_voltage") return group_voltage_;
    if (name == "group_current") return group_current_;
    if (name == "temperature") return temperature_;
    throw std::out_of_range(hostvalue::kUnsupported);
}

int Battery::DeviceIoControl(int code, const void* in, int /*in_size*/, void* /*out*/, int /*out_size*/,
                             int& /*returned*/) {
    if (code != kIoctlSaveInterval) return 0;
    // The host passes the 16-bit minutes in at least two readable bytes and
    // leaves in_size as it pleases, so the size is not looked at.  A missing
    // buffer is refused: there is nothing to read, and reading through it
    // would bring the host down.
    if (in == nullptr) return -1;
    uint16_t minutes = 0;
    std::memcpy(&minutes, in, sizeof minutes);
    save_interval_ = static_cast<int32_t>(minutes) * 60;
    if (save_interval_ == 0) save_interval_ = kDefaultSaveInterval;
    return 0;
}

bool Battery::InitSetting(const Json::Value& config) {
    // The host stores the configured address before every call; the monitor
    // answers at its bus address.
    addr_ = monitor::BusAddress(addr_);
    // A configuration that is not an object (or null) makes the JSON library
    // throw here; the address adjustment has been made, as on every call.
    const Json::Value& app = config["appSetting"];
    if (app.isObject()) ReadAppSetting(app);
    return true;
}

void Battery::ReadAppSetting(const Json::Value& app) {
    using config::Present;
    if (Present(app["battery_type"])) battery_type_ = config::RealAsInt(app["battery_type"]);
    if (Present(app["current_ratio"])) current_ratio_ = config::RealAsInt(app["current_ratio"]);
    if (Present(app["group_a"])) group_a_ = config::RealAsFloat(app["group_a"]);
    if (Present(app["group_b"])) group_b_ = config::RealAsFloat(app["group_b"]);
    if (Present(app["battery_adjust"])) battery_adjust_ = config::RealAsFloat(app["battery_adjust"]);
    if (Present(app["version"])) version_ = config::Int(app["version"]);
    if (Present(app["dir"])) dir_ = config::Int(app["dir"]);
    if (Present(app["r_data_id"])) r_data_id_ = config::UnsignedLong(app["r_data_id"]);
    if (Present(app["r_current_field"])) r_current_field_ = app["r_current_field"].asString();
    if (Present(app["save_interval"])) {
        // Minutes to seconds, computed wide so a huge count saturates instead
        // of wrapping into a negative interval.
        const int64_t seconds = static_cast<int64_t>(config::Int(app["save_interval"])) * 60;
        save_interval_ = seconds <= 0 ? kDefaultSaveInterval
                                      : static_cast<int32_t>(std::min<int64_t>(seconds, std::numeric_limits<int32_t>::max()));
    }

    if (Present(app["group_index"]) && Present(app["amount"])) {
        const cellgroups::Group group = cellgroups::Of(config::Int(app["group_index"]), config::Int(app["amount"]));
        if (group.named) {
            battery_start_ = group.start;
            for (int32_t i = 0; i < group.count; ++i) active_batteries_.push_back(i);
        }
    }

    const Json::Value& active = app["active_batteries"];
    if (active.isArray()) {
        for (Json::ArrayIndex i = 0; i < active.size(); ++i) {
            const int32_t cell = config::Int(active[i]);
            if (std::find(active_batteries_.begin(), active_batteries_.end(), cell) == active_batteries_.end())
                active_batteries_.push_back(cell);
        }
    }

    if (Present(app["battery_start"])) battery_start_ = config::Int(app["battery_start"]);

    const Json::Value& others = app["group_voltage"];
    if (others.isArray()) {
        for (Json::ArrayIndex i = 0; i < others.size(); ++i) {
            const uint32_t id = config::UnsignedLong(others[i]);
            if (std::find(group_voltage_ids_.begin(), group_voltage_ids_.end(), id) == group_voltage_ids_.end())
                group_voltage_ids_.push_back(id);
        }
    }

    if (Present(app["t0"])) t0_ = config::RealAsFloat(app["t0"]);
    if (Present(app["t31"])) t31_ = config::RealAsFloat(app["t31"]);
}
