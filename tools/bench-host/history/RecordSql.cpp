#include "history/RecordSql.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <sqlite3.h>

#include "record/BatteryRecord.h"

namespace {

void RecordValue(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const auto* data = static_cast<const uint8_t*>(sqlite3_value_blob(argv[0]));
    const auto size = static_cast<std::size_t>(sqlite3_value_bytes(argv[0]));
    const auto no_value = static_cast<BatteryRecord::NoValueMask>(sqlite3_value_int64(argv[3]));
    const auto rec = BatteryRecord::Decode(data, size, no_value);
    if (!rec) return sqlite3_result_null(ctx);
    const int what = sqlite3_value_int(argv[1]);
    const int cells = std::clamp(sqlite3_value_int(argv[2]), 1, BatteryRecord::kCells);
    double v = 0.0;
    switch (what) {
        case RecordSql::kStringVoltage: v = rec->group_voltage; break;
        case RecordSql::kCurrent: v = rec->group_current; break;
        case RecordSql::kTemperature: v = rec->temperature; break;
        case RecordSql::kCellMin:
        case RecordSql::kCellMax:
        case RecordSql::kCellMean: {
            const BatteryRecord::CellSpan span = rec->CellsRead(cells);
            const int read = cells - span.without_value;
            if (read == 0) return sqlite3_result_null(ctx);
            if (what == RecordSql::kCellMin) {
                v = span.low;
            } else if (what == RecordSql::kCellMax) {
                v = span.high;
            } else {
                double sum = 0.0;
                for (int i = 0; i < cells; ++i) {
                    const float c = rec->cells[static_cast<std::size_t>(i)];
                    if (BatteryRecord::HasValue(c)) sum += c;
                }
                v = sum / read;
            }
            break;
        }
        default:
            if (what < RecordSql::kCell0 || what - RecordSql::kCell0 >= BatteryRecord::kCells) {
                return sqlite3_result_null(ctx);
            }
            v = rec->cells[static_cast<std::size_t>(what - RecordSql::kCell0)];
    }
    if (std::isnan(v)) return sqlite3_result_null(ctx);
    sqlite3_result_double(ctx, v);
}

}  // namespace

void RecordSql::Register(sqlite3* db) {
    if (sqlite3_create_function(db, "record_value", 4, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, RecordValue,
                                nullptr, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string("cannot register record_value: ") + sqlite3_errmsg(db));
    }
}
