#include "web/LiveSnapshot.h"

#include "web/JsonArray.h"
#include "basics/JsonLine.h"
#include "basics/ValueText.h"
#include "verdict/LiveCapacity.h"
#include "verdict/LiveCharge.h"

namespace {

using Kind = ValueText::Kind;

// A value and its limits at the value's resolution, as every other output
// prints them: the float's residue (1.5200019) never shows.
std::string OptionalValue(Kind kind, const std::optional<float>& v) { return v ? ValueText::Of(kind, *v) : "null"; }

// Fills the keys every checked value has; cells add their label.  A value
// never read (no round completed yet) is null, never a 0 that reads as a
// dead cell or an empty string.
JsonLine& ValueKeys(JsonLine& out, Kind kind, const LiveSnapshot::Value& v, bool read) {
    return out.Raw("value", read ? ValueText::Of(kind, v.value) : "null")
        .Raw("low", OptionalValue(kind, v.low))
        .Raw("high", OptionalValue(kind, v.high))
        .Bool("alarm", v.in_alarm);
}

std::string ValueJson(Kind kind, const LiveSnapshot::Value& v, bool read) {
    JsonLine out;
    return ValueKeys(out, kind, v, read).Text();
}

// A block against the device's baseline: its float drift in mV and its
// resistance rise in %, each null while unknown, with their flags.
JsonLine& BaselineKeys(JsonLine& out, const LiveSnapshot::Cell& c) {
    const auto mv = c.float_drift ? std::optional<double>(*c.float_drift * 1000.0) : std::nullopt;
    const auto rise = c.resistance_rise_pct ? std::optional<double>(*c.resistance_rise_pct) : std::nullopt;
    return out.Raw("float_drift_mv", JsonLine::Rounded(mv, 1))
        .Str("float_drift_flag", c.float_drift_flag)
        .Raw("resistance_rise_pct", JsonLine::Rounded(rise, 1))
        .Str("resistance_flag", c.resistance_flag);
}

std::string DeviceJson(const LiveSnapshot::Device& d) {
    JsonLine failures;
    for (const auto& [reason, count] : d.failures) failures.UInt(reason, count);
    const bool read = d.values_at_ms.has_value();
    JsonLine out;
    out.UInt("id", d.id)
        .Str("name", d.name)
        .Str("type", d.type)
        .Str("port", d.port)
        .Int("addr", d.addr)
        .Str("health", DeviceHealth::StateName(d.health))
        .Int("health_since_ms", d.health_since_ms)
        .Str("last_reason", d.last_reason)
        .Raw("baseline_date", d.baseline_date.empty() ? "null" : JsonLine::Quote(d.baseline_date))
        .Raw("values_at_ms", d.values_at_ms ? std::to_string(*d.values_at_ms) : "null")
        .Raw("cells", JsonArray::Of(d.cells,
                            [read](const LiveSnapshot::Cell& c) {
                                JsonLine cell;
                                ValueKeys(cell.Str("label", c.label), Kind::kCell, c, read);
                                return BaselineKeys(cell, c).Text();
                            }))
        .Raw("string_voltage", ValueJson(Kind::kString, d.string_voltage, read))
        .Raw("current", ValueJson(Kind::kCurrent, d.current, read))
        .Raw("temperature", ValueJson(Kind::kTemperature, d.temperature, read))
        .Raw("failures", failures.Text())
        .UInt("cycles", d.cycles)
        .UInt("rounds", d.rounds)
        .UInt("cycles_abandoned", d.cycles_abandoned)
        .UInt("cycles_missed", d.cycles_missed)
        .UInt("resends", d.resends)
        .UInt("late_polls", d.late_polls)
        // At the run clock's resolution, as /metrics gives it.
        .Raw("poll_interval_seconds", JsonLine::Rounded(d.poll_interval_seconds > 0.0
                                                            ? std::optional<double>(d.poll_interval_seconds)
                                                            : std::nullopt,
                                                        3))
        .UInt("records_stored", d.records_stored)
        .UInt("records_not_stored", d.records_not_stored)
        .UInt("alarms_not_stored", d.alarms_not_stored);
    verdict::LiveCharge::Keys(out, d.charge);
    return verdict::LiveCapacity::Keys(out, d.capacity).Text();
}

}  // namespace

std::string LiveSnapshot::ToJson(uint64_t version) const {
    JsonLine out;
    out.UInt("version", version)
        .Int("now_ms", now_ms)
        .Str("bench_host_version", this->version)
        .Str("plugin_sha256", plugin_sha256)
        .Int("run_started_ms", run_started_ms)
        .Raw("not_stored", [this] {
            JsonLine kinds;
            for (int k = 0; k < history::kStoreKinds; ++k)
                kinds.UInt(history::StoreKindName(static_cast<history::StoreKind>(k)), not_stored[k]);
            return kinds.Text();
        }())
        .Str("history_lost", history_lost)
        .Raw("clock_steps", JsonArray::Of(clock_steps,
                                          [](const ClockStep& c) {
                                              return JsonLine()
                                                  .Int("at_ms", c.at_ms)
                                                  .Raw("step_s", JsonLine::FormatDouble(
                                                                     static_cast<double>(c.step_ms) / 1000.0))
                                                  .Text();
                                          }))
        .UInt("clock_steps_total", clock_steps_total)
        .Raw("devices", JsonArray::Of(devices, DeviceJson))
        .Raw("ports", JsonArray::Of(ports, [](const Port& p) {
                 return JsonLine()
                     .Str("path", p.path)
                     .Bool("open", p.open)
                     .UInt("outages", p.outages)
                     .Raw("outage_seconds", JsonLine::Rounded(p.outage_seconds, 3))
                     .Text();
             }))
        .Raw("alarms", JsonArray::Of(recent_alarms, [](const Alarm& a) {
                 return JsonLine()
                     .UInt("device", a.device)
                     .Int("at_ms", a.at_ms)
                     .Str("state", a.raised ? "raised" : "cleared")
                     .Str("name", a.name)
                     .Str("label", a.label)
                     .Str("bound", a.bound)
                     .Float("value", a.value)
                     .Float("limit", a.limit)
                     .Text();
             }));
    return out.Text();
}
