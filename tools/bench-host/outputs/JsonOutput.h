#pragma once
// `bench-host run --json`: one JSON object per line on standard output for
// every round, alarm, restore, port event and, at the end, a summary per
// device; the plug-in's console lines, other notes and the trace go to
// standard error, so standard output stays machine-readable.
#include <ostream>

#include "events/RunOutput.h"

class JsonOutput : public RunOutput {
public:
    JsonOutput(std::ostream& out, std::ostream& err, bool trace) : out_(out), err_(err), trace_(trace) {}
    void OnEvent(const RunEvent& event) override;

private:
    std::ostream& out_;
    std::ostream& err_;
    bool trace_;
};
