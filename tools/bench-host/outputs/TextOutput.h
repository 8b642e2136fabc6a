#pragma once
// `bench-host run` as plain lines: one per completed round, one per notable
// event with its time, the plug-in's console lines, the trace with --trace,
// and the summary at the end.  For a pipe, a file, or a terminal that
// cannot be drawn on.
#include <ostream>

#include "events/RunOutput.h"

class TextOutput : public RunOutput {
public:
    TextOutput(std::ostream& out, std::ostream& err, bool trace) : out_(out), err_(err), trace_(trace) {}
    void OnEvent(const RunEvent& event) override;

private:
    std::ostream& out_;
    std::ostream& err_;
    bool trace_;
};
