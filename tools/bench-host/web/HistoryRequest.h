#pragma once
// The query parameters of the history endpoints, checked.  A parameter
// that is unknown, repeated, not a whole decimal number or out of range is
// refused with a reason the server returns with status 400:
//
//   device  data identifier                          (required by /api/history)
//   from    first millisecond, Unix time (UTC)       (default: first stored round)
//   to      last millisecond                         (default: last stored round)
//   points  most points per series, 1..10000         (default 2000)
//   cells   cells of the model, 1..32                (default 29)
//   cell    one cell's own series, 1..cells
//   limit   most alarms, 1..10000                    (default 1000; /api/alarms)
#include <map>
#include <stdexcept>
#include <string>

#include "web/HistoryQuery.h"

struct HistoryRequest {
    HistoryQuery::SeriesRequest series;
    bool has_device = false;
    std::size_t limit = 1000;

    enum class Endpoint { kSeries, kAlarms };

    static HistoryRequest Parse(const std::multimap<std::string, std::string>& params, Endpoint endpoint);

    struct Error : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
};
