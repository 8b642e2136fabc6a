#pragma once
// record_value(record, what, cells): a value of a stored round read from
// its byte image, for SQL over the history.  Registered on each connection
// that needs it; NULL for an image that is not a record.
//
//   what  kStringVoltage, kCurrent, kTemperature,
//         kCellMin / kCellMean / kCellMax over the first `cells` cells,
//         kCell0 + i: cell i (0-based)
struct sqlite3;

class RecordSql {
public:
    enum What : int {
        kStringVoltage = 0,
        kCurrent,
        kTemperature,
        kCellMin,
        kCellMean,
        kCellMax,
        kCell0,
    };

    // Throws std::runtime_error when SQLite refuses it.
    static void Register(sqlite3* db);
};
