#pragma once
// One device of the site and what the host knows of it: its configuration,
// the plug-in's device object, where it sits on its bus, its cycle counts
// and the record of its last completed round.
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
#include "history/HistoryRows.h"
#include "site/SiteConfig.h"
#include "basics/TimeStamp.h"

class BusScheduler;
class HLXSPDevice;

struct BusDevice {
    using Clock = std::chrono::steady_clock;

    SiteConfig::Device conf;
    std::string port_path;
    HLXSPDevice* dev = nullptr;
    BusScheduler* bus = nullptr;  // the bus the device is polled on
    AlarmEvaluator alarms;

    long cycles = 0;      // cycles started (the device's own cycle start)
    long completed = 0;   // cycles that completed a round
    long abandoned = 0;   // rejected, timed out, or replaced by a new cycle
    long resends = 0;     // ticks that resent a pending request
    long missed = 0;      // cycles due while the port was lost, which could not run
    FailureCounts failures{};  // failed exchanges, per reason
    DeviceHealth health;

    // Cycles that did not complete, counting those the port's loss kept
    // from running; the share of them in all cycles due.
    long Lost() const { return cycles - completed + missed; }
    double LossPercent() const;
    // The counts as the history keeps them for a run.
    history::RunDevice Counts(int64_t at_ms) const;

    bool cycle_open = false;
    int resends_in_cycle = 0;
    std::optional<FailureReason> cycle_failure;  // the last failed exchange of the open cycle
    // A reply came during the open cycle that no request explains: its
    // values may answer other requests.
    bool cycle_out_of_step = false;
    Clock::time_point cycle_started_at{};
    Clock::time_point request_sent_at{};   // the last request written
    Clock::time_point failed_request_at{};  // the first request of the open cycle that failed
    Clock::time_point cycle_due_at{};  // when the tick that started it was due
    Clock::time_point next_poll{};

    // Polls against the tick: a cycle that starts half a tick or more after
    // it was due is late (probes of a device that does not answer are
    // spaced on purpose and not counted).
    long late_polls = 0;
    double tick_period = 0;  // seconds, the bus's
    // The mean time between the starts of cycles; 0 before the second.
    double PollIntervalSeconds() const;
    // The device started a cycle now: a fresh one, nothing of the last kept.
    void StartCycle(Clock::time_point now);
    Clock::time_point first_start{}, last_start{};
    long starts = 0;

    // What the device handed over at the end of its round, kept until the
    // bus shows that the round's replies answered its own requests: then
    // its thresholds are checked and its record stored, else it is dropped.
    struct Check {
        std::string name, label;
        float value = 0;
    };
    struct HeldRound {
        std::vector<Check> checks;
        std::vector<uint8_t> record;
        TimeStamp at;        // when it was handed over
        bool saved = false;  // the record was handed over
    };
    HeldRound round;

    std::optional<BatteryRecord> last;  // the record of the last completed round
    std::string last_round_at;          // local time of it, ISO 8601
    int cell_count = 0;                 // cells the device answers by name; 0 while unknown
    // Display labels by value name, as the plug-in last checked them.
    std::map<std::string, std::string> labels;

    // Asks the device, by value name, how many cells it has; leaves the
    // count unknown while the device answers no value at all.
    void LearnCells();
    // The cells to show: the device's own, or every slot of the record while
    // their number is unknown.
    int CellsShown() const { return cell_count > 0 ? cell_count : BatteryRecord::kCells; }
};
