#pragma once
// How long each alarm stood: the history's alarm rows paired raise to end.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryRows.h"

namespace report {

// How an alarm's span ended: cleared by its value, closed when a run
// ended with it raised (the next run closes it at its start), or not at
// all within the period (its duration counted to the period's end).
enum class AlarmEnd { still_raised, cleared, closed };
// "still raised", "cleared", "closed": as the JSON names them.
const char* AlarmEndName(AlarmEnd e);

struct AlarmSpan {
    std::string name, label, bound;
    double value = 0, limit = 0;
    int64_t raised_ms = 0;
    std::string raised_at;
    std::optional<int64_t> ended_ms;
    std::string ended_at;
    AlarmEnd ended_by = AlarmEnd::still_raised;
    double duration_s = 0;
    bool raised_before = false;  // its raise lies before the period: raised_ms is the period's start
};

// Alarms paired raise to end, in the order raised; at most max spans.
std::vector<AlarmSpan> AlarmSpans(const std::vector<history::Alarm>& alarms, int64_t start_ms, int64_t end_ms,
                                  std::size_t max, long* not_kept);

// How long something lasted: as the run measured it on its monotonic clock
// where the row says, else from the wall times, which a clock set back
// would make negative: never less than 0.
double Lasted(const std::optional<int64_t>& lasted_ms, int64_t from_ms, int64_t to_ms);

}  // namespace report
