#pragma once
// A chart's values over time, bounded whatever the period: merged into at
// most `cap` buckets of equal rounds, so a year costs what a day does.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace report {

// Values over time merged into at most `cap` buckets: when full, each two
// neighbours become one, so the buckets stay of equal rounds and a year
// costs what a day does.
class Series {
public:
    struct Bucket {
        int64_t first_ms = 0, last_ms = 0;
        long n = 0;
        std::vector<double> sum, min, max;
        double Mean(std::size_t c) const { return n > 0 ? sum[c] / static_cast<double>(n) : 0.0; }
    };
    Series(std::size_t channels, std::size_t cap);
    void Add(int64_t ms, const std::vector<double>& values);
    // Values already gathered (a summarised minute's), as one bucket's worth.
    void AddBucket(Bucket b);
    const std::vector<Bucket>& Buckets() const { return buckets_; }
    std::size_t Channels() const { return channels_; }

private:
    void Merge(Bucket& into, const Bucket& from) const;
    void Compact();

    std::size_t channels_, cap_;
    long per_bucket_ = 1;  // rounds a bucket holds before the next begins
    std::vector<Bucket> buckets_;
};

}  // namespace report
