#pragma once
// The words of `bench-host run`: one line per notable event, the round line,
// the trace line and the summary, shared by every output that shows text
// (plain lines and the live view) so that both say the same thing.
#include <optional>
#include <string>
#include <vector>

#include "RunEvent.h"

namespace runtext {

// Local wall-clock time, hh:mm:ss or hh:mm:ss.mmm.
std::string Clock(run::WallClock::time_point at, bool millis);
std::string Clock(bool millis);

// "23.1%", "0%": the share of started cycles that did not complete.
std::string Loss(long cycles, long completed);

// The line for an event worth a line of its own, without a time stamp;
// nothing for rounds, traces, the plug-in's lines and the run's frame.
std::optional<std::string> Note(const RunEvent& event);

std::string Round(const run::RoundCompleted& round);
std::string Trace(const run::Trace& trace);

// Per device, and where the history went.
std::vector<std::string> Summary(const run::RunEnded& end);
// The complaints that go to standard error at the end of a run.
std::vector<std::string> Complaints(const run::RunEnded& end);

}  // namespace runtext
