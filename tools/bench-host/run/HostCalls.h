#pragma once
// The host's side of the calls a device makes during `bench-host run`:
// requests go to the device's bus, threshold checks to its alarm limits,
// records and alarms to the history's store thread, once the bus has shown
// the round's replies its own.  Installed as the host stand-in's observer for as
// long as it lives.  A round and an alarm are stamped with the wall clock
// it is given; how long an alarm stood is measured on its monotonic clock.
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>

#include "basics/RealClock.h"
#include "basics/TimeStamp.h"
#include "bus/RoundHold.h"
#include "host/standin/HostStandin.h"
#include "record/AlarmEvaluator.h"

struct BusDevice;
class RunEvents;
class RunSetup;
class StoreThread;

class HostCalls : public hoststandin::HostObserver {
public:
    HostCalls(RunSetup& site, RunEvents& events, RunClock& clock = RealClock::Shared());
    ~HostCalls() override;
    HostCalls(const HostCalls&) = delete;
    HostCalls& operator=(const HostCalls&) = delete;
    // Takes the rounds the site's buses keep, for store; once the site is
    // made.
    void Attach(StoreThread& store);
    // The origin of the run's monotonic moments stored with its rounds,
    // alarms and health changes: one origin, so a report can measure from
    // any of them to any other of the same run.
    std::chrono::steady_clock::time_point Origin() const { return began_; }

    void OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) override;
    void OnSpRefresh(HLXSPDevice& dev) override;
    void OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float value,
                          int index) override;
    void OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) override;

private:
    // A round the bus showed in step: its thresholds checked, its record
    // stored.
    void Keep(BusDevice& d, const RoundHold::Round& round);
    BusDevice* Find(const HLXVDevice& dev) const;
    // An alarm raised or cleared: stored and told.
    void Alarm(BusDevice& d, const AlarmEvaluator::Change& c);
    TimeStamp WallNow() const;

    RunSetup& site_;
    RunEvents& events_;
    RunClock& clock_;
    // The origin of the rounds' monotonic moments: made with the run.
    const std::chrono::steady_clock::time_point began_;
    hoststandin::HostObserver* previous_;
    StoreThread* store_ = nullptr;
    // When each standing alarm (device, name, bound) was raised, on the
    // monotonic clock: its clear says how long it stood.
    std::map<std::tuple<uint32_t, std::string, std::string>, std::chrono::steady_clock::time_point> raised_;
};
