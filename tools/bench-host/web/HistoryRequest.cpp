#include "web/HistoryRequest.h"

#include <charconv>
#include <set>

#include "record/BatteryRecord.h"

namespace {

constexpr int kMaxPoints = 10000;
constexpr std::size_t kMaxAlarms = 10000;

int64_t Integer(const std::string& name, const std::string& text, int64_t low, int64_t high) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto res = std::from_chars(text.data(), end, value);
    if (text.empty() || res.ec != std::errc() || res.ptr != end) {
        throw HistoryRequest::Error("parameter " + name + " is not a whole number: \"" + text + "\"");
    }
    if (value < low || value > high) {
        throw HistoryRequest::Error("parameter " + name + " must lie in " + std::to_string(low) + ".." +
                                    std::to_string(high) + ", not " + text);
    }
    return value;
}

}  // namespace

HistoryRequest HistoryRequest::Parse(const std::multimap<std::string, std::string>& params, Endpoint endpoint) {
    const std::set<std::string> known = endpoint == Endpoint::kSeries
                                            ? std::set<std::string>{"device", "from", "to", "points", "cells", "cell"}
                                            : std::set<std::string>{"device", "from", "to", "limit"};
    for (const auto& [name, value] : params) {
        if (!known.count(name)) throw Error("unknown parameter " + name);
        if (params.count(name) > 1) throw Error("parameter " + name + " given more than once");
    }
    const auto get = [&](const char* name) -> const std::string* {
        const auto it = params.find(name);
        return it == params.end() ? nullptr : &it->second;
    };
    constexpr int64_t kMaxTime = INT64_C(253402300799999);  // the end of year 9999

    HistoryRequest r;
    if (const auto* v = get("device")) {
        r.series.device = static_cast<uint32_t>(Integer("device", *v, 0, UINT32_MAX));
        r.has_device = true;
    } else if (endpoint == Endpoint::kSeries) {
        throw Error("parameter device is required");
    }
    if (const auto* v = get("from")) r.series.range.from_ms = Integer("from", *v, 0, kMaxTime);
    if (const auto* v = get("to")) r.series.range.to_ms = Integer("to", *v, 0, kMaxTime);
    if (r.series.range.from_ms && r.series.range.to_ms && *r.series.range.from_ms > *r.series.range.to_ms) {
        throw Error("parameter from is after to");
    }
    if (const auto* v = get("points")) r.series.points = static_cast<int>(Integer("points", *v, 1, kMaxPoints));
    if (const auto* v = get("cells")) r.series.cells = static_cast<int>(Integer("cells", *v, 1, BatteryRecord::kCells));
    if (const auto* v = get("cell")) r.series.cell = static_cast<int>(Integer("cell", *v, 1, r.series.cells));
    if (const auto* v = get("limit")) r.limit = static_cast<std::size_t>(Integer("limit", *v, 1, kMaxAlarms));
    return r;
}
