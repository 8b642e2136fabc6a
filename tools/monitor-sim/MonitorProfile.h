#pragma once
// What one simulated battery monitor reports, in volts, amperes and degrees.
// MonitorModel turns a profile into the raw 16-bit readings of the bus.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BatteryModel.h"

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

    // The string discharging into a load: from start_s for length_s seconds
    // the current is -amps and every cell sags, at once by its resistive
    // drop and then steadily as the charge goes out, so a report has an
    // event with a known start, end and ampere-hours.  Afterwards the
    // current returns to current_amps and the cells to float.
    struct Discharge {
        double amps = 0.0;              // drawn from the string, above 0
        double start_s = 0.0;           // seconds since start
        double length_s = 0.0;
        double sag_volts = 1.0;         // a healthy cell's fall over the whole event, beyond I x R
        double resistance_ohms = 0.005; // a healthy block's internal resistance
    };
    // A cell with a higher internal resistance: under discharge it sags
    // factor times as far as a healthy one (both its I x R drop and its
    // fall), the usual sign of a block at the end of its life.
    struct HighResistance {
        std::optional<uint8_t> addr;  // only the monitor at this bus address; all when empty
        int index = 0;                // 0-based cell index
        double factor = 1.0;
    };

    // The cells read from a modelled battery (BatteryModel) instead of
    // drifting around a nominal voltage: the current is the model's, the
    // discharge above is its load, the charger floats it otherwise.
    struct Battery {
        BatteryParams params;
        double speed = 1.0;  // the model's seconds per second of the run
        // A capacity test: a steady load of test_amps from test_start_s
        // (the run's seconds) until the first block reaches end_v.
        double test_amps = 0.0;
        double test_start_s = 0.0;
        double end_v = 10.5;
        // The load stays on this long (run seconds) after the end voltage,
        // as a test set takes its last readings, so a monitor polled at the
        // usual rate reads the end.
        double end_hold_s = 2.0;

        // The string as a site file's "battery" object must give it for a
        // master that keeps the run's time: at `speed` the rating's hours
        // and ampere-hours are both divided by it (Peukert's time at any
        // current is then divided by it), and so are the settling time on
        // float (an hour of the model's) and the rate of rise that tells a
        // recharge, per minute; float voltage, compensation, Peukert and
        // end voltage as the model has them.  One line of JSON.
        std::string SiteBattery() const;
    };

    // The temperature moving in a straight line from temperature_c to to_c
    // over length_s seconds from start_s (the run's), then holding: a room
    // that warms or cools during a test.  A modelled battery's capacity and
    // float target follow it.
    struct TemperatureRamp {
        double to_c = 25.0;
        double start_s = 0.0;
        double length_s = 0.0;  // 0: a step at start_s
    };
    // The current reading stuck at amps from from_s (the run's seconds) on,
    // whatever flows: a current sensor or its wiring failed.  Only the
    // reading: the cells and a modelled battery go on as the real current
    // drives them.
    struct StuckCurrent {
        double amps = 0.0;
        double from_s = 0.0;
    };

    // What a monitor reads above what the profile makes: the second monitor
    // set to an address already answered (a site fault) is another string's,
    // and reads apart from the first by this much.  Every cell, weak or
    // modelled, reads volts more (the string voltage follows, a fixed one by
    // cells x volts), the current amps more, the temperature degrees more.
    struct Offset {
        double volts = 0.0;
        double amps = 0.0;
        double degrees = 0.0;
    };

    int cells = 29;             // cells in use; the slots after them read 0
    double cell_volts = 13.5;   // every healthy cell's nominal voltage
    double drift_volts = 0.02;  // how far a healthy cell wanders from nominal
    bool millivolts = false;    // cells in millivolts (6 V blocks), else hundredths of a volt
    std::vector<WeakCell> weak_cells;
    std::optional<double> string_volts;  // fixed; else the sum of the cells in use
    bool string_hundredths = false;      // string voltage in hundredths, else tenths
    // A charger's float current: below the bench's default float_max_a
    // (1 A) and above its rest_a (0.2 A), so the example site reads the
    // string as floating, as the healthy string it models is.
    double current_amps = 0.5;
    bool current_sensor = false;  // current encoded through the Hall-sensor formula
    double temperature_c = 25.0;
    std::optional<Discharge> discharge;
    std::vector<HighResistance> high_resistance;
    std::optional<Battery> battery;
    std::optional<TemperatureRamp> temperature_ramp;
    std::optional<StuckCurrent> stuck_current;
    Offset offset;

    // The profile of the nth further monitor set to one address (1 for the
    // second): this one's, read apart by n steps.
    MonitorProfile Twin(int nth, const Offset& step) const;

    // The current at elapsed_s: -amps during the discharge, else current_amps.
    double CurrentAt(double elapsed_s) const;
    // The temperature at elapsed_s: temperature_c, or along its ramp.
    double TemperatureAt(double elapsed_s) const;
    // Whether the current reading is stuck at elapsed_s.
    bool CurrentStuck(double elapsed_s) const { return stuck_current && elapsed_s >= stuck_current->from_s; }
    // Whether elapsed_s lies in the discharge; frac is how far through it.
    bool Discharging(double elapsed_s, double* frac = nullptr) const;

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

// Parses "AMPS:START:LENGTH" (amperes, seconds, seconds).  Throws
// std::invalid_argument.
MonitorProfile::Discharge ParseDischarge(const std::string& text);

// Parses "TO:START:LENGTH" (degrees, seconds, seconds).  Throws
// std::invalid_argument.
MonitorProfile::TemperatureRamp ParseTemperatureRamp(const std::string& text);

// Parses "AMPS[:FROM]" (amperes, below 0 for a discharge; seconds).  Throws
// std::invalid_argument.
MonitorProfile::StuckCurrent ParseStuckCurrent(const std::string& text);

// Parses "VOLTS[:AMPS[:DEGREES]]" (missing parts 0).  Throws
// std::invalid_argument.
MonitorProfile::Offset ParseOffset(const std::string& text);

// Parses "[ADDR/]INDEX:FACTOR".  Throws std::invalid_argument.
MonitorProfile::HighResistance ParseHighResistance(const std::string& text);

// Parses a bus address written in decimal or as 0x-prefixed hexadecimal,
// 0 to 255.  Throws std::invalid_argument.
uint8_t ParseBusAddress(const std::string& text);

}  // namespace monitor_sim
