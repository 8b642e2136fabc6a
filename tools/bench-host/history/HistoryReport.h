#pragma once
// `bench-host history`: the stored rounds decoded, as text for reading or
// CSV for a spreadsheet, the stored alarms, and the runs that stored them.
// Everything in the order of time (milliseconds since the epoch), so rows
// written under different time zones interleave as they happened.
#include <cstdint>
#include <optional>
#include <ostream>

class HistoryReader;

class HistoryReport {
public:
    struct Options {
        std::optional<uint32_t> device_id;
        bool csv = false;
        // Cells shown per record: the 29-cell string leaves the record's
        // last three cells at 0.
        int cells = 29;
    };

    // Each returns the number of rows printed.
    static long PrintRounds(HistoryReader& store, const Options& options, std::ostream& out);
    static long PrintAlarms(HistoryReader& store, const Options& options, std::ostream& out);
    static long PrintRuns(HistoryReader& store, const Options& options, std::ostream& out);
    // Every change of a device's health: since when the new state held, the
    // cycles lost, the reason of the last failure.
    static long PrintHealth(HistoryReader& store, const Options& options, std::ostream& out);
};
