#pragma once
// One device of the site and what the host knows of it: its configuration,
// the plug-in's device object, where it sits on its bus, its cycle counts
// and the record of its last completed round.
#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "AlarmEvaluator.h"
#include "BatteryRecord.h"
#include "DeviceHealth.h"
#include "FailureReason.h"
#include "HistoryRows.h"
#include "SiteConfig.h"

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
    int64_t counts_stored_minute = -1;  // when the counts last went to the history
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
    Clock::time_point cycle_started_at{};
    Clock::time_point request_sent_at{};   // the last request written
    Clock::time_point failed_request_at{};  // the first request of the open cycle that failed
    Clock::time_point next_poll{};

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
