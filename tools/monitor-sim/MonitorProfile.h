#pragma once
// What one simulated battery monitor reports, in volts, amperes and degrees.
// MonitorModel turns a profile into the raw 16-bit readings of the bus.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace monitor_sim {

struct MonitorProfile {
    // A cell that reads a fixed low voltage, for ever or until it recovers.
    struct WeakCell {
        enum class Recovery { kNever, kAfterReads, kAfterSeconds };

        std::optional<uint8_t> addr;  // only the monitor at this bus address; all when empty
        int index = 0;                // 0-based cell index
        double volts = 0.0;
        Recovery recovery = Recovery::kNever;
        double after = 0.0;  // cell-voltage replies or seconds, as recovery says
    };

    int cells = 29;             // cells in use; the slots after them read 0
    double cell_volts = 13.5;   // every healthy cell's nominal voltage
    double drift_volts = 0.02;  // how far a healthy cell wanders from nominal
    bool millivolts = false;    // cells in millivolts (6 V blocks), else hundredths of a volt
    std::vector<WeakCell> weak_cells;
    std::optional<double> string_volts;  // fixed; else the sum of the cells in use
    bool string_hundredths = false;      // string voltage in hundredths, else tenths
    double current_amps = 1.5;
    bool current_sensor = false;  // current encoded through the Hall-sensor formula
    double temperature_c = 25.0;

    // Raw units per volt of a cell reading.
    double CellScale() const { return millivolts ? 1000.0 : 100.0; }
    // Raw units per volt of the string voltage reading.
    double StringScale() const { return string_hundredths ? 100.0 : 10.0; }

    // Empty when every reading the profile can produce fits a 16-bit unsigned
    // raw value and the cell indices are in range; else what is wrong.
    std::string Problem() const;
};

// Parses "[ADDR/]INDEX:VOLTS[:AFTER]"; AFTER is a number of cell-voltage
// replies ("20") or of seconds ("30s").  Throws std::invalid_argument.
MonitorProfile::WeakCell ParseWeakCell(const std::string& text);

// Parses a bus address written in decimal or as 0x-prefixed hexadecimal,
// 0 to 255.  Throws std::invalid_argument.
uint8_t ParseBusAddress(const std::string& text);

}  // namespace monitor_sim
