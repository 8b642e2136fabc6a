#pragma once
// Keeps every change of a device's health in the run's history, beside its
// rounds and alarms, so that a silent period can be found after the run
// (`history --health`) and not only while it is on the screen.
#include <chrono>
#include <cstdint>
#include <map>

#include "events/RunOutput.h"

class StoreThread;

class HealthRecorder : public RunOutput {
public:
    // origin: of the run's monotonic moments (HostCalls::Origin).
    HealthRecorder(StoreThread& store, std::chrono::steady_clock::time_point origin)
        : store_(store), origin_(origin) {}
    void OnEvent(const RunEvent& event) override;

private:
    StoreThread& store_;
    const std::chrono::steady_clock::time_point origin_;
    // Per device, when its present state began on the monotonic clock: a
    // change's row says how long the state it ends lasted.
    std::map<uint32_t, std::chrono::steady_clock::time_point> since_;
};
