#include "web/WebOutput.h"

#include <algorithm>

#include "bus/BusDevice.h"
#include "bus/BusScheduler.h"
#include "verdict/FloatCompliance.h"
#include "web/SnapshotHub.h"
#include "site/ValueNames.h"

namespace {

int64_t MsOf(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

int64_t NowMs() { return MsOf(std::chrono::system_clock::now()); }

// The names the plug-in checks the string values under.
constexpr const char* kStringVoltage = "group_voltage";
constexpr const char* kCurrent = "group_current";
constexpr const char* kTemperature = "temperature";

void Checked(const BusDevice& d, const std::string& name, float value, LiveSnapshot::Value& out) {
    out.value = value;
    out.low.reset();
    out.high.reset();
    if (const AlarmEvaluator::Limits* limits = d.alarms.LimitsFor(name)) {
        out.low = limits->low;
        out.high = limits->high;
    }
    out.in_alarm = d.alarms.IsStanding(name);
}

std::string LabelOf(const BusDevice& d, const std::string& name) {
    const auto it = d.labels.find(name);
    return it != d.labels.end() ? it->second : name;
}

LiveSnapshot::Device Describe(const BusDevice& d) {
    LiveSnapshot::Device out;
    out.id = d.conf.id;
    out.type = d.conf.type;
    out.port = d.port_path;
    out.addr = d.conf.addr;
    out.health = d.health.state();
    out.health_since_ms = MsOf(d.health.since().wall);
    for (int i = 0; i < d.CellsShown(); ++i) {
        LiveSnapshot::Cell c;
        const std::string name = ValueNames::CellName(i);
        Checked(d, name, 0.0f, c);
        c.label = LabelOf(d, name);
        out.cells.push_back(c);
    }
    Checked(d, kStringVoltage, 0.0f, out.string_voltage);
    Checked(d, kCurrent, 0.0f, out.current);
    Checked(d, kTemperature, 0.0f, out.temperature);
    return out;
}

}  // namespace

void WebOutput::FloatAlarmsOf(const BusDevice& device, LiveSnapshot::Device& out) {
    const auto standing = device.float_alarms ? device.float_alarms->Standing() : std::vector<AlarmEvaluator::Active>{};
    const auto stands = [&](const std::string& name) {
        return std::any_of(standing.begin(), standing.end(), [&](const AlarmEvaluator::Active& a) { return a.name == name; });
    };
    static const std::vector<std::optional<double>> kNone;
    const auto& deviation = device.float_alarms ? device.float_alarms->Deviation() : kNone;
    const auto drift_mv = device.float_drift ? device.float_drift->Mv() : kNone;
    for (std::size_t i = 0; i < out.cells.size(); ++i) {
        out.cells[i].float_alarm = stands(verdict::FloatAlarms::BlockName(static_cast<int>(i) + 1));
        out.cells[i].float_deviation.reset();
        if (i < deviation.size() && deviation[i]) out.cells[i].float_deviation = static_cast<float>(*deviation[i]);
        out.cells[i].resistance_rise_pct.reset();
        if (device.resistance && i < device.resistance->Rise().size() && device.resistance->Rise()[i])
            out.cells[i].resistance_rise_pct = static_cast<float>(*device.resistance->Rise()[i]);
        out.cells[i].resistance_flag = device.resistance && i < device.resistance->Flags().size()
                                           ? device.resistance->Flags()[i]
                                           : "";
        out.cells[i].float_drift.reset();
        out.cells[i].float_drift_flag.clear();
        if (i < drift_mv.size() && drift_mv[i]) {
            out.cells[i].float_drift = static_cast<float>(*drift_mv[i] / 1000.0);
            out.cells[i].float_drift_flag = verdict::FloatCompliance::Flag(*drift_mv[i], device.conf.battery.float_band_mv);
        }
    }
    out.baseline_date = device.baseline_date;
    out.string_float_alarm = stands(verdict::FloatAlarms::kString);
    out.float_alarms_held = device.float_alarms && device.float_alarms->Held();
}

LiveSnapshot::Device* WebOutput::Find(const BusDevice* device) {
    if (!device) return nullptr;
    for (auto& d : snapshot_.devices)
        if (d.id == device->conf.id) return &d;
    return nullptr;
}

void WebOutput::Counters(const BusDevice& device, LiveSnapshot::Device& out) const {
    out.failures.clear();
    for (std::size_t i = 0; i < device.failures.size(); ++i)
        out.failures.emplace_back(FailureName(static_cast<FailureReason>(i)), static_cast<uint64_t>(device.failures[i]));
    out.cycles = static_cast<uint64_t>(device.cycles);
    out.rounds = static_cast<uint64_t>(device.completed);
    out.cycles_abandoned = static_cast<uint64_t>(device.abandoned);
    out.cycles_missed = static_cast<uint64_t>(device.missed + device.skipped);
    out.resends = static_cast<uint64_t>(device.resends);
    out.late_polls = static_cast<uint64_t>(device.late_polls);
    out.poll_interval_seconds = device.PollIntervalSeconds();
}

void WebOutput::Alarm(const BusDevice* device, const AlarmEvaluator::Change& change) {
    LiveSnapshot::Alarm a;
    a.device = device ? device->conf.id : 0;
    a.at_ms = NowMs();
    a.raised = change.raised;
    a.name = change.name;
    a.label = change.label;
    a.bound = change.bound;
    a.value = change.value;
    a.limit = change.limit;
    auto& recent = snapshot_.recent_alarms;
    recent.push_back(a);
    if (recent.size() > kRecentAlarms) recent.erase(recent.begin(), recent.end() - kRecentAlarms);
    if (LiveSnapshot::Device* d = Find(device)) {
        auto mark = [&](LiveSnapshot::Value& v) { v.in_alarm = change.raised; };
        if (change.name == kStringVoltage) mark(d->string_voltage);
        else if (change.name == kCurrent) mark(d->current);
        else if (change.name == kTemperature) mark(d->temperature);
        else
            for (std::size_t i = 0; i < d->cells.size(); ++i)
                if (ValueNames::CellName(static_cast<int>(i)) == change.name) {
                    mark(d->cells[i]);
                    d->cells[i].label = change.label;
                }
    }
    Publish();
}

void WebOutput::OnEvent(const RunEvent& event) {
    std::visit(Overloaded{
                   [&](const run::RunStarted& e) {
                       snapshot_.version = e.version;
                       snapshot_.plugin_sha256 = e.plugin_sha256;
                       snapshot_.run_started_ms = NowMs();
                       devices_ = e.devices;
                       buses_.clear();
                       snapshot_.ports.clear();
                       for (const BusDevice* d : e.devices) {
                           if (!d->bus || std::find(buses_.begin(), buses_.end(), d->bus) != buses_.end()) continue;
                           buses_.push_back(d->bus);
                           snapshot_.ports.push_back({d->bus->Path(), true, 0, 0.0});
                       }
                       snapshot_.devices.clear();
                       for (const BusDevice* d : e.devices) snapshot_.devices.push_back(Describe(*d));
                       for (std::size_t i = 0; i < e.devices.size(); ++i) Counters(*e.devices[i], snapshot_.devices[i]);
                       Publish();
                   },
                   [&](const run::RoundCompleted& e) {
                       LiveSnapshot::Device* d = Find(e.device);
                       if (!d) return;
                       const BusDevice& bd = *e.device;
                       d->values_at_ms = NowMs();
                       d->cells.resize(static_cast<std::size_t>(bd.CellsShown()));
                       for (std::size_t i = 0; i < d->cells.size(); ++i) {
                           const std::string name = ValueNames::CellName(static_cast<int>(i));
                           Checked(bd, name, e.record.cells[i], d->cells[i]);
                           d->cells[i].label = LabelOf(bd, name);
                       }
                       Checked(bd, kStringVoltage, e.record.group_voltage, d->string_voltage);
                       Checked(bd, kCurrent, e.record.group_current, d->current);
                       Checked(bd, kTemperature, e.record.temperature, d->temperature);
                       d->charge = e.charge;
                       d->capacity = bd.capacity ? bd.capacity->Now() : std::nullopt;
                       FloatAlarmsOf(bd, *d);
                       Counters(bd, *d);
                       Publish();
                   },
                   [&](const run::HealthChanged& e) {
                       LiveSnapshot::Device* d = Find(e.device);
                       if (!d) return;
                       // A device that has never answered stays "never
                       // answered" until it does: "not answering" would read
                       // as if it once had.
                       const bool never = e.change.to == DeviceHealth::State::kNotAnswering &&
                                          !e.device->health.ever_answered() && e.device->completed == 0;
                       d->health = never ? DeviceHealth::State::kNeverAnswered : e.change.to;
                       // Every change says when its state began: a trouble
                       // at its first unanswered request, answering at the
                       // round that ended it.
                       d->health_since_ms = MsOf(e.change.since.wall);
                       if (e.change.reason) d->last_reason = FailureName(*e.change.reason);
                       Counters(*e.device, *d);
                       Publish();
                   },
                   [&](const run::ExchangeFailed& e) {
                       if (LiveSnapshot::Device* d = Find(e.device)) {
                           d->last_reason = FailureName(e.reason);
                           Counters(*e.device, *d);
                           dirty_ = true;
                       }
                   },
                   [&](const run::AlarmRaised& e) { Alarm(e.device, e.change); },
                   [&](const run::AlarmCleared& e) { Alarm(e.device, e.change); },
                   [&](const run::StoreFailed& e) {
                       const auto added = static_cast<uint64_t>(e.added);
                       snapshot_.not_stored[static_cast<int>(e.kind)] += added;
                       if (LiveSnapshot::Device* d = Find(e.device)) {
                           if (e.kind == history::StoreKind::kAlarm) {
                               d->alarms_not_stored += added;
                           } else if (e.kind == history::StoreKind::kRecord) {
                               d->records_not_stored += added;
                           }
                           Counters(*e.device, *d);
                       }
                       dirty_ = true;
                   },
                   [&](const run::Restored& e) {
                       // The baseline's capacity stands before the first round.
                       if (LiveSnapshot::Device* d = Find(e.device)) {
                           d->capacity = e.device->capacity ? e.device->capacity->Now() : std::nullopt;
                           dirty_ = true;
                       }
                   },
                   [&](const run::RecordsStored& e) {
                       if (LiveSnapshot::Device* d = Find(e.device)) d->records_stored = static_cast<uint64_t>(e.total);
                       Publish();
                   },
                   [&](const run::HistoryLost& e) {
                       snapshot_.history_lost = e.why;
                       Publish();
                   },
                   [&](const run::ClockStepped& e) {
                       auto& steps = snapshot_.clock_steps;
                       if (steps.size() == LiveSnapshot::kClockSteps) steps.erase(steps.begin());
                       steps.push_back({MsOf(e.at), e.step.count()});
                       ++snapshot_.clock_steps_total;
                       Publish();
                   },
                   [&](const run::RunEnded& e) {
                       for (const BusDevice* bd : e.devices)
                           if (LiveSnapshot::Device* d = Find(bd)) Counters(*bd, *d);
                       Publish();
                       // The final counts stay; the buses and devices go
                       // with the run.
                       devices_.clear();
                       buses_.clear();
                   },
                   [&](const auto&) {},
               },
               event);
}

void WebOutput::Refresh(std::chrono::steady_clock::time_point now) {
    // Also when nothing changed: the snapshot's time moves on, so a page
    // shows values growing older while a device is silent.
    if (dirty_ || now - published_ >= std::chrono::seconds(1)) {
        published_ = now;
        Publish();
    }
}

void WebOutput::Publish() {
    snapshot_.now_ms = NowMs();
    for (const BusDevice* bd : devices_)
        if (LiveSnapshot::Device* d = Find(bd)) Counters(*bd, *d);
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < buses_.size() && i < snapshot_.ports.size(); ++i) {
        auto& p = snapshot_.ports[i];
        p.open = buses_[i]->PortOpen();
        p.outages = static_cast<uint64_t>(buses_[i]->Outages());
        p.outage_seconds = std::chrono::duration<double>(buses_[i]->OutageTime(now)).count();
    }
    hub_.Publish(snapshot_);
    published_ = std::chrono::steady_clock::now();
    dirty_ = false;
}
