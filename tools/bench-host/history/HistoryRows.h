#pragma once
// The rows of a history file as the bench host writes and reads them (the
// tables are described in HistorySchema.h).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace history {

// What a write to the history holds, for counting what could not be stored:
// only rounds' records count as records not stored.  The run's own row
// counts with its counts.
enum class StoreKind { kRecord, kAlarm, kHealth, kCounts };
constexpr int kStoreKinds = 4;
// "record", "alarm", "health", "counts": the names in JSON and /metrics.
inline const char* StoreKindName(StoreKind kind) {
    static const char* const kNames[kStoreKinds] = {"record", "alarm", "health", "counts"};
    return kNames[static_cast<int>(kind)];
}

// One stored round: the device's record as its byte image.
struct Row {
    uint32_t device_id = 0;
    std::string saved_at;
    int64_t saved_ms = 0;
    std::optional<int64_t> run_id;
    std::vector<uint8_t> record;
    // The string's charge state judged with the round ("discharge",
    // "recharge", "float", "rest"); "" when none was stored with it.
    std::string charge_state;
    // The moment on the run's monotonic clock (only differences within one
    // run mean anything); none in rows from before it was kept.
    std::optional<int64_t> mono_ms{};
    // The values of the round that are no value (BatteryRecord::no_value):
    // the record's image holds 0 V or the last temperature for them.  0 in
    // rows from before it was kept.
    uint64_t no_value = 0;
};

struct Alarm {
    uint32_t device_id = 0;
    std::string at;
    int64_t at_ms = 0;
    std::string name;
    std::string label;
    std::string state;  // "raised", "cleared" or "closed"
    std::string bound;  // "low" or "high"
    double value = 0.0;
    double limit = 0.0;
    std::optional<int64_t> run_id;
    // Of an end: how long the alarm stood, on the run's monotonic clock;
    // none when the run did not see it raised, or kept no such time.
    std::optional<int64_t> lasted_ms{};
    // The moment of at on the run's monotonic clock (as Row::mono_ms); none
    // in rows that kept no such time.
    std::optional<int64_t> mono_ms{};
};

// A device's health changed: from one state to another (the names of
// DeviceHealth::StateName), the state having begun at since.
struct Health {
    uint32_t device_id = 0;
    std::string at;
    int64_t at_ms = 0;
    std::string state;
    std::string was;
    std::string since;
    int64_t since_ms = 0;
    long cycles_lost = 0;
    std::string reason;  // of the last failed exchange, "" when none
    std::optional<int64_t> run_id;
    // How long the state it ends lasted, on the run's monotonic clock; none
    // for a device's first change of a run, or in rows that kept no such time.
    std::optional<int64_t> lasted_ms{};
    // The moment of since on the run's monotonic clock (as Row::mono_ms);
    // none in rows that kept no such time.
    std::optional<int64_t> since_mono_ms{};
};

// One device's minute of the per-minute summary (HistorySummary.h).
struct Minute {
    uint32_t device_id = 0;
    int64_t minute_ms = 0, first_ms = 0;
    long rounds = 0, decoded = 0;
    double voltage_sum = 0, current_sum = 0, temperature_sum = 0;
    std::optional<double> current_min;  // none in minutes summarised before it was kept
    std::optional<int64_t> last_ms;     // its last round; none in minutes summarised before it was kept
    std::array<double, 32> cell_sum{}, cell_min{}, cell_max{};
};

// What one run did with one device, kept up to date while it runs (every
// few seconds) and written once more at its end.
struct RunDevice {
    int64_t run_id = 0;
    uint32_t device_id = 0;
    long cycles = 0;     // started
    long completed = 0;  // that completed a round
    long lost = 0;       // that did not complete, with those a lost port kept from running
    long resends = 0;
    // Cycles started half a tick or more after they were due; none when the
    // run that wrote the row did not count them.
    std::optional<int64_t> late_polls;
    int64_t updated_ms = 0;
};

// Something of a run that is neither a round nor a health change: the wall
// clock stepped (step_ms how far; at_ms the wall time after the step), or
// the run's standard output was lost, or a device's float alarms were held
// or resumed.
struct Note {
    int64_t run_id = 0;
    std::optional<uint32_t> device_id;  // of a note on one device
    std::string at;
    int64_t at_ms = 0;
    std::string kind;  // "clock step", "output lost", "float alarms held", "float alarms resumed"
    std::optional<int64_t> step_ms;  // of a clock step
    std::string text;
};

struct Run {
    int64_t id = 0;
    std::string started_at;
    std::string ended_at;  // "" while running, or when the run was killed
    std::string plugin_path;
    uint64_t plugin_size = 0;
    std::string plugin_sha256;
    std::string site_file;
    std::string version;
    // A run without an end that is not the newest: it was killed (a later
    // run has started on the file since).
    bool killed = false;
    // From its start to its end on the monotonic clock; none while running,
    // killed, or in rows that kept no such time.
    std::optional<int64_t> lasted_ms{};
    int64_t started_ms = 0;
    // When its counts were last written (every few seconds while it ran):
    // how far a killed run is known to have gone.  None before its first.
    std::optional<int64_t> counted_ms{};
    // The operator's note that the run is a capacity test; "" when not.
    std::string test_note{};
};

// What a run judged one device by, as JSON texts (HistorySchema.h,
// run_settings): its battery data with every key, and its alarm limits.
struct RunSettings {
    int64_t run_id = 0;
    uint32_t device_id = 0;
    std::string battery;
    std::string limits;
};

// The per-minute summary's extent (HistorySummary.h): every round from
// since_ms (none: from the first) to before through_ms is summarised; the
// rounds before pruned_before_ms may be gone (HistoryPruner), only their
// minutes left.
struct Summary {
    std::optional<int64_t> since_ms;
    int64_t through_ms = 0;
    std::optional<int64_t> pruned_before_ms;
    // Minutes before through_ms without rows until the writer has
    // summarised them again: their rounds are read one by one.
    std::vector<int64_t> reopened;  // in order
};

}  // namespace history
