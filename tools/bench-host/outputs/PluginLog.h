#pragma once
// `--plugin-log FILE`: every console line of the plug-in, time-stamped, in
// a file of its own, so that none is lost when the live view shows only
// their count.  Lines are appended: a file kept over several runs holds
// them all.
#include <fstream>
#include <string>

#include "events/RunOutput.h"

class PluginLog : public RunOutput {
public:
    // Throws std::runtime_error naming the file when it cannot be opened.
    explicit PluginLog(const std::string& path);
    void OnEvent(const RunEvent& event) override;

private:
    std::ofstream file_;
};
