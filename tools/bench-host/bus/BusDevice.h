#pragma once
// One device of the site and what the host knows of it: its configuration,
// the plug-in's device object, where it sits on its bus, its cycle counts,
// its health and the record of its last completed round.  What the bus
// keeps of its cycle in progress is the bus's own (DeviceCycle).
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "record/AlarmEvaluator.h"
#include "record/BatteryRecord.h"
#include "record/DeviceHealth.h"
#include "record/FailureReason.h"
#include "record/InvalidReadings.h"
#include "history/HistoryRows.h"
#include "site/SiteConfig.h"
#include "basics/TimeStamp.h"
#include "verdict/FloatAlarms.h"
#include "verdict/LiveCapacity.h"
#include "verdict/FloatDrift.h"
#include "verdict/LiveCharge.h"
#include "verdict/LiveResistance.h"

class BusScheduler;
class HLXSPDevice;

struct BusDevice {
    using Clock = std::chrono::steady_clock;

    SiteConfig::Device conf;
    std::string port_path;
    HLXSPDevice* dev = nullptr;
    BusScheduler* bus = nullptr;  // the bus the device is polled on
    AlarmEvaluator alarms;
    // How its replies' fields land in its record (set when it joins its bus).
    InvalidReadings::Layout reply_layout;

    long cycles = 0;      // cycles started (the device's own cycle start)
    long completed = 0;   // cycles that completed a round
    long abandoned = 0;   // rejected, timed out, or replaced by a new cycle
    long resends = 0;     // ticks that resent a pending request
    long missed = 0;      // cycles due while the port was lost, which could not run
    long skipped = 0;     // ticks passed whole while the bus was busy, never polled
    FailureCounts failures{};  // failed exchanges, per reason
    DeviceHealth health;

    // Cycles that did not complete, counting those the port's loss kept
    // from running and the ticks skipped; the share of them in all cycles
    // due.
    long Lost() const { return cycles - completed + missed + skipped; }
    double LossPercent() const;
    // The counts as the history keeps them for a run.
    history::RunDevice Counts(int64_t at_ms) const;

    // Polls against the tick: a cycle that starts half a tick or more after
    // it was due is late (probes of a device that does not answer are
    // spaced on purpose and not counted).
    long late_polls = 0;
    double tick_period = 0;  // seconds, the bus's

    // What the latest exchanges say of the device: when it last gave a
    // reply it took, and which of its last kExchangesKept requests it
    // answered (a bit each, the newest lowest).
    static constexpr int kExchangesKept = 16;
    std::optional<Clock::time_point> last_answer;
    uint32_t answered_bits = 0;
    int exchanges_known = 0;
    void Exchanged(bool answered, Clock::time_point now);
    // How many of the exchanges kept it answered.
    int AnsweredOfKept() const;
    // When a late reply of this device last raised the bus's quiet guard,
    // and to what.
    struct GuardRaise {
        DeviceHealth::Moment at;
        std::chrono::milliseconds guard{0};
    };
    std::optional<GuardRaise> guard_raised;
    // The mean time between the starts of cycles; 0 before the second.
    double PollIntervalSeconds() const;
    // The device started a cycle now: counted, and timed for its poll
    // interval.
    void StartCycle(Clock::time_point now);
    Clock::time_point first_start{}, last_start{};
    long starts = 0;

    std::optional<BatteryRecord> last;  // the record of the last completed round
    std::string last_round_at;          // local time of it, ISO 8601
    int cell_count = 0;                 // cells the device answers by name; 0 while unknown
    // Its charge state and time remaining over the rounds completed; made
    // at the first, from the site's battery data.
    std::optional<verdict::LiveCharge> charge;
    // Its float alarms, judged with its charge state (made with it).
    std::optional<verdict::FloatAlarms> float_alarms;
    // Its blocks' resistance rise on its newest baseline, read from the
    // history once at the start (made at the first round without one).
    std::optional<verdict::LiveResistance> resistance;
    // Its string's capacity: the run's newest test once over, else its
    // newest baseline's (read with the resistances; made at the first
    // round without one).
    std::optional<verdict::LiveCapacity> capacity;
    // Its blocks' float drift on the same baseline, over the rounds its
    // float alarms judged; and the date that baseline was taken ("" none).
    std::optional<verdict::FloatDrift> float_drift;
    std::string baseline_date;
    // The alarms standing now: its limits' in name order, then its float
    // alarms'.
    std::vector<AlarmEvaluator::Active> StandingAlarms() const;
    // Display labels by value name, as the plug-in last checked them.
    std::map<std::string, std::string> labels;

    // Asks the device, by value name, how many cells it has; leaves the
    // count unknown while the device answers no value at all.
    void LearnCells();
    // The cells to show: the device's own, or every slot of the record while
    // their number is unknown.
    int CellsShown() const { return cell_count > 0 ? cell_count : BatteryRecord::kCells; }
};
