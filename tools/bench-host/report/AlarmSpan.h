#pragma once
// How long each alarm stood: the history's alarm rows paired raise to end.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryRows.h"
#include "report/PeriodClock.h"

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

// Alarms paired raise to end, in the order raised; at most max spans.  One
// raised before the period counts from its start, one still raised at its
// end up to it (PeriodClock: as long as its run went on).
std::vector<AlarmSpan> AlarmSpans(const std::vector<history::Alarm>& alarms, const PeriodClock& period,
                                  std::size_t max, long* not_kept);

// Where an alarm's row lies on its run's clocks.
Moment MomentOf(const history::Alarm& a);

// How long something lasted: as the run measured it on its monotonic clock
// where the row says, else between its moments (PeriodClock), never less
// than 0.
double Lasted(const std::optional<int64_t>& lasted_ms, const PeriodClock& period, const Moment& from,
              const Moment& to);

}  // namespace report
