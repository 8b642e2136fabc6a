#include "web/HistoryFormat.h"

#include <cstdio>
#include <ctime>

#include "web/JsonArray.h"
#include "basics/JsonLine.h"
#include "basics/ValueText.h"

namespace {

// Averages of stored floats carry no more than a float's precision; written
// as floats they stay short.
std::string Num(double v) { return JsonLine::FormatFloat(static_cast<float>(v)); }

using Kind = ValueText::Kind;

// A value that could not be read is an empty CSV field, not a zero; the
// others at their resolution, as every output a person reads has them.
std::string CsvNum(Kind kind, double v) { return v == v ? ValueText::Of(kind, v) : std::string(); }

std::string Numbers(const std::vector<double>& v) { return JsonArray::Of(v, Num); }

template <typename Int>
std::string Integers(const std::vector<Int>& v) {
    return JsonArray::Of(v, [](Int i) { return std::to_string(i); });
}

}  // namespace

std::string HistoryFormat::IsoUtc(int64_t ms) {
    const std::time_t secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];  // room for any int the compiler cannot rule out
    const auto millis = static_cast<int>(ms - static_cast<int64_t>(secs) * 1000);
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

std::string HistoryFormat::SeriesJson(const HistoryQuery::SeriesRequest& request, const HistoryQuery::Series& s) {
    JsonLine out;
    out.UInt("device", request.device)
        .Int("from_ms", s.from_ms)
        .Int("to_ms", s.to_ms)
        .Int("bucket_ms", s.bucket_ms)
        .Int("cells", request.cells)
        .Raw("cell", request.cell ? std::to_string(*request.cell) : "null")
        .Raw("t", Integers(s.t))
        .Raw("rounds", Integers(s.rounds))
        .Raw("string_voltage", Numbers(s.string_voltage))
        .Raw("current", Numbers(s.current))
        .Raw("temperature", Numbers(s.temperature))
        .Raw("cell_min", Numbers(s.cell_min))
        .Raw("cell_mean", Numbers(s.cell_mean))
        .Raw("cell_max", Numbers(s.cell_max))
        .Raw("cell_values", Numbers(s.cell));
    return out.Text();
}

std::string HistoryFormat::SeriesCsv(const HistoryQuery::SeriesRequest& request, const HistoryQuery::Series& s) {
    std::string out = "time,time_ms,rounds,string_voltage_v,current_a,temperature_c,cell_min_v,cell_mean_v,cell_max_v";
    const bool cell = request.cell && s.cell.size() == s.t.size();
    if (cell) out += ",cell_" + std::to_string(*request.cell) + "_v";
    out += "\r\n";
    for (std::size_t i = 0; i < s.t.size(); ++i) {
        out += IsoUtc(s.t[i]) + ',' + std::to_string(s.t[i]) + ',' + std::to_string(s.rounds[i]);
        const std::pair<Kind, const std::vector<double>*> columns[] = {
            {Kind::kString, &s.string_voltage}, {Kind::kCurrent, &s.current}, {Kind::kTemperature, &s.temperature},
            {Kind::kCell, &s.cell_min},         {Kind::kCell, &s.cell_mean},   {Kind::kCell, &s.cell_max}};
        for (const auto& [kind, col] : columns) out += ',' + CsvNum(kind, (*col)[i]);
        if (cell) out += ',' + CsvNum(Kind::kCell, s.cell[i]);
        out += "\r\n";
    }
    return out;
}

std::string HistoryFormat::AlarmsJson(const std::vector<HistoryQuery::Alarm>& alarms, bool truncated) {
    JsonLine out;
    out.Raw("alarms", JsonArray::Of(alarms, [](const HistoryQuery::Alarm& a) {
           return JsonLine()
               .UInt("device", a.device_id)
               .Int("at_ms", a.at_ms)
               .Str("at", a.at)
               .Str("state", a.state)
               .Str("name", a.name)
               .Str("label", a.label)
               .Str("bound", a.bound)
               .Raw("value", ValueText::Of(a.name, a.value))
               .Raw("limit", ValueText::Of(a.name, a.limit))
               .Text();
       })).Bool("truncated", truncated);
    return out.Text();
}

std::string HistoryFormat::DevicesJson(const std::vector<HistoryQuery::DeviceSpan>& devices) {
    JsonLine out;
    out.Raw("devices", JsonArray::Of(devices, [](const HistoryQuery::DeviceSpan& d) {
        return JsonLine().UInt("device", d.device).Int("first_ms", d.first_ms).Int("last_ms", d.last_ms).Text();
    }));
    return out.Text();
}
