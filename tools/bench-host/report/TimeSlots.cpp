#include "report/TimeSlots.h"

#include <algorithm>

namespace report {

TimeSlots SlotsInTime(const std::vector<Series::Bucket>& buckets, std::size_t channels, std::size_t slots,
                      int64_t max_gap_ms) {
    TimeSlots out;
    if (buckets.empty() || slots == 0) return out;
    out.t0 = buckets.front().first_ms;
    const int64_t span = buckets.back().last_ms - out.t0 + 1;
    out.slot_ms = std::max<int64_t>(1, (span + static_cast<int64_t>(slots) - 1) / static_cast<int64_t>(slots));
    const auto slot_of = [&](int64_t ms) {
        return static_cast<std::size_t>(std::clamp<int64_t>((ms - out.t0) / out.slot_ms, 0, slots - 1));
    };
    std::vector<std::vector<double>> sum(slots, std::vector<double>(channels, 0.0));
    std::vector<long> n(slots, 0);
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        const auto& b = buckets[i];
        if (b.n <= 0) continue;
        // To the next bucket unless a gap lies between.
        int64_t end = b.last_ms;
        if (i + 1 < buckets.size() && buckets[i + 1].first_ms - b.last_ms <= max_gap_ms)
            end = std::max(end, buckets[i + 1].first_ms - 1);
        const std::size_t last = std::max(slot_of(b.first_ms), slot_of(end));
        for (std::size_t k = slot_of(b.first_ms); k <= last; ++k) {
            // Each span the bucket reaches gets its mean once.
            for (std::size_t c = 0; c < channels && c < b.sum.size(); ++c)
                sum[k][c] += b.sum[c] / static_cast<double>(b.n);
            ++n[k];
        }
    }
    out.means.resize(slots);
    for (std::size_t k = 0; k < slots; ++k) {
        if (n[k] == 0) continue;
        for (auto& v : sum[k]) v /= static_cast<double>(n[k]);
        out.means[k] = std::move(sum[k]);
    }
    return out;
}

std::vector<std::pair<std::size_t, std::size_t>> UnbrokenRuns(const std::vector<Series::Bucket>& buckets,
                                                               int64_t max_gap_ms) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        if (i == 0 || buckets[i].first_ms - buckets[i - 1].last_ms > max_gap_ms)
            out.push_back({i, i + 1});
        else
            out.back().second = i + 1;
    }
    return out;
}

}  // namespace report
