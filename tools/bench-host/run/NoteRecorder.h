#pragma once
// Keeps in the run's history what befell the run itself: a step of the wall
// clock and a lost standard output, so that a reader of the history (the
// report, the page) can say where a step fell and that nobody saw the run;
// and when a device's float alarms were held off float, and resumed.
#include "events/RunOutput.h"

class StoreThread;

class NoteRecorder : public RunOutput {
public:
    explicit NoteRecorder(StoreThread& store) : store_(store) {}
    void OnEvent(const RunEvent& event) override;

private:
    StoreThread& store_;
};
