#include "Battery32.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <iostream>
#include <limits>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/lexical_cast.hpp>

#include "battery/ConfigText.h"
#include "host/ValueErrors.h"
#include "models/CellWindow.h"
#include "models/Models.h"
#include "protocol/MonitorProtocol.h"

namespace {

// The record and the live array hold one value per slot of the reply.
constexpr int kSlots = monitor::kCellSlots;
// Cell readings in millivolts instead of hundredths of a volt.
constexpr int32_t kMillivoltType = 6;

// Below this the measured string voltage is not plausible and the sum of the
// cells stands in for it.
constexpr float kMinStringVoltage = 40.0f;
// Changes smaller than these are not worth publishing.
constexpr double kStringChange = 0.01;
constexpr double kCellChange = 0.05;

const char kCellPrefix[] = "battery_";
const char kCellSuffix[] = "_value";

// The common case of a cell name, "battery_<digits>_value" and nothing else,
// read without the regular expression (and without allocating).  For such a
// name the leftmost match of the pattern is the whole name, so the result is
// the same.
bool ParseCanonicalCellName(const std::string& name, int32_t& n) {
    const std::size_t pre = sizeof kCellPrefix - 1;
    const std::size_t suf = sizeof kCellSuffix - 1;
    if (name.size() <= pre + suf) return false;
    if (name.compare(0, pre, kCellPrefix) != 0) return false;
    if (name.compare(name.size() - suf, suf, kCellSuffix) != 0) return false;
    int64_t value = 0;
    for (std::size_t i = pre; i < name.size() - suf; ++i) {
        const char c = name[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        // As atoi on the controller: saturate rather than wrap.
        if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
    }
    n = static_cast<int32_t>(value);
    return true;
}

// The leftmost "battery_" + digits + "_value" anywhere in the name, as a
// search for that pattern finds it, read in one pass.  A backtracking regex
// matcher recurses once per digit, so a long run of digits in a name the host
// passes on (or another device's configured field) would exhaust the stack.
// A digit run is always taken whole: shortening it leaves a digit where "_"
// must follow, so each start needs one look only.
bool FindCellIndex(const std::string& name, int32_t& n) {
    if (ParseCanonicalCellName(name, n)) return true;
    const std::size_t pre = sizeof kCellPrefix - 1;
    const std::size_t suf = sizeof kCellSuffix - 1;
    for (std::size_t at = name.find(kCellPrefix); at != std::string::npos; at = name.find(kCellPrefix, at + 1)) {
        const std::size_t first = at + pre;
        std::size_t end = first;
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        if (end == first || name.compare(end, suf, kCellSuffix) != 0) continue;
        n = config::TextToInt(name.substr(first, end - first));
        return true;
    }
    return false;
}

int64_t AgeSeconds(const boost::posix_time::ptime& now, const boost::posix_time::ptime& then) {
    if (then.is_special()) return 0;
    return static_cast<int64_t>((now - then).total_seconds());
}

}  // namespace

Battery32::Battery32() : battery_voltage_{}, battery_count_(models::kBattery32.cells) {
    device_type_ = models::kBattery32.type;
}

Battery32::~Battery32() = default;

void Battery32::PutDeviceLine(const char* what) const {
    // Composed on the stack and written whole, as every console line is.
    char line[64];
    const int n = std::snprintf(line, sizeof line, "Battery32 %u%s\n", DataId(), what);
    PutLine(line, static_cast<std::size_t>(n));
}

int Battery32::ProcessBatteryVoltage() { return DecodeCellReply(CellDecoding{models::kBattery32.cells, true, true}); }

int Battery32::DecodeCellReply(const CellDecoding& how) {
    if (msg_len < monitor::kLongReplyLen) return 1;
    const int buffered = msg_len;
    msg_len = how.consume_all ? 0 : msg_len - monitor::kLongReplyLen;

    const monitor::ReplyFault fault = monitor::CheckReply(msg_buf, buffered, monitor::kLongReplyLen, addr_);
    if (fault != monitor::ReplyFault::kNone) {
        if (how.verbose) {
            if (fault == monitor::ReplyFault::kChecksum)
                PutDeviceLine(" checksum failed");
            else
                PutLine("msg_buf[0] == 0xed && msg_buf[1] == addr_ failed\n");
        }
        call_type = kIdle;
        return 0;
    }

    const bool millivolts = battery_type_ == kMillivoltType;
    const cells::Window& window = millivolts ? cells::kMillivoltWindow : cells::kCentivoltWindow;
    const int last = how.slots - 1;
    for (int i = 0; i < how.slots; ++i) {
        const int k = dir_ != 0 ? last - i : i;
        const uint16_t raw = monitor::ReadU16(msg_buf, monitor::CellSlotOffset(i));
        float v = static_cast<float>(raw) / (millivolts ? 1000.0f : 100.0f);
        v = v + battery_adjust_;
        // The corrections belong to the first and last slot of the reply,
        // whichever cell a reversed string maps them to.
        if (i == 0)
            v = v + t0_;
        else if (i == last)
            v = v + t31_;
        if (!cells::Plausible(window, v)) v = 0.0f;
        battery_voltage_[k] = v;
    }

    if (how.verbose) PutDeviceLine(" before CallGroupVoltage");
    CallGroupVoltage();
    if (how.verbose) PutDeviceLine(" after CallGroupVoltage");
    return 1;
}

float Battery32::Get_Value(unsigned int id, const std::string& name) const {
    if (!data_ready_) throw std::out_of_range(hostvalue::kNotReady);
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    // Every request sent renews the last-update time, so a monitor that has
    // stopped answering would look fresh for as long as the host ticks; the
    // time of the last completed round is checked as well.
    if (AgeSeconds(now, update_time_) > kMaxDataAgeSeconds || AgeSeconds(now, round_time_) > kMaxDataAgeSeconds)
        throw std::out_of_range(hostvalue::kTimedOut);
    int32_t n = 0;
    if (FindCellIndex(name, n) && n >= 0 && n < battery_count_) return data_.battery_value[n];
    return Battery::Get_Value(id, name);
}

bool Battery32::LoadFromCache(const unsigned char* data, int size) {
    if (size != static_cast<int>(sizeof(Battery32_Data_t)) || data == nullptr) return false;
    std::memcpy(&data_, data, sizeof data_);
    group_voltage_ = data_.group_voltage;
    group_current_ = data_.group_current;
    temperature_ = data_.temperature;
    data_ready_ = 1;
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    update_time_ = now;
    round_time_ = now;
    return true;
}

void Battery32::PrepareCellTexts() {
    if (texts_start_ == battery_start_ && texts_count_ == battery_count_) return;
    cell_names_.clear();
    cell_labels_.clear();
    for (int32_t n = 0; n < battery_count_; ++n) {
        cell_names_.push_back(kCellPrefix + boost::lexical_cast<std::string>(n) + kCellSuffix);
        // Computed wide: a large configured start must not overflow.
        const int64_t number = static_cast<int64_t>(battery_start_) + n + 1;
        cell_labels_.push_back("第" + boost::lexical_cast<std::string>(number) + "节电池");
    }
    texts_start_ = battery_start_;
    texts_count_ = battery_count_;
}

void Battery32::RunCheckThreshold() {
    retry_count = 0;

    if (group_voltage_ < kMinStringVoltage) {
        float sum = 0.0f;
        for (int32_t k = 0; k < battery_count_; ++k) sum += battery_voltage_[k];
        group_voltage_ = sum;
    }

    // Differences in single precision, compared in double precision.
    const float string_diff = std::fabs(data_.group_voltage - group_voltage_);
    if (static_cast<double>(string_diff) >= kStringChange) {
        data_changed_ = 1;
    } else {
        for (int32_t k = 0; k < battery_count_; ++k) {
            const float cell_diff = std::fabs(data_.battery_value[k] - battery_voltage_[k]);
            if (static_cast<double>(cell_diff) >= kCellChange) {
                data_changed_ = 1;
                break;
            }
        }
    }

    for (int k = 0; k < kSlots; ++k) data_.battery_value[k] = battery_voltage_[k];
    data_.group_voltage = group_voltage_;
    data_.group_current = group_current_;
    data_.temperature = temperature_;
    data_.reserved = 0;
    data_.data_id = DataId();

    static const std::string kStringName("group_voltage"), kStringLabel("整组电压");
    static const std::string kCurrentName("group_current"), kCurrentLabel("电流");
    static const std::string kTemperatureName("temperature"), kTemperatureLabel("温度");
    if (group_voltage_valid_) CheckThreshold(kStringName, kStringLabel, group_voltage_, 1);
    CheckThreshold(kCurrentName, kCurrentLabel, group_current_, 1);
    CheckThreshold(kTemperatureName, kTemperatureLabel, temperature_, 1);

    PrepareCellTexts();
    auto check_cell = [this](int32_t n) {
        // The record is packed: the host gets a copy of the cell's value that
        // lives for the duration of the call.
        const float value = data_.battery_value[n];
        const std::size_t at = static_cast<std::size_t>(n);  // n counts up from 0
        CheckThreshold(cell_names_[at], cell_labels_[at], value, n + 1);
    };
    if (active_batteries_.empty()) {
        for (int32_t n = 0; n < battery_count_; ++n) check_cell(n);
    } else {
        // Indexed, not iterated: the list belongs to the configuration and
        // must not be invalidated under us by anything the host does.
        for (std::size_t i = 0; i < active_batteries_.size(); ++i) {
            const int32_t n = active_batteries_[i];
            if (n >= 0 && n < battery_count_) check_cell(n);
        }
    }
}
