#include "web/MetricsFormat.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "basics/JsonLine.h"
#include "basics/TextEscape.h"
#include "basics/ValueText.h"

namespace {

using Device = LiveSnapshot::Device;

class Families {
public:
    explicit Families(const LiveSnapshot& s) : snapshot_(s) {}

    // One family: its HELP and TYPE lines, then the samples each device
    // gives (none at all leaves the family out, headers included).
    void Family(const char* name, const char* type, const char* help,
                const std::function<void(const Device&, std::string&)>& samples) {
        Whole(name, type, help, [&](std::string& body) {
            for (const auto& d : snapshot_.devices) samples(d, body);
        });
    }

    // A family whose samples are not one set per device.
    void Whole(const char* name, const char* type, const char* help, const std::function<void(std::string&)>& samples) {
        std::string body;
        samples(body);
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

// A length of time at the run clock's resolution, the millisecond: the
// mean of the poll intervals is no finer than the times it is taken from.
std::string Seconds(double seconds) { return Number(std::round(seconds * 1000.0) / 1000.0); }

using Kind = ValueText::Kind;

// Values of a round and their limits at their resolution, as every output
// prints them (13.29, not 13.289999961853027).
std::string Number(Kind kind, float v) {
    return std::isfinite(v) ? ValueText::Of(kind, v) : Number(static_cast<double>(v));
}

// A value the round has: one the monitor marked invalid is not exported,
// as a stale one is not, rather than as a reading of 0 or NaN.
bool Read(const LiveSnapshot::Value& v) { return !std::isnan(v.value); }

void Sample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

std::string DeviceLabel(const Device& d) { return "device=\"" + std::to_string(d.id) + "\""; }

bool Fresh(const Device& d) { return d.health == LiveSnapshot::Health::kAnswering && d.values_at_ms.has_value(); }

// An alarm is the bench's standing state, not a reading: once the device
// has answered, its alarms are exported at the last state read while it is
// silent too, so that however long the silence, only a reading ends them
// (an alert rule holding a vanished gauge could hold it only so long).
bool AlarmsKnown(const Device& d) { return d.values_at_ms.has_value(); }

// The low and high limits of a value, as two samples told apart by "bound".
void Limits(std::string& out, const char* name, const std::string& labels, Kind kind, const LiveSnapshot::Value& v) {
    if (v.low) Sample(out, name, labels + ",bound=\"low\"", Number(kind, *v.low));
    if (v.high) Sample(out, name, labels + ",bound=\"high\"", Number(kind, *v.high));
}

}  // namespace

std::string MetricsFormat::EscapeLabel(const std::string& raw) { return TextEscape::Label(raw); }

std::string MetricsFormat::Render(const LiveSnapshot& snapshot, int64_t now_ms) {
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
             [now_ms](const Device& d, std::string& out) {
                 if (d.values_at_ms) {
                     // A wall clock set back since the round would make
                     // the age negative: it is at least 0.
                     Sample(out, "bench_host_values_age_seconds", DeviceLabel(d),
                            Number(std::max<int64_t>(0, now_ms - *d.values_at_ms) / 1000.0));
                 }
             });
    f.Family("bench_host_cell_volts", "gauge",
             "Cell voltage of the last completed round; absent for a cell the monitor marked invalid.",
             [](const Device& d, std::string& out) {
                 if (!Fresh(d)) return;
                 for (std::size_t i = 0; i < d.cells.size(); ++i) {
                     if (!Read(d.cells[i])) continue;
                     Sample(out, "bench_host_cell_volts", DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"",
                            Number(Kind::kCell, d.cells[i].value));
                 }
             });
    f.Family("bench_host_cell_alarm", "gauge", "1 while an alarm on the cell stands, else 0; held at the last state read while the device is silent.",
             [](const Device& d, std::string& out) {
                 if (!AlarmsKnown(d)) return;
                 for (std::size_t i = 0; i < d.cells.size(); ++i) {
                     Sample(out, "bench_host_cell_alarm", DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"",
                            d.cells[i].in_alarm ? "1" : "0");
                 }
             });
    f.Family("bench_host_cell_limit_volts", "gauge", "Configured alarm limits of each cell.",
             [](const Device& d, std::string& out) {
                 for (std::size_t i = 0; i < d.cells.size(); ++i) {
                     Limits(out, "bench_host_cell_limit_volts",
                            DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"", Kind::kCell, d.cells[i]);
                 }
             });
    f.Family("bench_host_string_volts", "gauge",
             "String voltage of the last completed round; absent when the monitor marked it invalid.",
             [](const Device& d, std::string& out) {
                 if (Fresh(d) && Read(d.string_voltage)) Sample(out, "bench_host_string_volts", DeviceLabel(d), Number(Kind::kString, d.string_voltage.value));
             });
    f.Family("bench_host_string_current_amperes", "gauge",
             "String current of the last completed round; absent when the monitor marked it invalid.",
             [](const Device& d, std::string& out) {
                 if (Fresh(d) && Read(d.current)) {
                     Sample(out, "bench_host_string_current_amperes", DeviceLabel(d), Number(Kind::kCurrent, d.current.value));
                 }
             });
    f.Family("bench_host_temperature_celsius", "gauge",
             "Temperature of the last completed round; absent when the monitor marked it invalid.",
             [](const Device& d, std::string& out) {
                 if (Fresh(d) && Read(d.temperature)) Sample(out, "bench_host_temperature_celsius", DeviceLabel(d), Number(Kind::kTemperature, d.temperature.value));
             });
    // The string's own values, told apart by "value" as the page names them.
    const auto string_values = [](const Device& d) {
        return std::array<std::pair<const char*, const LiveSnapshot::Value*>, 3>{
            {{"string_voltage", &d.string_voltage}, {"current", &d.current}, {"temperature", &d.temperature}}};
    };
    f.Family("bench_host_value_alarm", "gauge",
             "1 while an alarm on the string voltage, current or temperature stands, else 0; held at the last state read "
             "while the device is silent.",
             [&](const Device& d, std::string& out) {
                 if (!AlarmsKnown(d)) return;
                 for (const auto& [name, v] : string_values(d)) {
                     Sample(out, "bench_host_value_alarm", DeviceLabel(d) + ",value=\"" + name + "\"",
                            v->in_alarm ? "1" : "0");
                 }
             });
    f.Family("bench_host_string_limit_volts", "gauge", "Configured alarm limits of the string voltage.",
             [](const Device& d, std::string& out) {
                 Limits(out, "bench_host_string_limit_volts", DeviceLabel(d), Kind::kString, d.string_voltage);
             });
    f.Family("bench_host_string_current_limit_amperes", "gauge", "Configured alarm limits of the string current.",
             [](const Device& d, std::string& out) {
                 Limits(out, "bench_host_string_current_limit_amperes", DeviceLabel(d), Kind::kCurrent, d.current);
             });
    f.Family("bench_host_temperature_limit_celsius", "gauge", "Configured alarm limits of the temperature.",
             [](const Device& d, std::string& out) {
                 Limits(out, "bench_host_temperature_limit_celsius", DeviceLabel(d), Kind::kTemperature, d.temperature);
             });
    f.Family("bench_host_charge_state", "gauge",
             "1 for the string's charge state with the last completed round (discharge, recharge, float, rest), else 0.",
             [](const Device& d, std::string& out) {
                 if (!Fresh(d) || !d.charge) return;
                 for (const auto state : {verdict::Charge::discharge, verdict::Charge::recharge, verdict::Charge::floating,
                                          verdict::Charge::rest}) {
                     Sample(out, "bench_host_charge_state",
                            DeviceLabel(d) + ",state=\"" + verdict::ChargeName(state) + "\"",
                            d.charge->state == state ? "1" : "0");
                 }
             });
    f.Family("bench_host_cell_float_alarm", "gauge",
             "1 while a float alarm on the block stands (off its temperature-compensated float band once settled on "
             "float), else 0; held at the last state read while the device is silent.",
             [](const Device& d, std::string& out) {
                 if (!AlarmsKnown(d)) return;
                 for (std::size_t i = 0; i < d.cells.size(); ++i)
                     Sample(out, "bench_host_cell_float_alarm", DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"",
                            d.cells[i].float_alarm ? "1" : "0");
             });
    // A verdict figure per block, each only where the run has one: rounded
    // to `places` decimals.
    const auto block_figure = [&f](const char* name, const char* help, std::optional<float> LiveSnapshot::Cell::*field,
                                   double places) {
        f.Family(name, "gauge", help, [=](const Device& d, std::string& out) {
            if (!Fresh(d)) return;
            const double scale = std::pow(10.0, places);
            for (std::size_t i = 0; i < d.cells.size(); ++i)
                if (const auto& v = d.cells[i].*field)
                    Sample(out, name, DeviceLabel(d) + ",cell=\"" + std::to_string(i + 1) + "\"",
                           Number(std::round(*v * scale) / scale));
        });
    };
    block_figure("bench_host_cell_float_deviation_volts",
                 "Block voltage less its temperature-compensated float voltage (to the mV); only while the string is "
                 "judged on float (settled on it), absent otherwise.",
                 &LiveSnapshot::Cell::float_deviation, 3);
    block_figure("bench_host_cell_resistance_rise_percent",
                 "Block resistance from the run's load steps (the median) against the device's newest baseline, in % "
                 "(+20: investigate, +50: act by default); absent without a baseline or without a usable step.",
                 &LiveSnapshot::Cell::resistance_rise_pct, 1);
    block_figure("bench_host_cell_float_drift_volts",
                 "Block float voltage against the device's newest baseline: the mean over the run's rounds judged on "
                 "float less the baseline's, both against their temperature-compensated target (to 0.1 mV); absent "
                 "without a baseline or before a round judged on float.",
                 &LiveSnapshot::Cell::float_drift, 4);
    f.Family("bench_host_string_float_alarm", "gauge",
             "1 while a float alarm on the string's mean block stands, else 0; held at the last state read while the "
             "device is silent.",
             [](const Device& d, std::string& out) {
                 if (AlarmsKnown(d))
                     Sample(out, "bench_host_string_float_alarm", DeviceLabel(d), d.string_float_alarm ? "1" : "0");
             });
    f.Family("bench_host_float_alarms_held", "gauge",
             "1 while the float alarms are held: the string discharges, recharges, rests or settles on float again.",
             [](const Device& d, std::string& out) {
                 if (Fresh(d)) Sample(out, "bench_host_float_alarms_held", DeviceLabel(d), d.float_alarms_held ? "1" : "0");
             });
    f.Family("bench_host_time_remaining_seconds", "gauge",
             "Time remaining of a discharge, the lesser of the Peukert and the weakest block's estimates; \"method\" "
             "names the one given; absent when not discharging.",
             [](const Device& d, std::string& out) {
                 if (!Fresh(d) || !d.charge || !d.charge->remaining.discharging) return;
                 Sample(out, "bench_host_time_remaining_seconds",
                        DeviceLabel(d) + ",method=\"" + d.charge->remaining.method + "\"",
                        Number(std::round(d.charge->remaining.minutes * 60.0)));
             });
    // The string's capacity, labelled with where it comes from: a figure of
    // a discharge already over, so a device silent now does not hide it.
    const auto capacity = [&f](const char* name, const char* help, std::string (*value)(const verdict::CapacityNow&)) {
        f.Family(name, "gauge", help, [=](const Device& d, std::string& out) {
            if (d.capacity)
                Sample(out, name, DeviceLabel(d) + ",source=\"" + d.capacity->source + "\"", value(*d.capacity));
        });
    };
    capacity("bench_host_capacity_percent",
             "The string's time-adjusted capacity (IEEE 450: actual time over rated time and temperature factor), in "
             "%: source=\"test\" from this run's newest test once over, else source=\"baseline\" from the device's "
             "newest baseline; below 90: test again within a year, below 80: replace, by default; absent with "
             "neither.",
             // As the bench judges it: rounded, 79.95 would read 80.0 and
             // pass a "below 80" rule the bench itself fails.
             [](const verdict::CapacityNow& c) { return Number(c.pct); });
    capacity("bench_host_capacity_timestamp_seconds",
             "When the capacity holds (Unix time): the test's last round, or the last round the baseline was taken "
             "from.",
             [](const verdict::CapacityNow& c) { return Number(static_cast<double>(c.at_ms) / 1000.0); });
    capacity("bench_host_capacity_lower_bound",
             "1 while the capacity is a lower bound (the test stopped before its end voltage), else 0.",
             [](const verdict::CapacityNow& c) { return std::string(c.lower_bound ? "1" : "0"); });
    f.Family("bench_host_last_round_timestamp_seconds", "gauge",
             "When the device's last completed round arrived (Unix time); absent before the first.",
             [](const Device& d, std::string& out) {
                 if (d.values_at_ms) {
                     Sample(out, "bench_host_last_round_timestamp_seconds", DeviceLabel(d),
                            Number(*d.values_at_ms / 1000.0));
                 }
             });
    f.Family("bench_host_poll_interval_seconds", "gauge",
             "Mean time between the starts of the device's poll cycles, as achieved; absent before its second cycle.",
             [](const Device& d, std::string& out) {
                 if (d.poll_interval_seconds > 0) {
                     Sample(out, "bench_host_poll_interval_seconds", DeviceLabel(d), Seconds(d.poll_interval_seconds));
                 }
             });
    const auto counter = [&f](const char* name, const char* help, uint64_t Device::*field) {
        f.Family(name, "counter", help, [name, field](const Device& d, std::string& out) {
            Sample(out, name, DeviceLabel(d), std::to_string(d.*field));
        });
    };
    counter("bench_host_cycles_total", "Poll cycles started.", &Device::cycles);
    counter("bench_host_rounds_total", "Poll cycles completed with a full round of values.", &Device::rounds);
    counter("bench_host_cycles_abandoned_total",
            "Poll cycles started and then given up: a reply refused or timed out after every resend, or the cycle "
            "replaced by the next.",
            &Device::cycles_abandoned);
    counter("bench_host_cycles_missed_total",
            "Poll cycles that fell due and never started: the device's port was lost, or the bus was too busy to "
            "hold the tick.",
            &Device::cycles_missed);
    counter("bench_host_resends_total", "Requests sent again within a cycle after a failed exchange.",
            &Device::resends);
    counter("bench_host_late_polls_total", "Poll cycles that started half a tick or more after they were due.",
            &Device::late_polls);
    f.Family("bench_host_exchange_failures_total", "counter",
             "Request-reply exchanges that failed, by reason (a cycle may resend after one and still complete).",
             [](const Device& d, std::string& out) {
                 for (const auto& [reason, count] : d.failures) {
                     Sample(out, "bench_host_exchange_failures_total",
                            DeviceLabel(d) + ",reason=\"" + EscapeLabel(reason) + "\"", std::to_string(count));
                 }
             });
    counter("bench_host_records_stored_total", "Round records written to the history.", &Device::records_stored);
    counter("bench_host_records_not_stored_total", "Round records the history failed to store.",
            &Device::records_not_stored);
    counter("bench_host_alarms_not_stored_total", "Alarm raises and clears the history failed to store.",
            &Device::alarms_not_stored);

    f.Whole("bench_host_port_up", "gauge", "1 while the serial port is open, 0 while it is lost.",
            [&snapshot](std::string& out) {
                for (const auto& p : snapshot.ports) {
                    Sample(out, "bench_host_port_up", "port=\"" + EscapeLabel(p.path) + "\"", p.open ? "1" : "0");
                }
            });
    f.Whole("bench_host_port_outages_total", "counter", "Times the serial port was lost.",
            [&snapshot](std::string& out) {
                for (const auto& p : snapshot.ports) {
                    Sample(out, "bench_host_port_outages_total", "port=\"" + EscapeLabel(p.path) + "\"",
                           std::to_string(p.outages));
                }
            });
    f.Whole("bench_host_port_outage_seconds_total", "counter",
            "Time the serial port was lost, in all; an outage still going counts up to the scrape.",
            [&snapshot](std::string& out) {
                for (const auto& p : snapshot.ports) {
                    Sample(out, "bench_host_port_outage_seconds_total", "port=\"" + EscapeLabel(p.path) + "\"",
                           Seconds(p.outage_seconds));
                }
            });
    f.Whole("bench_host_not_stored_total", "counter",
            "Writes the history did not store, by kind: record, alarm, health (a health change), counts (the run's "
            "own row and counts).",
            [&snapshot](std::string& out) {
                for (int k = 0; k < history::kStoreKinds; ++k) {
                    const char* kind = history::StoreKindName(static_cast<history::StoreKind>(k));
                    Sample(out, "bench_host_not_stored_total", std::string("kind=\"") + kind + "\"",
                           std::to_string(snapshot.not_stored[k]));
                }
            });
    f.Whole("bench_host_history_lost", "gauge",
            "1 once the history file was found deleted, replaced, cut short or damaged while the run wrote to it "
            "(nothing more is stored in the run), else 0.",
            [&snapshot](std::string& out) {
                Sample(out, "bench_host_history_lost", "", snapshot.history_lost.empty() ? "0" : "1");
            });
    f.Whole("bench_host_clock_steps_total", "counter",
            "Steps of the wall clock against the monotonic one in this run (times around them are the wall "
            "clock's; durations are the monotonic clock's).",
            [&snapshot](std::string& out) {
                Sample(out, "bench_host_clock_steps_total", "", std::to_string(snapshot.clock_steps_total));
            });
    f.Whole("bench_host_build_info", "gauge", "What runs (always 1): bench-host's version, the plug-in's SHA-256.",
            [&snapshot](std::string& out) {
                if (snapshot.run_started_ms == 0) return;
                Sample(out, "bench_host_build_info",
                       "version=\"" + EscapeLabel(snapshot.version) + "\",plugin_sha256=\"" +
                           EscapeLabel(snapshot.plugin_sha256) + "\"",
                       "1");
            });
    f.Whole("bench_host_run_start_timestamp_seconds", "gauge", "When the run started (Unix time).",
            [&snapshot](std::string& out) {
                if (snapshot.run_started_ms == 0) return;
                Sample(out, "bench_host_run_start_timestamp_seconds", "", Number(snapshot.run_started_ms / 1000.0));
            });
    return f.Take();
}
