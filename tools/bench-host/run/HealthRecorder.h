#pragma once
// Keeps every change of a device's health in the run's history, beside its
// rounds and alarms, so that a silent period can be found after the run
// (`history --health`) and not only while it is on the screen.
#include "events/RunOutput.h"

class StoreThread;

class HealthRecorder : public RunOutput {
public:
    explicit HealthRecorder(StoreThread& store) : store_(store) {}
    void OnEvent(const RunEvent& event) override;

private:
    StoreThread& store_;
};
