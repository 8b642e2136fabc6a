#pragma once
// What the web page and /metrics show of a running site at one moment: per
// device its health, the values of its last completed round with the limits
// they are checked against, its counters; and the alarms raised and cleared
// lately.  Plain data, copied whole into the SnapshotHub after every round
// or health change, so the HTTP threads never touch the run's own state.
//
// Times are milliseconds since the Unix epoch (UTC).  now_ms is when the
// snapshot was taken: the page counts ages on from it, so values that stop
// coming grow visibly older instead of looking current.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/HistoryRows.h"
#include "record/DeviceHealth.h"
#include "verdict/CapacityNow.h"
#include "verdict/ChargeNow.h"

struct LiveSnapshot {
    // The run's own health model, so the page and /metrics name the states
    // exactly as the terminal and the JSON lines do.
    using Health = DeviceHealth::State;
    static constexpr Health kHealthStates[] = {Health::kNeverAnswered, Health::kAnswering, Health::kNotAnswering,
                                               Health::kPortLost, Health::kStale};

    // A value with the limits it is checked against (none when no limit is
    // configured) and whether an alarm on it stands.
    struct Value {
        float value = 0.0f;
        std::optional<float> low;
        std::optional<float> high;
        bool in_alarm = false;
    };

    struct Cell : Value {
        std::string label;  // the device's display label, e.g. 第6节电池
        bool float_alarm = false;  // a float alarm on the block stands
        // Off its temperature-compensated float voltage, in V, with the
        // last round; none unless that round was judged on float.
        std::optional<float> float_deviation;
        // Its resistance rise in % on the device's newest baseline; none
        // without a baseline or without a usable load step in the run.
        std::optional<float> resistance_rise_pct;
        std::string resistance_flag;  // "", "investigate" or "act", as the report flags it
        // Its float drift on that baseline in V (the mean over the run's
        // rounds judged on float, both sides compensated for temperature);
        // none without a baseline or before a round judged on float.  Past
        // the float band either side: "high" or "low".
        std::optional<float> float_drift;
        std::string float_drift_flag;
    };

    struct Device {
        uint32_t id = 0;
        std::string name;  // what the site calls the device; "" when it gives none
        std::string type;
        std::string port;
        int addr = 0;
        Health health = Health::kNeverAnswered;
        int64_t health_since_ms = 0;
        std::string last_reason;               // why the last cycle failed; "" when none has
        std::optional<int64_t> values_at_ms;   // the round the values come from; none before the first
        std::vector<Cell> cells;               // the model's cells, in bus order
        Value string_voltage;
        Value current;
        Value temperature;
        // The string's charge state and time remaining with the last round;
        // none before the first.
        std::optional<verdict::ChargeNow> charge;
        // The string's capacity: the run's newest test once over, else its
        // newest baseline's; none with neither.
        std::optional<verdict::CapacityNow> capacity;
        // A float alarm on the string's mean block stands; the float alarms
        // are held (off float, or settling on it again).
        bool string_float_alarm = false;
        bool float_alarms_held = false;
        // The date of the baseline the figures compare with; "" without one.
        std::string baseline_date;
        std::vector<std::pair<std::string, uint64_t>> failures;  // reason -> failed exchanges
        // Every counter only ever rises over a run.
        uint64_t cycles = 0;                   // cycles started
        uint64_t rounds = 0;                   // cycles that completed a round
        uint64_t cycles_abandoned = 0;         // started, then rejected, timed out or replaced
        uint64_t cycles_missed = 0;            // due and never started: the port lost, the tick not held
        uint64_t resends = 0;                  // requests sent again within a cycle
        uint64_t late_polls = 0;               // cycles started half a tick or more after they were due
        double poll_interval_seconds = 0.0;    // mean time between the starts of cycles; 0 (null) before the second
        uint64_t records_stored = 0;
        uint64_t records_not_stored = 0;
        uint64_t alarms_not_stored = 0;
    };

    // A serial port of the site, and its outages over the run.
    struct Port {
        std::string path;
        bool open = true;
        uint64_t outages = 0;
        double outage_seconds = 0.0;  // in all, an outage still going counted up to now_ms
    };

    struct Alarm {
        uint32_t device = 0;
        int64_t at_ms = 0;
        bool raised = true;  // false: cleared
        std::string name;
        std::string label;
        std::string bound;   // "low" or "high"
        float value = 0.0f;
        float limit = 0.0f;
    };

    int64_t now_ms = 0;
    // What runs: bench-host's version, the plug-in file's SHA-256, when
    // the run started (0 before it has).
    std::string version;
    std::string plugin_sha256;
    int64_t run_started_ms = 0;
    std::vector<Device> devices;
    std::vector<Port> ports;
    std::vector<Alarm> recent_alarms;  // oldest first
    // Writes the history did not store over the run, by kind
    // (history::StoreKind: record, alarm, health, counts).
    std::array<uint64_t, history::kStoreKinds> not_stored{};
    // Why the history file was given up while running ("" while stored to).
    std::string history_lost;
    // Steps of the wall clock against the monotonic one in this run: the
    // latest kClockSteps of them, and how many there were.  Times shown
    // around a step are the wall clock's; durations are not.
    struct ClockStep {
        int64_t at_ms = 0;    // the wall time after the step
        int64_t step_ms = 0;  // how far it moved; negative: back
    };
    static constexpr std::size_t kClockSteps = 8;
    std::vector<ClockStep> clock_steps;
    uint64_t clock_steps_total = 0;

    // The snapshot as one JSON object (the body of /api/live and of each
    // server-sent event); version is the hub's publication counter.
    std::string ToJson(uint64_t version) const;
};
