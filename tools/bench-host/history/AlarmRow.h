#pragma once
// The history's row for an alarm raised or cleared by a device's limits,
// stamped with the time it was judged.  How long it stood is the caller's
// to fill in, on the clock the caller keeps.
#include <cstdint>

#include "basics/TimeStamp.h"
#include "history/HistoryRows.h"
#include "record/AlarmEvaluator.h"

namespace history {

Alarm AlarmRow(uint32_t device_id, const AlarmEvaluator::Change& change, const TimeStamp& at);

}  // namespace history
