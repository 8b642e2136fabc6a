#pragma once
// What the history page asks of the stored rounds and alarms, whatever
// keeps them.  Times are milliseconds since the Unix epoch (UTC).
//
// A series is downsampled into buckets of equal length: each point is one
// bucket's rounds reduced (time of the bucket's first round; mean string
// voltage, current, temperature and chosen cell; lowest, mean and highest
// cell), so a week of rounds at one a second comes back as a few thousand
// points.  Buckets without rounds are left out; a gap in time is a gap in
// the data.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryStore.h"

class HistoryQuery {
public:
    struct Range {
        std::optional<int64_t> from_ms;  // none: from the first stored round
        std::optional<int64_t> to_ms;    // none: to the last stored round
    };

    struct DeviceSpan {
        uint32_t device = 0;
        int64_t first_ms = 0;
        int64_t last_ms = 0;
    };

    struct SeriesRequest {
        uint32_t device = 0;
        Range range;
        int points = 2000;          // most buckets wanted
        int cells = 29;             // cells of the model (the record holds more)
        std::optional<int> cell;    // 1-based: this cell's own series as well
    };

    struct Series {
        int64_t from_ms = 0;        // the range the buckets cover (inclusive)
        int64_t to_ms = 0;
        int64_t bucket_ms = 0;
        std::vector<int64_t> t;     // time of each bucket's first round
        std::vector<uint64_t> rounds;
        std::vector<double> string_voltage, current, temperature;
        std::vector<double> cell_min, cell_mean, cell_max;
        std::vector<double> cell;   // empty unless a cell was asked for
    };

    // As the history stores it: state "raised", "cleared" or "closed".
    using Alarm = HistoryStore::Alarm;

    virtual ~HistoryQuery() = default;

    // Devices with stored rounds, by identifier.
    virtual std::vector<DeviceSpan> Devices() = 0;
    virtual Series Downsample(const SeriesRequest& request) = 0;
    // Alarms raised and cleared in the range, oldest first, at most limit.
    virtual std::vector<Alarm> Alarms(std::optional<uint32_t> device, const Range& range, std::size_t limit) = 0;
};
