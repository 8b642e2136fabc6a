#include "RunText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "BusDevice.h"
#include "Hex.h"
#include "JsonLine.h"

namespace runtext {

std::string Clock(run::WallClock::time_point at, bool millis) {
    const auto since_epoch = at.time_since_epoch();
    const std::time_t secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    if (!millis) return buf;
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count() % 1000);
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03ld", buf, ms);
    return out;
}

std::string Clock(bool millis) { return Clock(run::WallClock::now(), millis); }

std::string Loss(long cycles, long completed) {
    if (cycles <= 0) return "0%";
    const double loss = 100.0 * static_cast<double>(cycles - completed) / static_cast<double>(cycles);
    char buf[32];
    if (std::fabs(loss - std::round(loss)) < 1e-9)
        std::snprintf(buf, sizeof buf, "%.0f%%", loss);
    else
        std::snprintf(buf, sizeof buf, "%.1f%%", loss);
    return buf;
}

namespace {

std::string DeviceName(const BusDevice* d) { return "device " + std::to_string(d->conf.id); }

std::string AlarmLine(bool raised, const BusDevice* d, const AlarmEvaluator::Change& c) {
    return std::string(raised ? "ALARM " : "CLEAR ") + DeviceName(d) + " " + c.label + " (" + c.name + ") " +
           JsonLine::FormatFloat(c.value) + (c.bound == "low" ? " low limit " : " high limit ") +
           JsonLine::FormatFloat(c.limit);
}

}  // namespace

std::optional<std::string> Note(const RunEvent& event) {
    return std::visit(
        Overloaded{
            [](const run::SetupWarning& e) -> std::optional<std::string> { return e.text; },
            [](const run::Restored& e) -> std::optional<std::string> {
                if (!e.why.empty()) return DeviceName(e.device) + ": history not readable: " + e.why;
                return DeviceName(e.device) + (e.ok ? " restored from the round saved at " : " refused the round saved at ") +
                       e.saved_at;
            },
            [](const run::AlarmRaised& e) -> std::optional<std::string> { return AlarmLine(true, e.device, e.change); },
            [](const run::AlarmCleared& e) -> std::optional<std::string> { return AlarmLine(false, e.device, e.change); },
            [](const run::DeviceCallFailed& e) -> std::optional<std::string> {
                return DeviceName(e.device) + ": " + e.op + " failed: " + e.what;
            },
            [](const run::PortLost& e) -> std::optional<std::string> {
                return "port " + e.port + " lost (" + e.why + "), reopening in " + std::to_string(e.retry_in.count()) +
                       " ms";
            },
            [](const run::PortReopened& e) -> std::optional<std::string> { return "port " + e.port + " reopened"; },
            [](const auto&) -> std::optional<std::string> { return std::nullopt; },
        },
        event);
}

std::string Round(const run::RoundCompleted& round) {
    const BusDevice& d = *round.device;
    const auto& r = round.record;
    const int cells = d.cell_count > 0 ? d.cell_count : BatteryRecord::kCells;
    float lo = r.cells[0], hi = r.cells[0];
    for (int i = 0; i < cells; ++i) lo = std::min(lo, r.cells[i]), hi = std::max(hi, r.cells[i]);
    return Clock(false) + " " + DeviceName(&d) + " round " + std::to_string(d.completed) + ": string " +
           JsonLine::FormatFloat(r.group_voltage) + " V, current " + JsonLine::FormatFloat(r.group_current) +
           " A, temperature " + JsonLine::FormatFloat(r.temperature) + " °C, " + std::to_string(cells) + " cells " +
           JsonLine::FormatFloat(lo) + ".." + JsonLine::FormatFloat(hi) + " V";
}

std::string Trace(const run::Trace& trace) {
    std::string line = Clock(trace.at, true) + " " + trace.port + (trace.sent ? " > " : " < ") +
                       hex::Spaced(trace.bytes.data(), trace.bytes.size());
    if (!trace.note.empty()) line += "  (" + trace.note + ")";
    return line;
}

std::vector<std::string> Summary(const run::RunEnded& end) {
    std::vector<std::string> lines;
    for (const BusDevice* d : end.devices) {
        lines.push_back("--- " + DeviceName(d) + " on " + d->port_path + " addr " + std::to_string(d->conf.addr) +
                        " ---");
        lines.push_back(std::to_string(d->cycles) + " cycles, " + std::to_string(d->completed) + " completed, " +
                        std::to_string(d->abandoned) + " abandoned, " + Loss(d->cycles, d->completed) + " loss");
    }
    lines.push_back("history: " + end.history_file);
    return lines;
}

std::vector<std::string> Complaints(const run::RunEnded& end) {
    std::vector<std::string> lines;
    for (const BusDevice* d : end.devices)
        if (d->completed == 0) lines.push_back("bench-host: " + DeviceName(d) + " never completed a cycle");
    return lines;
}

}  // namespace runtext
