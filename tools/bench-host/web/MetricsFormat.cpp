#include "MetricsFormat.h"

#include <cmath>
#include <functional>

#include "JsonLine.h"

namespace {

using Device = LiveSnapshot::Device;

class Families {
public:
    explicit Families(const LiveSnapshot& s) : snapshot_(s) {}

    // One family: its HELP and TYPE lines, then the samples each device
    // gives (none at all leaves the family out, headers included).
    void Family(const char* name, const char* type, const char* help,
                const std::function<void(const Device&, std::string&)>& samples) {
        std::string body;
        for (const auto& d : snapshot_.devices) samples(d, body);
        if (body.empty()) return;
        text_ += std::string("# HELP ") + name + ' ' + help + '\n';
        text_ += std::string("# TYPE ") + name + ' ' + type + '\n';
        text_ += body;
    }

    std::string Take() { return std::move(text_); }

private:
    const LiveSnapshot& snapshot_;
    std::string text_;
};

std::string Number(double v) {
    const std::string text = JsonLine::FormatDouble(v);
    return text == "null" ? (v != v ? "NaN" : (v > 0 ? "+Inf" : "-Inf")) : text;
}

// Values of a round are floats: their shortest decimal (13.29, not
// 13.289999961853027).
std::string Number(float v) {
    return std::isfinite(v) ? JsonLine::FormatFloat(v) : Number(static_cast<double>(v));
}

void Sample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
    out += name;
    out += '{';
    out += labels;
    out += "} ";
    out += value;
    out += '\n';
}

std::string DeviceLabel(const Device& d) { return "device=\"" + std::to_string(d.id) + "\""; }

bool Fresh(const Device& d) { return d.health == LiveSnapshot::Health::kAnswering && d.values_at_ms.has_value(); }

// The low and high limits of a value, as two samples told apart by "bound".
void Limits(std::string& out, const char* name, const std::string& labels, const LiveSnapshot::Value& v) {
    if (v.low) Sample(out, name, labels + ",bound=\"low\"", Number(*v.low));
    if (v.high) Sample(out, name, labels + ",bound=\"high\"", Number(*v.high));
}

}  // namespace

std::string MetricsFormat::EscapeLabel(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

std::string MetricsFormat::Render(const LiveSnapshot& snapshot) {
    Families f(snapshot);
    f.Family("bench_host_device_info", "gauge", "Device on the bench (always 1); its port, type and bus address.",
             [](const Device& d, std::string& out) {
                 Sample(out, "bench_host_device_info",
                        DeviceLabel(d) + ",name=\"" + EscapeLabel(d.name) + "\",type=\"" + EscapeLabel(d.type) +
                            "\",port=\"" + EscapeLabel(d.port) + "\",addr=\"" + std::to_string(d.addr) + "\"",
                        "1");
             });
    f.Family("bench_host_device_health", "gauge",
             "Health state of the device: 1 for the state it is in, 0 for the others.",
             [](const Device& d, std::string& out) {
                 for (const auto state : LiveSnapshot::kHealthStates) {
                     Sample(out, "bench_host_device_health",
                            DeviceLabel(d) + ",state=\"" + DeviceHealth::StateName(state) + "\"",
                            d.health == state ? "1" : "0");
                 }
             });
    f.Family("bench_host_device_health_since_timestamp_seconds", "gauge",
             "When the device entered its present health state (Unix time).", [](const Device& d, std::string& out) {
                 Sample(out, "bench_host_device_health_since_timestamp_seconds", DeviceLabel(d),
                        Number(d.health_since_ms / 1000.0));
             });
    f.Family("bench_host_values_age_seconds", "gauge",
             "Age of the device's last completed round when this scrape was answered.",
             [&snapshot](const Device& d, std::string& out) {
                 if (d.values_at_ms) {
                     Sample(out, "bench_host_values_age_seconds", DeviceLabel(d),
                            Number((snapshot.now_ms - *d.values_at_ms) / 1000.0));
                 }
             });
    f.Family("bench_host_cell_volts", "gauge", "Cell voltage of the last completed round.",
             [](const Device& d, std::string& out) {
                 if (!Fresh(d)) return;
                 for (std::size_t i = 0; i < d.cells.size(); ++i) {
                     Sample(out, "bench_host_cell_volts", DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"",
                            Number(d.cells[i].value));
                 }
             });
    f.Family("bench_host_cell_alarm", "gauge", "1 while an alarm on the cell stands, else 0.",
             [](const Device& d, std::string& out) {
                 if (!Fresh(d)) return;
                 for (std::size_t i = 0; i < d.cells.size(); ++i) {
                     Sample(out, "bench_host_cell_alarm", DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"",
                            d.cells[i].in_alarm ? "1" : "0");
                 }
             });
    f.Family("bench_host_cell_limit_volts", "gauge", "Configured alarm limits of each cell.",
             [](const Device& d, std::string& out) {
                 for (std::size_t i = 0; i < d.cells.size(); ++i) {
                     Limits(out, "bench_host_cell_limit_volts",
                            DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"", d.cells[i]);
                 }
             });
    f.Family("bench_host_string_volts", "gauge", "String voltage of the last completed round.",
             [](const Device& d, std::string& out) {
                 if (Fresh(d)) Sample(out, "bench_host_string_volts", DeviceLabel(d), Number(d.string_voltage.value));
             });
    f.Family("bench_host_string_current_amperes", "gauge", "String current of the last completed round.",
             [](const Device& d, std::string& out) {
                 if (Fresh(d)) {
                     Sample(out, "bench_host_string_current_amperes", DeviceLabel(d), Number(d.current.value));
                 }
             });
    f.Family("bench_host_temperature_celsius", "gauge", "Temperature of the last completed round.",
             [](const Device& d, std::string& out) {
                 if (Fresh(d)) Sample(out, "bench_host_temperature_celsius", DeviceLabel(d), Number(d.temperature.value));
             });
    f.Family("bench_host_cycles_total", "counter", "Poll cycles started.", [](const Device& d, std::string& out) {
        Sample(out, "bench_host_cycles_total", DeviceLabel(d), std::to_string(d.cycles));
    });
    f.Family("bench_host_rounds_total", "counter", "Poll cycles completed with a full round of values.",
             [](const Device& d, std::string& out) {
                 Sample(out, "bench_host_rounds_total", DeviceLabel(d), std::to_string(d.rounds));
             });
    f.Family("bench_host_cycle_failures_total", "counter", "Poll cycles that failed, by reason.",
             [](const Device& d, std::string& out) {
                 for (const auto& [reason, count] : d.failures) {
                     Sample(out, "bench_host_cycle_failures_total",
                            DeviceLabel(d) + ",reason=\"" + EscapeLabel(reason) + "\"", std::to_string(count));
                 }
             });
    f.Family("bench_host_late_polls_total", "counter",
             "Poll cycles that started half a tick or more after they were due.", [](const Device& d, std::string& out) {
                 Sample(out, "bench_host_late_polls_total", DeviceLabel(d), std::to_string(d.late_polls));
             });
    f.Family("bench_host_records_stored_total", "counter", "Round records written to the history.",
             [](const Device& d, std::string& out) {
                 Sample(out, "bench_host_records_stored_total", DeviceLabel(d), std::to_string(d.records_stored));
             });
    f.Family("bench_host_records_not_stored_total", "counter",
             "Round records the history failed to store.", [](const Device& d, std::string& out) {
                 Sample(out, "bench_host_records_not_stored_total", DeviceLabel(d),
                        std::to_string(d.records_not_stored));
             });
    return f.Take();
}
