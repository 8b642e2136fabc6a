#include "HistoryReport.h"

#include <algorithm>

#include "BatteryRecord.h"
#include "HistoryStore.h"
#include "JsonLine.h"

namespace {

std::string Num(float v) { return JsonLine::FormatFloat(v); }

// CSV fields are quoted only when they need it.
std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

long HistoryReport::PrintRounds(HistoryStore& store, const Options& options, std::ostream& out) {
    const int cells = std::clamp(options.cells, 1, BatteryRecord::kCells);
    long count = 0;
    if (options.csv) {
        out << "device_id,saved_at,record_time,data_id,group_voltage,group_current,temperature";
        for (int i = 1; i <= cells; ++i) out << ",cell_" << i;
        out << "\n";
    }
    store.ForEachRow(options.device_id, [&](const HistoryStore::Row& row) {
        ++count;
        const auto rec = BatteryRecord::Decode(row.record.data(), row.record.size());
        if (options.csv) {
            out << row.device_id << "," << CsvField(row.saved_at) << ",";
            if (rec) {
                out << rec->TimeText() << "," << rec->data_id << "," << Num(rec->group_voltage) << ","
                    << Num(rec->group_current) << "," << Num(rec->temperature);
                for (int i = 0; i < cells; ++i) out << "," << Num(rec->cells[i]);
            } else {
                out << ",,,,";
                for (int i = 0; i < cells; ++i) out << ",";
            }
            out << "\n";
            return;
        }
        out << "device " << row.device_id << "  saved " << row.saved_at;
        if (!rec) {
            out << "  (a record of " << row.record.size() << " bytes, not a battery record)\n";
            return;
        }
        out << "  round " << (rec->TimeText().empty() ? "-" : rec->TimeText()) << "\n";
        out << "  string " << Num(rec->group_voltage) << " V  current " << Num(rec->group_current)
            << " A  temperature " << Num(rec->temperature) << " °C\n";
        for (int first = 0; first < cells; first += 10) {
            const int last = std::min(first + 10, cells);
            out << "  cells " << first + 1 << "-" << last << ":";
            for (int i = first; i < last; ++i) out << " " << Num(rec->cells[i]);
            out << "\n";
        }
    });
    out.flush();
    return count;
}

long HistoryReport::PrintAlarms(HistoryStore& store, const Options& options, std::ostream& out) {
    const auto alarms = store.Alarms(options.device_id);
    if (options.csv) out << "device_id,at,name,label,state,bound,value,limit\n";
    for (const auto& a : alarms) {
        if (options.csv) {
            out << a.device_id << "," << CsvField(a.at) << "," << CsvField(a.name) << "," << CsvField(a.label) << ","
                << a.state << "," << a.bound << "," << JsonLine::FormatFloat(static_cast<float>(a.value)) << ","
                << JsonLine::FormatFloat(static_cast<float>(a.limit)) << "\n";
        } else {
            out << a.at << "  device " << a.device_id << "  " << a.label << " (" << a.name << ")  " << a.state << "  "
                << a.bound << "  value " << JsonLine::FormatFloat(static_cast<float>(a.value)) << "  limit "
                << JsonLine::FormatFloat(static_cast<float>(a.limit)) << "\n";
        }
    }
    out.flush();
    return static_cast<long>(alarms.size());
}
