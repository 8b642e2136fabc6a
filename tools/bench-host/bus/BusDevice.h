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

    bool cycle_open = false;
    int resends_in_cycle = 0;
    std::optional<FailureReason> cycle_failure;  // the last failed exchange of the open cycle
    // A reply came during the open cycle that no request explains: its
    // values may answer other requests.
    bool cycle_out_of_step = false;
    // One of its requests had two whole answers while nothing was owed: two
    // monitors may share the address.
    bool cycle_two_answers = false;
    Clock::time_point cycle_started_at{};
    Clock::time_point request_sent_at{};   // the last request written
    // The late reply to its last request, given up on but the only one its
    // monitor owed: handed to it as the answer at its next turn on the bus,
    // in the place of a resend.
    std::vector<uint8_t> late_answer;
    Clock::time_point failed_request_at{};  // the first request of the open cycle that failed
    Clock::time_point cycle_due_at{};  // when the tick that started it was due
    Clock::time_point next_poll{};

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
    // Probes since it was last ticked: each waits twice as long as the one
    // before, up to the probe interval.
    int backoff_steps = 0;
    // The tick whose failed cycle is run again, and the last tick that was:
    // once a tick.
    std::optional<Clock::time_point> rerun_of;
    std::optional<Clock::time_point> last_rerun;
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
        int64_t mono_ms = 0;  // the same on the run's monotonic clock (HostCalls' origin)
        bool saved = false;  // the record was handed over
    };
    HeldRound round;
    // A round completed in step, waiting while another answer to its last
    // request could still come; the bus meanwhile goes on, and the device
    // may start its next cycle.
    HeldRound pending_round;
    std::optional<Clock::time_point> pending_until;
    // The pending round was completed while the monitor still owed a reply:
    // it is not asked until then, and any reply from it drops the round.
    bool pending_owed = false;

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
