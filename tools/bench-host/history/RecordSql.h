#pragma once
// record_value(record, what, cells, no_value): a value of a stored round
// read from its byte image, for SQL over the history.  Registered on each
// connection that needs it; NULL for an image that is not a record, and
// for a value the round's no_value mask (BatteryRecord::no_value: the
// monitor marked its reading invalid) holds, whose image reads 0 V or the
// last temperature.
//
//   what  kStringVoltage, kCurrent, kTemperature,
//         kCellMin / kCellMean / kCellMax over those of the first `cells`
//         cells that have a value (NULL when none has),
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
