#pragma once
// One simulated battery monitor at one bus address: its cells drift a little
// from read to read, weak cells read low until they recover, and each
// command is answered with a reply frame built from the current readings.
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "BatteryModel.h"

#include "MonitorProfile.h"
#include "ReplyFrame.h"

namespace monitor_sim {

class MonitorModel {
public:
    struct Reply {
        uint8_t command = 0;
        std::vector<uint16_t> raw;  // the readings carried: 32 slots, or one value
        Frame frame;                // the bytes as the monitor sends them
    };

    // seed: the run's seed; each address draws its own stream from it, so a
    // monitor's readings do not depend on how many others share the bus.
    // twin: 0 for the first monitor at addr, n for the nth further one set
    // to the same address, which draws a stream of its own too.
    MonitorModel(uint8_t addr, MonitorProfile profile, uint32_t seed, int twin = 0);

    uint8_t Address() const { return addr_; }
    int Twin() const { return twin_; }

    // The reply to command, elapsed_s seconds into the run; nothing for a
    // command the monitor does not know.  A cell-voltage request takes a new
    // reading of every cell; the string voltage follows the latest one.
    std::optional<Reply> Answer(uint8_t command, double elapsed_s);

    // The raw readings, as the next replies would carry them.
    CellSlots ReadCells(double elapsed_s);
    uint16_t StringVoltageRaw() const;
    uint16_t CurrentRaw(double elapsed_s = 0.0) const;
    uint16_t TemperatureRaw(double elapsed_s = 0.0) const;

    // The modelled battery's truth at its present time, as the JSON of a
    // values-log line without its time and address ("" without a model):
    // "soc", "capacity_ah", "resistance_mohm" per block, "current_a",
    // "battery_s" (the model's seconds) and "test" (the capacity test's
    // state: "none", "running", "ended").
    std::string Truth() const;
    // The modelled battery itself, for a caller in this process that reads
    // its truth unrounded; nullptr without one.
    const BatteryModel* Battery() const { return battery_ ? &*battery_ : nullptr; }
    // The capacity test's state as Truth() names it: "none", "running" or
    // "ended" ("none" without a model).
    const char* TestState() const;
    // Takes the model to elapsed_s seconds into the run.
    void Advance(double elapsed_s);

    // Cell-voltage replies built so far.
    uint64_t CellReads() const { return cell_reads_; }

private:
    double CellVolts(int index, double elapsed_s) const;
    // The cell as the profile makes it, before the monitor's offset.
    double OwnCellVolts(int index, double elapsed_s) const;
    bool WeakNow(const MonitorProfile::WeakCell& w, double elapsed_s) const;

    uint8_t addr_;
    int twin_;
    MonitorProfile profile_;
    std::vector<MonitorProfile::WeakCell> weak_;  // those that apply to this address
    std::vector<double> sag_factor_;              // per cell: 1, or its higher resistance's factor
    std::mt19937 rng_;
    std::vector<double> offset_;  // each cell's drift from nominal, volts
    CellSlots last_cells_{};
    uint64_t cell_reads_ = 0;
    std::optional<BatteryModel> battery_;
    double battery_s_ = 0.0;
    bool test_ended_ = false;
    std::optional<double> end_seen_s_;  // run seconds when a block first reached the end voltage
};

}  // namespace monitor_sim
