#pragma once
// A chart's buckets laid on time for drawing: equal spans of the period,
// and the runs of buckets a line is drawn through.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "report/Series.h"

namespace report {

// A chart's buckets laid on time: from the first bucket's first round to
// the last bucket's last round cut into `slots` equal spans, each with the
// mean of every channel over the buckets whose rounds reach into it.  A
// span between two buckets further apart than max_gap_ms stays empty (a
// gap, drawn as one); a shorter one is the earlier bucket's (rounds come
// every so often, not in every span).
struct TimeSlots {
    int64_t t0 = 0, slot_ms = 1;
    std::vector<std::optional<std::vector<double>>> means;  // none: no rounds
};
TimeSlots SlotsInTime(const std::vector<Series::Bucket>& buckets, std::size_t channels, std::size_t slots,
                      int64_t max_gap_ms);
// Indexes [begin, end) of the runs of buckets no further apart than
// max_gap_ms: a line is drawn through each run, none across a gap.
std::vector<std::pair<std::size_t, std::size_t>> UnbrokenRuns(const std::vector<Series::Bucket>& buckets,
                                                               int64_t max_gap_ms);

}  // namespace report
