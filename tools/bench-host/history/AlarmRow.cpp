#include "history/AlarmRow.h"

namespace history {

Alarm AlarmRow(uint32_t device_id, const AlarmEvaluator::Change& change, const TimeStamp& at) {
    Alarm a;
    a.device_id = device_id;
    a.at = at.Text();
    a.at_ms = at.Ms();
    a.name = change.name;
    a.label = change.label;
    a.state = change.raised ? "raised" : "cleared";
    a.bound = change.bound;
    a.value = change.value;
    a.limit = change.limit;
    return a;
}

}  // namespace history
