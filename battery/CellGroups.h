#pragma once
// The group rule of "appSetting": "group_index" with "amount" limits the
// threshold check to the first cells of the string and sets the number the
// first of them is shown under.  Shared with the bench tools, which say
// before a run which cells a configuration checks.  Valid C++11.
#include <algorithm>
#include <cstdint>

#include "protocol/MonitorProtocol.h"

namespace cellgroups {

// Group 2 of a split string numbers its cells from 18 on.
constexpr int32_t kSecondGroupStart = 17;

struct Group {
    bool named;      // only groups 1 and 2 exist; any other changes nothing
    int32_t start;   // the numbering offset of the group
    int32_t count;   // cell indices 0 to count - 1 are appended
};

// What "group_index" with "amount" mean.  The count is bounded by the
// monitor's cell slots: no index at or beyond them can name a cell, and a
// huge amount must not exhaust the controller's memory.
inline Group Of(int32_t group_index, int32_t amount) {
    Group g;
    g.named = group_index == 1 || group_index == 2;
    g.start = group_index == 2 ? kSecondGroupStart : 0;
    g.count = std::max<int32_t>(0, std::min<int32_t>(amount, monitor::kCellSlots));
    return g;
}

}  // namespace cellgroups
