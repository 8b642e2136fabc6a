#pragma once
// The history endpoints' bodies: a downsampled series as JSON (one array per
// column, ready for a chart) or CSV (one line per point), the alarms and
// the devices as JSON.  Texts from the history (labels such as 第6节电池,
// names) are JSON-escaped.
#include <optional>
#include <string>
#include <vector>

#include "web/HistoryQuery.h"

class HistoryFormat {
public:
    static std::string SeriesJson(const HistoryQuery::SeriesRequest& request, const HistoryQuery::Series& series);
    static std::string SeriesCsv(const HistoryQuery::SeriesRequest& request, const HistoryQuery::Series& series);
    static std::string AlarmsJson(const std::vector<HistoryQuery::Alarm>& alarms, bool truncated);
    static std::string DevicesJson(const std::vector<HistoryQuery::DeviceSpan>& devices);

    // UTC, ISO 8601 with milliseconds: 2026-12-08T11:17:03.250Z.
    static std::string IsoUtc(int64_t ms);
};
