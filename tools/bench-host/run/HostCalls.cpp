#include "run/HostCalls.h"

#include "bus/BusDevice.h"
#include "bus/BusScheduler.h"
#include "history/AlarmRow.h"
#include "events/RunEvents.h"
#include "run/RunSetup.h"
#include "run/StoreThread.h"

HostCalls::HostCalls(RunSetup& site, RunEvents& events, RunClock& clock)
    : site_(site), events_(events), clock_(clock), began_(clock.Now()), previous_(hoststandin::Observer()) {
    hoststandin::SetObserver(this);
}

void HostCalls::Attach(StoreThread& store) {
    store_ = &store;
    for (auto& bus : site_.Buses()) bus.scheduler->OnKeep([this](BusDevice& d, const RoundHold::Round& round) { Keep(d, round); });
}

HostCalls::~HostCalls() { hoststandin::SetObserver(previous_); }

TimeStamp HostCalls::WallNow() const {
    return TimeStamp::FromMs(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.WallNow().time_since_epoch()).count());
}

BusDevice* HostCalls::Find(const HLXVDevice& dev) const {
    for (const auto& d : site_.Devices())
        if (d->dev == &dev) return d.get();
    return nullptr;
}

void HostCalls::OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) {
    BusDevice* d = Find(dev);
    if (d && d->bus) d->bus->DeviceSent(*d, data, len);
}

void HostCalls::OnSpRefresh(HLXSPDevice& dev) {
    BusDevice* d = Find(dev);
    if (d && d->bus) d->bus->DeviceStartedCycle(*d);
}

void HostCalls::OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float value,
                                 int /*index*/) {
    BusDevice* d = Find(dev);
    if (!d) return;
    d->labels[name] = label;
    if (site_.Restoring()) return;
    // Judged once the bus has shown the round's replies its own.
    if (d->bus) d->bus->DeviceChecked(*d, RoundHold::Check{name, label, value});
}

void HostCalls::OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) {
    BusDevice* d = Find(dev);
    if (!d || site_.Restoring()) return;
    const auto mono_ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - began_).count();
    if (d->bus) d->bus->DeviceCompletedRound(*d, data, size, WallNow(), mono_ms);
}

void HostCalls::Alarm(BusDevice& d, const AlarmEvaluator::Change& c) {
    const TimeStamp at = WallNow();
    history::Alarm a = history::AlarmRow(d.conf.id, c, at);
    const auto key = std::make_tuple(d.conf.id, c.name, c.bound);
    const auto now = clock_.Now();
    a.mono_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - began_).count();
    if (c.raised) {
        raised_[key] = now;
    } else if (const auto it = raised_.find(key); it != raised_.end()) {
        a.lasted_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - it->second).count();
        raised_.erase(it);
    }
    store_->Offer(StoreQueue::Item{a});
    if (c.raised)
        events_.Publish(run::AlarmRaised{&d, c, a.at});
    else
        events_.Publish(run::AlarmCleared{&d, c, a.at});
}

void HostCalls::Keep(BusDevice& d, const RoundHold::Round& round) {
    const auto& record = round.record;
    const BatteryRecord::NoValueMask no_value = round.invalid.Mask(d.reply_layout);
    d.last = BatteryRecord::Decode(record.data(), record.size(), no_value);
    // A value the monitor marked invalid is not judged: its 0 V is no low
    // cell, and an alarm standing on it stands until a reading says more.
    for (const auto& check : round.checks) {
        if (d.last && d.last->NoValue(check.name)) continue;
        for (const auto& c : d.alarms.Evaluate(check.name, check.label, check.value)) Alarm(d, c);
    }
    d.last_round_at = round.at.Text();
    // The string's charge state, stored with the round, and the float
    // alarms judged in it.
    std::string state;
    // A round without the string's voltage, current or temperature is not
    // judged: the charge state, the float alarms and the figures go on from
    // the rounds that had them.
    const bool whole = d.last && BatteryRecord::HasValue(d.last->group_voltage) &&
                       BatteryRecord::HasValue(d.last->group_current) && BatteryRecord::HasValue(d.last->temperature);
    if (whole) {
        if (d.cell_count == 0) d.LearnCells();
        if (!d.charge) d.charge.emplace(d.conf.battery);
        if (!d.float_alarms) d.float_alarms.emplace(d.conf.battery);
        if (!d.resistance) d.resistance.emplace(d.conf.battery, std::vector<double>{});
        if (!d.capacity) d.capacity.emplace(d.conf.battery, false);
        if (!d.float_drift) d.float_drift.emplace(d.conf.battery, std::vector<std::optional<double>>{}, std::nullopt);
        const verdict::Reading r =
            verdict::LiveCharge::ReadingOf(*d.last, d.conf.battery.Blocks(d.CellsShown()), round.at.Ms());
        d.charge->Capacity(d.capacity->Known(), d.capacity->KnownFrom());
        const verdict::ChargeNow charge = d.charge->Add(r);
        state = verdict::ChargeName(charge.state);
        d.resistance->Add(r);
        d.capacity->Add(r, charge.state);
        const auto step = d.float_alarms->Next(r, charge);
        d.float_drift->Add(d.float_alarms->Deviation());
        if (step.hold) events_.Publish(run::FloatAlarmsHeld{&d, *step.hold});
        for (const auto& c : step.changes) Alarm(d, c);
    }
    store_->Offer(StoreQueue::Item{StoreQueue::Record{d.conf.id, record, round.at, state, round.mono_ms, no_value}});
}
