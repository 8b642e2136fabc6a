#pragma once
// A per-minute summary of the stored rounds, so a history page over days or
// weeks reads one row a minute instead of one a round (a week of one device
// at a round a second: 10,080 rows, not 604,800):
//
//   history_minutes(device_id, minute_ms, first_ms, rounds, decoded,
//                   voltage_sum, current_sum, temperature_sum,
//                   c1_sum, c1_min, c1_max, ..., c32_sum, c32_min, c32_max,
//                   current_min, last_ms)
//       one row per device and minute that has rounds; minute_ms the
//       minute's start, first_ms and last_ms its first and last round
//       (last_ms NULL in minutes summarised before it was kept), decoded
//       the rounds whose record could be read with every value (none the
//       monitor marked invalid): the sums, lowest and highest are over
//       those, so that each sum divided by decoded is a mean; current_min
//       the lowest current, NULL in minutes summarised before it was kept
//   history_minutes_through(through_ms)
//       every round before through_ms is summarised, but those of the
//       reopened minutes; it never moves back
//   history_minutes_reopened(minute_ms)
//       minutes before through_ms that rounds were written to again (the
//       wall clock was set back): their rows are deleted when the first
//       such round is written and made anew once the writer has left the
//       minute, so a reader reads their rounds meanwhile.  A minute with
//       rounds and no row is never taken for an empty one.  Made with the
//       first minute reopened.
//   history_minutes_since(since_ms)
//       only in a file that held rounds before it had a summary: the
//       summary begins at since_ms (a minute's start); readers read the
//       rounds before it from the history.  Backfill moves it back a few
//       minutes at a time and deletes it once no round is older.
//
// Per-cell sums, lowest and highest values let a reader derive the lowest,
// mean and highest cell over any number of the model's cells, and any one
// cell's mean.  The writer of the history calls Update as minutes end;
// readers summarise nothing themselves and read the rounds after
// through_ms from the history.
#include <cstdint>
#include <string>

struct sqlite3;

class HistorySummary {
public:
    static constexpr int64_t kMinuteMs = 60000;

    // Creates the tables if missing (with the history's write access).
    static void Create(sqlite3* db);
    // Adds what a summary made by an older version lacks.
    static void Migrate(sqlite3* db);
    // The same for a file with rounds already: the summary begins at the
    // minute after now_ms, so that making it costs nothing now.
    static void CreateFrom(sqlite3* db, int64_t now_ms);
    static int64_t MinuteOf(int64_t ms) { return (ms >= 0 ? ms : ms - kMinuteMs + 1) / kMinuteMs * kMinuteMs; }
    // Summarises the complete minutes before now_ms not yet summarised (the
    // last summarised minute again, in case rounds came after) and the
    // reopened minutes but now_ms's own; returns the new through_ms.
    static int64_t Update(sqlite3* db, int64_t now_ms);
    // A round is about to be written to minute_ms, before through_ms:
    // the minute's rows go and it is listed as reopened, in one
    // transaction.
    static void Reopen(sqlite3* db, int64_t minute_ms);
    static const char* const kCreateReopened;
    // Summarises up to max_minutes minutes just before since_ms (minutes
    // without rounds are skipped, not counted) and moves since_ms back over
    // them, in one transaction; deletes since_ms once no round is older.
    // Returns false when there was nothing left to summarise (and on a file
    // summarised from its first round).  Cost
    // grows with max_minutes (about 11 ms a minute of 8 devices), so a
    // running writer calls it often with a small budget.
    static bool Backfill(sqlite3* db, int max_minutes);
    // Whether the file has a summary (a reader's question; never throws).
    static bool Present(sqlite3* db);

    // A WITH clause listing the devices of the history as d(id), one seek
    // of the (device_id, saved_ms) index each, without reading the table;
    // the last row's id is NULL.
    static const char* const kDevices;

    // The column of cell i (1-based) and what: "sum", "min" or "max".
    static std::string CellColumn(int cell, const char* what);
};
