#pragma once
// The words of `bench-host run`: one line per notable event, the round line,
// the trace line and the summary, shared by every output that shows text
// (plain lines and the live view) so that both say the same thing.
#include <optional>
#include <string>
#include <vector>

#include "events/RunEvent.h"

namespace runtext {

// Local wall-clock time, hh:mm:ss or hh:mm:ss.mmm.
std::string Clock(run::WallClock::time_point at, bool millis);
std::string Clock(bool millis);

// ISO 8601 local time with milliseconds and the UTC offset,
// 2026-12-08T19:17:03.250+08:00.
std::string Iso(run::WallClock::time_point at);

// "23.1%", "0%".
std::string Percent(double percent);
// "0.4 s", "15 s".
std::string Seconds(std::chrono::milliseconds length);
// A step of the wall clock: "back 3600 s", "forward 80 s".
std::string Step(std::chrono::milliseconds step);

// A device's health in a few words, with since when and how many cycles
// were lost: "not answering since 11:07:15, 12 cycles lost (timeout)".
std::string State(const BusDevice& d);
// Failed exchanges per reason, the reasons that occurred only: "3 timeout,
// 1 checksum"; "none".
std::string Failures(const FailureCounts& counts);

// The line for an event worth a line of its own, without a time stamp;
// nothing for rounds, traces, the plug-in's lines and the run's frame.
std::optional<std::string> Note(const RunEvent& event);

// Which plug-in file was loaded (absolute path, size, SHA-256), and where
// the run is recorded.
std::string Started(const run::RunStarted& started);
std::string Round(const run::RoundCompleted& round);
std::string Trace(const run::Trace& trace);

// "1 record", "2 records".
std::string Count(long n, const char* one, const char* many);
// A device's silent periods: "never"; "1 period, 17 s in all, from
// 11:07:15 to 11:07:32"; "3 periods, 40 s in all, longest 17 s, first from
// 11:02:01, last from 11:07:15 to the end of the run".
std::string Silences(const DeviceHealth::Silence& silences);
// The alarms still raised: "第5节电池 (battery_4_value) 11.2 below 12; ..."
// or "none".
std::string Standing(const std::vector<AlarmEvaluator::Active>& alarms);

// Per device, where the history went, and what did not reach it.
std::vector<std::string> Summary(const run::RunEnded& end);
// What was not stored, by kind: "3 records, 1 health change not stored";
// "" when everything was.
std::string NotStored(const run::RunEnded& end);
// How the device's polls kept their tick: "every 1.02 s against a tick of
// 1 s, 3 late".
std::string Polls(const BusDevice& d);
// Its replies later than the host waits, with the quiet guard that would
// have covered them, and when they raised the quiet guard; "" when none
// came late.
std::string LateReplies(const BusDevice& d);
// Its rounds and exchanges dropped for two answers to one request, and the
// address two monitors may share; "" when there were none.
std::string TwoAnswers(const BusDevice& d);
// The quiet guard that covers a reply this late, rounded up to 50 ms.
long GuardCovering(std::chrono::milliseconds late_by);
// The complaints that go to standard error at the end of a run.
std::vector<std::string> Complaints(const run::RunEnded& end);

}  // namespace runtext
