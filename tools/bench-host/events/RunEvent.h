#pragma once
// What happens during `bench-host run`, as one stream of facts.  The parts
// of a run (setup, the bus loop, the host calls) publish these; the outputs
// (text, JSON lines, the live view) turn them into what the user sees.
// Nothing but an output writes to the terminal, so a further output is one
// more subscriber and needs no change to the loop.
//
// One kind per fact.  Devices are referred to by pointer: they live for the
// whole run, so an output may read their counts when an event arrives.
#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "record/AlarmEvaluator.h"
#include "record/BatteryRecord.h"
#include "record/DeviceHealth.h"
#include "record/FailureReason.h"
#include "history/HistoryRows.h"
#include "verdict/FloatAlarms.h"
#include "verdict/LiveCharge.h"

struct BusDevice;

namespace run {

using WallClock = std::chrono::system_clock;

// Setup is done: the plug-in is loaded, the devices made, the ports open.
struct RunStarted {
    std::vector<const BusDevice*> devices;
    std::string plugin_path;  // absolute: the file loaded
    uint64_t plugin_size = 0;
    std::string plugin_sha256;
    std::string site_file;
    std::string history_file;
    std::string version;      // of bench-host
    int64_t run_id = 0;       // in the history's runs table
    std::string web_page;     // the page's address with --http; "" without
    std::string test_note;    // the operator's: the run is a capacity test; "" when not
};

// Setup could not finish; the run ends with nothing polled.
struct SetupFailed {
    std::string why;
};

// Something in the site that runs, but not as the user may think.
struct SetupWarning {
    std::string text;
};

// A device restored from its newest stored round, or why not.
struct Restored {
    const BusDevice* device = nullptr;
    bool ok = false;
    std::string saved_at;  // of the stored round; "" when there was none to read
    std::string why;       // when the history could not be read
};

// Alarms an earlier run left raised (it was killed, or stopped with a value
// out of its limits), closed as this run starts.
struct AlarmsClosedAtStart {
    int count = 0;
};

// A completed cycle: the device handed its record to the history.
struct RoundCompleted {
    const BusDevice* device = nullptr;
    BatteryRecord record;
    std::string at;  // when it was stored, local time
    verdict::ChargeNow charge;  // the string's charge state with this round
};

// A device's float alarms held as its string left float, or resumed once
// it had settled on float again.
struct FloatAlarmsHeld {
    const BusDevice* device = nullptr;
    verdict::FloatHold hold;
};

struct AlarmRaised {
    const BusDevice* device = nullptr;
    AlarmEvaluator::Change change;
    std::string at;
};

struct AlarmCleared {
    const BusDevice* device = nullptr;
    AlarmEvaluator::Change change;
    std::string at;
};

// A device's health changed state (never once per failed cycle).
struct HealthChanged {
    const BusDevice* device = nullptr;
    DeviceHealth::Change change;
};

// One exchange of a cycle failed, and why; counted, never a line of its own.
struct ExchangeFailed {
    const BusDevice* device = nullptr;
    FailureReason reason = FailureReason::kTimeout;
};

// A host call into the device threw.
struct DeviceCallFailed {
    const BusDevice* device = nullptr;
    std::string op;  // "tick", "rx", "cache"
    std::string what;
};

// A console line the plug-in wrote.
struct PluginLine {
    std::string line;
};

struct PortLost {
    std::string port;
    std::string why;
    std::chrono::milliseconds retry_in{0};
};

struct PortReopened {
    std::string port;
    std::chrono::milliseconds outage{0};
};

// Bytes on a line: sent (>) or received (<), with a note on what became of
// them ("echo", "unasked, dropped", ...).
struct Trace {
    std::string port;
    bool sent = false;
    std::vector<uint8_t> bytes;
    std::string note;
    WallClock::time_point at;
};

// Writes of one kind (a round's record, an alarm, a health change, the
// run's counts) that could not be stored in the history: failed, refused by
// a full queue, or given up with a lost file.
struct StoreFailed {
    const BusDevice* device = nullptr;  // none: the run's own
    std::string what;                   // why the last of them was not stored
    long count = 0;                     // of this kind in this run so far, these included
    history::StoreKind kind = history::StoreKind::kRecord;
    long added = 1;                     // how many this event says
    bool First() const { return count == added; }
};

// The records the history has stored of a device in this run so far: the
// store thread writes a round's record after the round completed.
struct RecordsStored {
    const BusDevice* device = nullptr;
    long total = 0;
};

// The history file was found lost or damaged while the run wrote to it
// (deleted, replaced, cut short, overwritten, or damaged as SQLite sees
// it); nothing more is stored in this run, and the run fails.
struct HistoryLost {
    std::string why;
};

// The standard output went away (the reader of a pipe closed it): the run
// goes on polling and storing, and says so once on standard error.
struct OutputLost {
    std::string what;
};

// The wall clock stepped against the monotonic one by more than
// ClockWatch::kBoundMs: at is the wall time after the step, step how far it
// moved (negative: back).
struct ClockStepped {
    WallClock::time_point at;
    std::chrono::milliseconds step{0};
};

// A port's losses over the run.
struct PortSummary {
    std::string path;
    int outages = 0;
    std::chrono::milliseconds down{0};  // in all
};

// Polling has stopped; the devices' counts are final.
struct RunEnded {
    DeviceHealth::Moment at;  // when polling stopped: a silence going on ends here
    std::vector<const BusDevice*> devices;
    std::vector<PortSummary> ports;
    std::string history_file;
    long records_not_stored = 0;
    long alarms_not_stored = 0;
    long health_not_stored = 0;
    long counts_not_stored = 0;
    long summary_failures = 0;  // updates of the per-minute summary that failed
    std::string history_lost;  // why, when the file was lost while running
    std::vector<ClockStepped> clock_steps;  // in the order they came
};

}  // namespace run

using RunEvent = std::variant<run::RunStarted, run::SetupFailed, run::SetupWarning, run::Restored,
                              run::RoundCompleted, run::AlarmRaised, run::AlarmCleared, run::HealthChanged,
                              run::ExchangeFailed, run::DeviceCallFailed,
                              run::PluginLine, run::PortLost, run::PortReopened, run::Trace, run::StoreFailed,
                              run::RunEnded, run::AlarmsClosedAtStart, run::OutputLost, run::ClockStepped,
                              run::HistoryLost, run::RecordsStored, run::FloatAlarmsHeld>;

// Visitor from lambdas, for std::visit over a RunEvent.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
