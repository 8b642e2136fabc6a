#pragma once
// History and alarms of the bench host in one SQLite file:
//
//   runs(run_id INTEGER PRIMARY KEY, started_at TEXT, started_ms INTEGER,
//        ended_at TEXT, ended_ms INTEGER, plugin_path TEXT,
//        plugin_size INTEGER, plugin_sha256 TEXT, site_file TEXT,
//        bench_host_version TEXT)
//       one row per `bench-host run`; ended_at stays NULL when the run was
//       killed
//   history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER,
//           run_id INTEGER, charge_state TEXT, mono_ms INTEGER,
//           no_value INTEGER)
//       every record a device hands to SaveDeviceHistory, as its byte image,
//       with the run that stored it; mono_ms is the moment on the run's
//       monotonic clock (from an origin of the run's own: only differences
//       within one run mean anything), NULL in rows from before it was kept;
//       no_value the values of the round the monitor marked invalid
//       (BatteryRecord::no_value: bit k cell k, then the string voltage,
//       the current, the temperature), which the image, the plug-in's own
//       and loaded back into it at a restart, reads as 0 V or the last
//       temperature; NULL or 0: every value read
//   alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT,
//          bound TEXT, value REAL, limit_value REAL, at_ms INTEGER,
//          run_id INTEGER, mono_ms INTEGER)
//       state "raised", "cleared" or "closed" (left raised by a run that
//       ended without clearing it, closed when the next run started);
//       bound "low" or "high"; mono_ms is the moment of at on the run's
//       monotonic clock (the origin of history.mono_ms), NULL in rows from
//       before it was kept and in rows closing another run's alarm
//   health(device_id INTEGER, at TEXT, at_ms INTEGER, state TEXT, was TEXT,
//          since TEXT, since_ms INTEGER, cycles_lost INTEGER, reason TEXT,
//          run_id INTEGER, since_mono_ms INTEGER)
//       every change of a device's health ("answering", "not answering",
//       "port lost", "stale"), since when the new state began;
//       since_mono_ms is that moment on the run's monotonic clock, NULL in
//       rows from before it was kept
//   run_devices(run_id INTEGER, device_id INTEGER, cycles INTEGER,
//               completed INTEGER, lost INTEGER, resends INTEGER,
//               late_polls INTEGER, updated_ms INTEGER)
//       per run and device, the cycles started, completed and lost and the
//       resends and late polls, kept up to date while the run goes on;
//       late_polls is NULL in rows of runs that did not count them.  Runs
//       from before the table have no row: their counts are not recorded.
//   run_notes(run_id INTEGER, at TEXT, at_ms INTEGER, kind TEXT,
//             step_ms INTEGER, text TEXT)
//       what else befell a run: kind "clock step" (the wall clock moved by
//       step_ms against the monotonic clock; at_ms is after the step) or
//       "output lost" (its standard output was closed).  Made with the
//       first note; a file without it holds no notes.
//   run_settings(run_id INTEGER, device_id INTEGER, battery TEXT,
//                limits TEXT)
//       per run and device, what the run judged by, as JSON: the battery
//       data with every key (defaults included) and the alarm limits per
//       value name; a report reads them instead of a site file that may
//       have changed since.  Runs from before the table have no row.
//
// alarms, health and runs also have lasted_ms: what ended at the row (an
// alarm's clear or close, the state a health change ends, the run) lasted
// that long on the run's monotonic clock, whatever the wall clock did; NULL
// where it is not known.
//
// Times: *_at is ISO 8601 local time with milliseconds and the UTC offset
// (TimeStamp); *_ms the milliseconds since the Unix epoch, which is what
// orders rows and selects ranges (indexes on (device_id, saved_ms) and
// (device_id, at_ms)).  Files written before the offsets and the runs were
// kept are migrated when opened for writing: their times, which carry no
// offset, are taken as local time.
//
// history_minutes and history_minutes_through: the per-minute summary of
// the rounds (HistorySummary).  history_pruned: the rounds before it may be
// deleted, their minutes kept (HistoryPruner).
#include <cstdint>
#include <optional>
#include <string>

#include "history/HistoryRows.h"

class SqlConnection;

class HistorySchema {
public:
    // SQLite's own check of every page, without writing the file: its
    // first problem with the file, "" when it has none (or there is no
    // file yet).  Throws SqlError when the file cannot be opened at all, or
    // its log cannot be read for want of room.
    static std::string Damage(const std::string& path);

    // Creates the tables, or brings those of an older file up to date, in
    // one transaction.  Throws SqlError.
    static void CreateOrMigrate(SqlConnection& db);

    // How a reader selects each column of a file that may predate it (read
    // as it is, never migrated): the column, or an expression that stands
    // in for it; and which of the tables made later it has.  Every probe
    // of an older file's shape is made here, once, when a reader opens.
    struct Columns {
        std::string saved_ms = "saved_ms";
        std::string history_run = "run_id";
        std::string charge_state = "charge_state";
        std::string at_ms = "at_ms";
        std::string alarm_run = "run_id";
        // How long what ended at the row lasted, on the monotonic clock.
        std::string alarm_lasted = "lasted_ms";
        std::string health_lasted = "lasted_ms";
        std::string run_lasted = "lasted_ms";
        std::string test_note = "test_note";
        std::string note_device = "device_id";
        std::string minute_last = "last_ms";
        std::string mono_ms = "mono_ms";
        std::string alarm_mono = "mono_ms";
        std::string health_mono = "since_mono_ms";
        // The round's values without one (0 in older files: all read).
        std::string no_value = "no_value";
        bool alarms = true;
        bool runs = true;
        bool health = true;
        bool run_devices = true;
        bool notes = true;
        bool run_settings = true;
        // The per-minute summary, with the lowest current per minute that
        // a reader needs to trust a minute; false reads the rounds.
        bool summary = true;
    };
    // Throws SqlError when the file has no history table.
    static Columns ColumnsOf(SqlConnection& db);

    // The edge readers read the summary below; none when nothing is pruned
    // (a file from before pruning has no edge).  Never throws.
    static std::optional<int64_t> PrunedBefore(SqlConnection& db);
    // The per-minute summary's extent; none when the file has none.
    // Throws SqlError.
    static history::Summary SummaryExtent(SqlConnection& db);
};
