#pragma once
// Watches the stream the run's output writes to.  When its reader goes away
// (`bench-host run --json | head -3`), writing fails: the watch says so
// once, as a run event, and the run goes on polling and storing as before.
// Subscribed after the output it watches, so it sees each event's write.
#include <ostream>

#include "events/RunOutput.h"

class RunEvents;

class OutputWatch : public RunOutput {
public:
    OutputWatch(std::ostream& watched, RunEvents& events) : watched_(watched), events_(events) {}
    void OnEvent(const RunEvent& event) override;
    void Refresh(std::chrono::steady_clock::time_point now) override;

private:
    void Check();

    std::ostream& watched_;
    RunEvents& events_;
    bool lost_ = false;
};
