#pragma once
// Keeps every change of a device's health in the run's history, beside its
// rounds and alarms, so that a silent period can be found after the run
// (`history --health`) and not only while it is on the screen.
#include "events/RunOutput.h"

class RunEvents;
class HistoryWriter;

class HealthRecorder : public RunOutput {
public:
    HealthRecorder(HistoryWriter& writer, RunEvents& events) : writer_(writer), events_(events) {}
    void OnEvent(const RunEvent& event) override;

private:
    HistoryWriter& writer_;
    RunEvents& events_;
};
