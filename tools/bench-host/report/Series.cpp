#include "report/Series.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace report {

Series::Series(std::size_t channels, std::size_t cap) : channels_(channels), cap_(std::max<std::size_t>(cap, 2)) {}

void Series::Merge(Bucket& into, const Bucket& from) const {
    into.last_ms = from.last_ms;
    into.n += from.n;
    for (std::size_t c = 0; c < channels_; ++c) {
        into.sum[c] += from.sum[c];
        into.min[c] = std::min(into.min[c], from.min[c]);
        into.max[c] = std::max(into.max[c], from.max[c]);
    }
}

void Series::Add(int64_t ms, const std::vector<double>& values) {
    if (buckets_.empty() || buckets_.back().n >= per_bucket_) {
        Bucket b;
        b.first_ms = b.last_ms = ms;
        b.sum.assign(channels_, 0.0);
        b.min.assign(channels_, std::numeric_limits<double>::infinity());
        b.max.assign(channels_, -std::numeric_limits<double>::infinity());
        buckets_.push_back(std::move(b));
    }
    Bucket& b = buckets_.back();
    b.last_ms = ms;
    ++b.n;
    for (std::size_t c = 0; c < channels_ && c < values.size(); ++c) {
        b.sum[c] += values[c];
        b.min[c] = std::min(b.min[c], values[c]);
        b.max[c] = std::max(b.max[c], values[c]);
    }
    Compact();
}

void Series::AddBucket(Bucket b) {
    if (!buckets_.empty() && buckets_.back().n < per_bucket_)
        Merge(buckets_.back(), b);
    else
        buckets_.push_back(std::move(b));
    Compact();
}

void Series::Compact() {
    if (buckets_.size() <= cap_) return;
    // Full: every two neighbours become one, and each bucket from now on
    // holds twice the rounds.
    std::vector<Bucket> merged;
    merged.reserve(cap_ / 2 + 1);
    for (std::size_t i = 0; i < buckets_.size(); i += 2) {
        merged.push_back(std::move(buckets_[i]));
        if (i + 1 < buckets_.size()) Merge(merged.back(), buckets_[i + 1]);
    }
    buckets_ = std::move(merged);
    per_bucket_ *= 2;
}

}  // namespace report
