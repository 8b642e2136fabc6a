#pragma once
// Keeps in the run's history what befell the run itself: a step of the wall
// clock and a lost standard output, so that a reader of the history (the
// report, the page) can say where a step fell and that nobody saw the run.
#include "events/RunOutput.h"

class RunEvents;
class HistoryWriter;

class NoteRecorder : public RunOutput {
public:
    NoteRecorder(HistoryWriter& writer, RunEvents& events) : writer_(writer), events_(events) {}
    void OnEvent(const RunEvent& event) override;

private:
    HistoryWriter& writer_;
    RunEvents& events_;
};
