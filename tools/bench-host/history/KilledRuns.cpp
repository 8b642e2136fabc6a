#include "history/KilledRuns.h"

#include <algorithm>

void KilledRuns::Mark(std::vector<history::Run>& runs) {
    int64_t newest = 0;
    for (const auto& r : runs) newest = std::max(newest, r.id);
    for (auto& r : runs) r.killed = r.ended_at.empty() && r.id != newest;
}
