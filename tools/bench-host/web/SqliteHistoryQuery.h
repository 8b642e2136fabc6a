#pragma once
// HistoryQuery over the bench host's SQLite history, opened read-only, a
// connection per query (so every query sees what the run has stored since,
// and the HTTP threads share nothing):
//
//   history(device_id, saved_at, record, saved_ms, ...)  indexed on (device_id, saved_ms)
//   alarms(device_id, at, name, label, state, bound, value, limit_value, at_ms, ...)
//
// saved_ms and at_ms are milliseconds since the Unix epoch (UTC).  The
// values live in the record's byte image; SQL reads them through functions
// this class registers on its connections, so the downsampling is one
// indexed range scan grouped by bucket inside SQLite.
#include <string>

#include "web/HistoryQuery.h"

class SqlConnection;

class SqliteHistoryQuery : public HistoryQuery {
public:
    // Opens the file once to check it is a history; throws
    // std::runtime_error naming the file when it is not.
    explicit SqliteHistoryQuery(std::string path);

    std::vector<DeviceSpan> Devices() override;
    Series Downsample(const SeriesRequest& request) override;
    std::vector<Alarm> Alarms(std::optional<uint32_t> device, const Range& range, std::size_t limit) override;

private:
    Series Downsample(SqlConnection& db, const SeriesRequest& request);

    std::string path_;
};
