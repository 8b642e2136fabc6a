#include "ValuesLog.h"

#include "protocol/MonitorProtocol.h"

namespace monitor_sim {

namespace {

const char* KindOf(uint8_t command) {
    switch (command) {
        case monitor::kCmdCellVoltages:
            return "cells";
        case monitor::kCmdStringVoltage:
            return "group_voltage";
        case monitor::kCmdCurrent:
            return "group_current";
        case monitor::kCmdTemperature:
            return "temperature";
        default:
            return "unknown";
    }
}

}  // namespace

ValuesLog::~ValuesLog() {
    if (file_ != nullptr) std::fclose(file_);
}

bool ValuesLog::Open(const std::string& path) {
    if (file_ != nullptr) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void ValuesLog::Record(double t, uint8_t addr, uint8_t command, const std::vector<uint16_t>& raw, bool late,
                       std::optional<uint8_t> as, int twin) {
    if (file_ == nullptr) return;
    const std::string line = Format(t, addr, command, raw, late, as, twin);
    std::fprintf(file_, "%s\n", line.c_str());
    // A test may read the file while the simulator runs.
    std::fflush(file_);
}

void ValuesLog::RecordTruth(double t, uint8_t addr, const std::string& fields, int twin) {
    if (file_ == nullptr || fields.empty()) return;
    const std::string which = twin > 0 ? ",\"twin\":" + std::to_string(twin) : "";
    std::fprintf(file_, "{\"t\":%.6f,\"addr\":%u%s,\"kind\":\"truth\",%s}\n", t, static_cast<unsigned>(addr),
                 which.c_str(), fields.c_str());
    std::fflush(file_);
}

std::string ValuesLog::Format(double t, uint8_t addr, uint8_t command, const std::vector<uint16_t>& raw,
                              bool late, std::optional<uint8_t> as, int twin) {
    char head[96];
    std::snprintf(head, sizeof head, "{\"t\":%.6f,\"addr\":%u,\"cmd\":%u,\"kind\":\"%s\",\"raw\":", t,
                  static_cast<unsigned>(addr), static_cast<unsigned>(command), KindOf(command));
    std::string out = head;
    if (command == monitor::kCmdCellVoltages) {
        out += '[';
        for (size_t i = 0; i < raw.size(); ++i) {
            if (i > 0) out += ',';
            out += std::to_string(raw[i]);
        }
        out += ']';
    } else {
        out += raw.empty() ? "null" : std::to_string(raw.front());
    }
    if (late) out += ",\"late\":true";
    if (as) out += ",\"as\":" + std::to_string(*as);
    if (twin > 0) out += ",\"twin\":" + std::to_string(twin);
    out += '}';
    return out;
}

}  // namespace monitor_sim
