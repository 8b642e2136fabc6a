#include "CannedSnapshot.h"

#include <string>

namespace canned {

float CellValue(int cell) { return 13.0f + 0.01f * static_cast<float>(cell); }

namespace {

LiveSnapshot::Device Device(uint32_t id, LiveSnapshot::Health health, int64_t now_ms) {
    LiveSnapshot::Device d;
    d.id = id;
    d.type = "upsbattery_29";
    d.port = "/dev/pts/" + std::to_string(id);
    d.addr = static_cast<int>(id % 8) + 1;
    d.health = health;
    d.health_since_ms = now_ms - 60000;
    d.failures = {{"timeout", 0}, {"partial", 0}, {"start byte", 0}, {"address", 0}, {"checksum", 0},
                  {"refused", 0}, {"port lost", 0}, {"late reply", 0}};
    // A device that never answered has its cells and limits, as the run
    // describes it, but no round: values 0 that must not be shown.
    for (int i = 1; i <= kCells; ++i) {
        LiveSnapshot::Cell c;
        c.value = health == LiveSnapshot::Health::kNeverAnswered ? 0.0f : CellValue(i);
        c.low = kLow;
        c.high = kHigh;
        c.label = "第" + std::to_string(i) + "节电池";
        d.cells.push_back(c);
    }
    if (health == LiveSnapshot::Health::kNeverAnswered) {
        d.failures[0].second = 30;
        d.cycles = 30;
        d.last_reason = "timeout";
        return d;
    }
    d.values_at_ms = health == LiveSnapshot::Health::kAnswering ? now_ms - 800 : now_ms - 120000;
    d.string_voltage = {53.6f, 48.0f, 58.0f, false};
    d.current = {-1.25f, std::nullopt, std::nullopt, false};
    d.temperature = {24.5f, std::nullopt, 40.0f, false};
    d.cycles = 1000;
    d.rounds = 990;
    d.failures[0].second = 7;
    d.failures[4].second = 3;
    d.records_stored = 990;
    d.cycles_abandoned = 4;
    d.cycles_missed = 6;
    d.resends = 11;
    d.late_polls = 1;
    d.poll_interval_seconds = 2.0;
    d.charge = verdict::ChargeNow{verdict::Charge::floating, now_ms - 7200000, {}};
    return d;
}

}  // namespace

LiveSnapshot Site(int64_t now_ms) {
    using H = LiveSnapshot::Health;
    LiveSnapshot s;
    s.now_ms = now_ms;
    s.version = "0.9.0";
    s.plugin_sha256 = std::string(64, 'a');
    s.run_started_ms = now_ms - 3600000;
    s.clock_steps = {{now_ms - 60000, -80000}};
    s.clock_steps_total = 1;
    s.ports = {{"/dev/pts/12", true, 0, 0.0}, {"/dev/pts/14", false, 2, 75.5}, {kBadPath, true, 0, 0.0}};
    s.devices.push_back(Device(12, H::kAnswering, now_ms));
    auto& d12 = s.devices.back();
    d12.name = kTrickyName;
    d12.cells[kAlarmCell - 1].value = kAlarmCellValue;
    d12.cells[kAlarmCell - 1].in_alarm = true;
    d12.records_not_stored = 2;
    d12.charge->state = verdict::Charge::discharge;
    d12.charge->remaining.discharging = true;
    d12.charge->remaining.minutes = 83.4;
    d12.charge->remaining.method = "weakest block";
    d12.charge->remaining.capacity_pct = 84.66;
    d12.charge->remaining.capacity_from = "baseline";
    d12.charge->remaining.kt = 0.93;
    // A float alarm raised on float, held through the discharge.
    d12.cells[kAlarmCell - 1].float_alarm = true;
    d12.float_alarms_held = true;
    s.devices.push_back(Device(13, H::kNotAnswering, now_ms));
    s.devices.back().last_reason = "timeout";
    s.devices.back().cells[kAlarmCell - 1].float_deviation = 0.18f;  // silent: never shown
    s.devices.push_back(Device(14, H::kPortLost, now_ms));
    s.devices.back().last_reason = "port lost";
    s.devices.push_back(Device(15, H::kStale, now_ms));
    s.devices.push_back(Device(16, H::kNeverAnswered, now_ms));
    for (uint32_t id = 17; id <= 19; ++id) s.devices.push_back(Device(id, H::kAnswering, now_ms));
    // Device 17 judged on float: block 6 above its compensated target, block 5 just below.
    s.devices[5].cells[kAlarmCell - 1].float_deviation = 0.18f;
    s.devices[5].cells[kAlarmCell - 2].float_deviation = -0.015f;
    s.devices[5].cells[10].resistance_rise_pct = 61.24f;  // block 11, on its baseline
    s.devices[1].cells[10].resistance_rise_pct = 61.24f;  // device 13 silent: never shown
    // Device 12's test of this run ended ten minutes ago, below its baseline
    // of June; device 17 has its baseline's capacity alone.
    s.devices[0].capacity =
        verdict::CapacityNow{78.44, "test", now_ms - 600000, "", false, true, "replace", 97.0, "2026-06-01"};
    s.devices[5].capacity = verdict::CapacityNow{92.0, "baseline", 1780300000000, "2026-06-01T07:46:40+0000",
                                                 false, false, "", std::nullopt, ""};
    // Device 17 against its baseline: block 11 past the act threshold, block
    // 6 floating 62.3 mV higher than then, past the float band.
    s.devices[5].baseline_date = "2026-06-01";
    s.devices[0].baseline_date = "2026-06-01";  // the baseline its capacity is set against
    s.devices[5].cells[10].resistance_flag = "act";
    s.devices[5].cells[kAlarmCell - 1].float_drift = 0.0623f;
    s.devices[5].cells[kAlarmCell - 1].float_drift_flag = "high";
    s.devices[5].cells[kAlarmCell - 2].float_drift = -0.0021f;
    s.devices[1].cells[kAlarmCell - 1].float_drift = 0.0623f;  // silent: never shown

    LiveSnapshot::Alarm raised;
    raised.device = 12;
    raised.at_ms = now_ms - 30000;
    raised.name = "battery_5_value";
    raised.label = "第6节电池";
    raised.bound = "low";
    raised.value = kAlarmCellValue;
    raised.limit = kLow;
    LiveSnapshot::Alarm cleared = raised;
    cleared.device = 17;
    cleared.raised = false;
    cleared.at_ms = now_ms - 10000;
    cleared.value = 12.2f;
    s.recent_alarms = {raised, cleared};
    return s;
}

}  // namespace canned
