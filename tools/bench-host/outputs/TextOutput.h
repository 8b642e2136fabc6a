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

    static constexpr std::chrono::seconds kRepeatsSaidEvery{60};

private:
    void PluginLine(const std::string& line);
    // "plug-in: (the same line N more times)", when there were any.
    void SayRepeats();

    std::ostream& out_;
    std::ostream& err_;
    bool trace_;
    std::string last_plugin_line_;
    long repeats_ = 0;
    std::chrono::steady_clock::time_point repeats_said_at_{};
};
