#include "history/HistoryReport.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "record/BatteryRecord.h"
#include "history/HistoryReader.h"
#include "history/KilledRuns.h"
#include "basics/JsonLine.h"
#include "basics/TextEscape.h"
#include "basics/TimeStamp.h"
#include "basics/ValueText.h"

namespace {

using Kind = ValueText::Kind;

// A value the monitor marked invalid is no value: in words on a line a
// person reads, an empty field in CSV.
std::string Num(Kind kind, double v) { return std::isnan(v) ? ValueText::kNoValue : ValueText::Of(kind, v); }
std::string CsvNum(Kind kind, double v) { return std::isnan(v) ? std::string() : ValueText::Of(kind, v); }

// CSV fields are quoted only when they need it.  A text that a
// spreadsheet would take for a formula (it begins with = + - @, a tab or a
// carriage return: a label or a site file can say anything) gets a leading
// apostrophe, so the cell shows the text instead of running it.  One
// field on one line: a note's or a path's line end is written out, so
// every record of the file is one line, whatever a reader makes of quotes.
std::string CsvField(const std::string& raw) {
    // A formula is told by what was stored, before its tab is written out.
    const bool formula = !raw.empty() && std::string("=+-@\t\r").find(raw[0]) != std::string::npos;
    const std::string s = TextEscape::Line(raw);
    if (!formula && s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = formula ? "\"'" : "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string RunText(const std::optional<int64_t>& run) { return run ? std::to_string(*run) : std::string(); }

// The record's own time stamp (the plug-in's local clock, whole seconds) in
// the stored form, with the offset of the moment it was saved.
std::string RecordTime(const BatteryRecord& r, const std::string& saved_at) {
    if (r.year == 0) return {};
    std::tm f{};
    f.tm_year = r.year - 1900;
    f.tm_mon = r.month - 1;
    f.tm_mday = r.day;
    f.tm_hour = r.hour;
    f.tm_min = r.minute;
    f.tm_sec = r.second;
    return TimeStamp::FieldsText(f, TimeStamp::OffsetOf(saved_at));
}

// What a stored alarm state means to a reader.
std::string StateText(const std::string& state) { return state == "closed" ? "closed at restart" : state; }

}  // namespace

long HistoryReport::PrintRounds(HistoryReader& store, const Options& options, std::ostream& out) {
    const int cells = std::clamp(options.cells, 1, BatteryRecord::kCells);
    long count = 0;
    if (options.csv) {
        out << "device_id,run_id,saved_at,saved_ms,record_time,data_id,group_voltage_volts,group_current_amperes,"
               "temperature_celsius";
        for (int i = 1; i <= cells; ++i) out << ",cell_" << i << "_volts";
        out << ",charge_state\n";
    }
    store.ForEachRow(options.device_id, [&](const history::Row& row) {
        ++count;
        const auto rec = BatteryRecord::Decode(row.record.data(), row.record.size(), row.no_value);
        if (options.csv) {
            out << row.device_id << "," << RunText(row.run_id) << "," << CsvField(row.saved_at) << "," << row.saved_ms
                << ",";
            if (rec) {
                out << RecordTime(*rec, row.saved_at) << "," << rec->data_id << "," << CsvNum(Kind::kString, rec->group_voltage) << ","
                    << CsvNum(Kind::kCurrent, rec->group_current) << "," << CsvNum(Kind::kTemperature, rec->temperature);
                for (int i = 0; i < cells; ++i) out << "," << CsvNum(Kind::kCell, rec->cells[i]);
            } else {
                out << ",,,,";
                for (int i = 0; i < cells; ++i) out << ",";
            }
            out << "," << row.charge_state << "\n";
            return;
        }
        out << "device " << row.device_id << "  saved " << row.saved_at;
        if (row.run_id) out << "  run " << *row.run_id;
        if (!rec) {
            out << "  (a record of " << row.record.size() << " bytes, not a battery record)\n";
            return;
        }
        const std::string round = RecordTime(*rec, row.saved_at);
        out << "  round " << (round.empty() ? "-" : round) << "  charge "
            << (row.charge_state.empty() ? "-" : row.charge_state) << "\n";
        out << "  string " << ValueText::WithUnit("group_voltage", rec->group_voltage) << "  current "
            << ValueText::WithUnit("group_current", rec->group_current) << "  temperature "
            << ValueText::WithUnit("temperature", rec->temperature) << "\n";
        for (int first = 0; first < cells; first += 10) {
            const int last = std::min(first + 10, cells);
            out << "  cells " << first + 1 << "-" << last << ":";
            for (int i = first; i < last; ++i) out << " " << Num(Kind::kCell, rec->cells[i]);
            out << "\n";
        }
    });
    out.flush();
    return count;
}

long HistoryReport::PrintAlarms(HistoryReader& store, const Options& options, std::ostream& out) {
    const auto alarms = store.Alarms(options.device_id);
    if (options.csv) out << "device_id,run_id,at,at_ms,name,label,state,bound,value,limit\n";
    for (const auto& a : alarms) {
        if (options.csv) {
            out << a.device_id << "," << RunText(a.run_id) << "," << CsvField(a.at) << "," << a.at_ms << ","
                << CsvField(a.name) << "," << CsvField(a.label) << "," << a.state << "," << a.bound << ","
                << ValueText::Of(a.name, a.value) << "," << ValueText::Of(a.name, a.limit) << "\n";
        } else {
            out << a.at << "  device " << a.device_id << "  " << a.label << " (" << a.name << ")  "
                << StateText(a.state) << "  " << a.bound << "  value " << ValueText::WithUnit(a.name, a.value) << "  limit "
                << ValueText::WithUnit(a.name, a.limit)
                << "\n";
        }
    }
    out.flush();
    return static_cast<long>(alarms.size());
}

long HistoryReport::PrintHealth(HistoryReader& store, const Options& options, std::ostream& out) {
    const auto changes = store.HealthChanges(options.device_id);
    if (options.csv) out << "device_id,run_id,at,at_ms,state,was,since,since_ms,cycles_lost,reason\n";
    for (const auto& h : changes) {
        if (options.csv) {
            out << h.device_id << "," << RunText(h.run_id) << "," << CsvField(h.at) << "," << h.at_ms << ","
                << CsvField(h.state) << "," << CsvField(h.was) << "," << CsvField(h.since) << "," << h.since_ms << ","
                << h.cycles_lost << "," << CsvField(h.reason) << "\n";
        } else {
            out << h.at << "  device " << h.device_id << "  " << h.state << " since " << h.since << "  (was " << h.was
                << ")";
            if (h.cycles_lost > 0) out << "  " << h.cycles_lost << (h.cycles_lost == 1 ? " cycle" : " cycles") << " lost";
            if (!h.reason.empty()) out << "  " << h.reason;
            out << "\n";
        }
    }
    out.flush();
    return static_cast<long>(changes.size());
}

long HistoryReport::PrintRuns(HistoryReader& store, const Options& options, std::ostream& out) {
    auto runs = store.Runs();
    KilledRuns::Mark(runs);
    if (options.csv)
        out << "run_id,started_at,ended_at,plugin_path,plugin_size,plugin_sha256,site_file,version,counted_to,test_note\n";
    for (const auto& r : runs) {
        // A run without an end is known up to its last written counts.
        const std::string counted_to =
            r.ended_at.empty() && r.counted_ms ? TimeStamp::FromMs(*r.counted_ms).Text() : std::string();
        if (options.csv) {
            out << r.id << "," << CsvField(r.started_at) << "," << CsvField(r.ended_at) << ","
                << CsvField(r.plugin_path) << "," << r.plugin_size << "," << r.plugin_sha256 << ","
                << CsvField(r.site_file) << "," << CsvField(r.version) << "," << CsvField(counted_to) << ","
                << CsvField(r.test_note) << "\n";
        } else {
            out << "run " << r.id << "  " << r.started_at << " to "
                << (!r.ended_at.empty() ? r.ended_at : r.killed ? "(killed: no end recorded, and a later run started)" : "(no end recorded: still running, or killed)")
                << (counted_to.empty() ? "" : "  counted to " + counted_to) << "\n"
                << "  plug-in " << TextEscape::Line(r.plugin_path) << "  " << r.plugin_size << " bytes  sha256 "
                << r.plugin_sha256 << "\n"
                << "  site " << TextEscape::Line(r.site_file) << "  bench-host " << TextEscape::Line(r.version) << "\n";
            if (!r.test_note.empty()) out << "  a capacity test: " << TextEscape::Line(r.test_note) << "\n";
        }
    }
    out.flush();
    return static_cast<long>(runs.size());
}
