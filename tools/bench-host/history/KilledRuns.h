#pragma once
// Which runs of a history were killed: only one run writes a file at a
// time, so a run without an end that another run followed (a later row,
// whatever the clocks said) was killed; the newest without an end may still
// be running.  Pure: the rule over the rows as the reader gives them.
#include <vector>

#include "history/HistoryRows.h"

class KilledRuns {
public:
    // Sets each run's killed, the runs in any order.
    static void Mark(std::vector<history::Run>& runs);
};
