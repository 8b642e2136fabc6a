#include "report/RoundTimeline.h"

namespace report {

int64_t RoundTimeline::At(std::optional<int64_t> run_id, int64_t wall_ms, std::optional<int64_t> mono_ms) {
    if (!run_id || !mono_ms) return wall_ms;
    const auto it = anchors_.emplace(*run_id, wall_ms - *mono_ms).first;
    return it->second + *mono_ms;
}

}  // namespace report
