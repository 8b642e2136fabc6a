#pragma once
// The figures of a string report, computed from stored rounds, alarms and
// health changes of one device: how the cells stand against the string at
// rest and under discharge, the discharges with their ampere-hours, how
// long each alarm stood and how well the string was watched.  Pure: it reads
// nothing itself, so every figure can be checked against rounds made up for
// the purpose.  Memory is bounded whatever the period: charts are merged
// into at most Settings::chart_points buckets, discharges are kept up to
// Settings::max_discharges (the rest counted), alarms up to max_alarms.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryRows.h"
#include "report/AlarmSpan.h"
#include "report/PeriodClock.h"
#include "report/Series.h"
#include "report/TimeSlots.h"

namespace report {

struct Settings {
    // Cells in use: the 29-cell string leaves the record's last three at 0.
    int cells = 29;
    // A round whose current is at or below -discharge_amps is under
    // discharge.  Float charge holds a string at a small positive current
    // and a current sensor's zero wanders by a fraction of an ampere; 1 A
    // of load is past both and still catches a small site's load.
    double discharge_amps = 1.0;
    // A discharge lasts at least this long: shorter runs of discharging
    // rounds are load steps or a generator's transfer, not a test.
    double discharge_min_s = 10.0;
    // No round for longer than this ends a discharge: the ampere-hours of a
    // pause with no readings are not guessed.
    double max_gap_s = 120.0;
    // A cell is flagged when its mean deviation from the string's mean
    // cell goes past these.  A balanced string of 12 V blocks on float
    // holds them within a few tens of millivolts, ten times the reading's
    // 10 mV step lies at 100 mV; under load the spread grows with the
    // blocks' resistance, so twice that.
    double flag_rest_mv = 100.0;
    double flag_discharge_mv = 200.0;
    // A round whose current is above recharge_amps is on the charger's
    // recharge, not at rest: float holds a string below 1 A (the battery
    // data's float_max_a), and under a charging current the cells spread
    // as they do under load, so they are judged apart, against
    // flag_recharge_mv.
    double recharge_amps = 1.0;
    double flag_recharge_mv = 200.0;
    std::size_t chart_points = 480;
    std::size_t max_discharges = 100;
    std::size_t max_alarms = 1000;
};

// One stored round as the report reads it.
struct Round {
    int64_t ms = 0;
    std::string at;
    bool decoded = false;  // the record could be read; the rest is 0 otherwise
    std::array<float, 32> cells{};
    float voltage = 0, current = 0, temperature = 0;
    std::optional<int64_t> run_id;
    // ms is on its run's monotonic clock (RoundTimeline), not the wall's:
    // no step of the wall clock is in a gap to it from a round of its run.
    bool monotonic = false;
    // The wall time it was stored at, where ms is not (a step of the wall
    // clock in its run moved the two apart): a gap to a round of another
    // run is the wall clock's.
    std::optional<int64_t> wall_ms{};
};

struct CellStats {
    int cell = 0;  // 1-based
    long n = 0;
    double min_v = 0, mean_v = 0, max_v = 0;
    double deviation_mv = 0;        // mean of (cell - the round's mean cell)
    double worst_deviation_mv = 0;  // the one furthest from 0, with its sign
    int64_t worst_ms = 0;
    int rank = 0;  // 1 = weakest (lowest mean deviation)
    bool flagged = false;
};

struct StateFigures {
    long rounds = 0;
    double mean_cell_v = 0;  // the string's mean cell over these rounds
    double threshold_mv = 0;
    std::vector<CellStats> cells;  // in cell order
};

// How a discharge ended: the current rose past the threshold; no rounds
// for longer than max_gap_s; the period ended while it went on.
enum class DischargeEnd { current, gap, period };
// "current", "gap", "period": as the JSON names them.
const char* DischargeEndName(DischargeEnd e);

// Where a round's cells are judged: at rest (float, or no current), on
// the charger's recharge, under discharge.
enum class RoundState { rest, recharge, discharge };

struct Discharge {
    int64_t start_ms = 0, end_ms = 0;
    std::string start_at, end_at;
    long rounds = 0;
    double ampere_hours = 0;
    double mean_current_a = 0, peak_current_a = 0;  // as read: negative
    double end_voltage_v = 0;
    std::vector<double> end_cells_v;
    int lowest_cell = 0;  // 1-based
    double lowest_v = 0;
    int64_t lowest_ms = 0;
    std::string lowest_at;
    DischargeEnd ended_by = DischargeEnd::period;
    Series cells_chart{0, 1};
};

struct Trouble {
    std::string state;  // "not answering", "port lost", "stale"
    int64_t since_ms = 0;
    std::string since;
    std::optional<int64_t> until_ms;  // none: still going on at the period's end
    std::string until;
    double duration_s = 0;
    long cycles_lost = 0;
    std::string reason;
};

struct Watch {
    // undecoded: rounds not read, their record unreadable or a value of
    // theirs marked invalid by the monitor (no figure takes a part round).
    long rounds = 0, undecoded = 0;
    int64_t first_ms = 0, last_ms = 0;
    std::string first_at, last_at;
    double longest_gap_s = 0;
    int64_t longest_gap_after_ms = 0;
    std::vector<Trouble> troubles;
    long silent_periods = 0, outages = 0, stale_periods = 0;
    double silent_s = 0, outage_s = 0, stale_s = 0;
    long cycles_lost = 0;  // as the health changes recorded them
    long rounds_from_summary = 0;  // of rounds, those read a minute at a time
    // The poll cycles of the runs in the period, whole runs, as each run
    // kept them; runs_not_recorded ran before the history kept them.
    long cycles_started = 0, cycles_completed = 0, cycles_failed = 0, resends = 0;
    long runs_counted = 0, runs_not_recorded = 0;
    // Late polls of the counted runs that kept them (runs_with_late_polls).
    long late_polls = 0, runs_with_late_polls = 0;
    bool health_recorded = false;
};

struct DeviceFigures {
    uint32_t id = 0;
    Watch watch;
    // At rest (float, or no current), on recharge, under discharge.
    StateFigures rest, recharge, discharge;
    std::vector<Discharge> discharges;
    long discharges_not_kept = 0;
    long load_step_rounds = 0;  // discharging rounds of events shorter than discharge_min_s
    std::vector<AlarmSpan> alarms;
    long alarms_not_kept = 0;
    // When the float alarms were held (the string off float) and resumed,
    // from the runs' notes; as many as alarms are kept, the rest counted.
    std::vector<history::Note> float_holds;
    long float_holds_not_kept = 0;
    // Limits seen in the stored alarms, per value name and bound.
    struct Limit {
        std::string name, bound;
        double value = 0;
        std::string source;  // "" from a stored alarm, else the site file it was read from
    };
    std::vector<Limit> limits;
    // Channels: string voltage, current, temperature.
    Series string_chart{3, 1};
    // One channel per cell: its deviation from the round's mean cell, mV.
    Series deviation_chart{0, 1};
};

// Figures of one device, fed its rounds in the order of time.
class StringFigures {
public:
    StringFigures(uint32_t device_id, const Settings& settings);
    void Add(const Round& round);
    // A minute of the summary that the caller found free of discharge and
    // of unread cells or records (whose rounds it reads one by one instead),
    // all at rest or all on recharge (OneState).
    // The mean deviations come out exact, as means of sums; the worst is
    // taken from the minute's lowest and highest cell against the minute's
    // mean cell, and gaps are seen only between minutes.
    void AddMinute(const history::Minute& minute);
    // A round's state by its current.
    RoundState StateOf(double current) const;
    // Whether a minute's rounds were all at rest or all on recharge, by its
    // lowest current and the most its highest can have been.
    bool OneState(const history::Minute& minute) const;
    // The wall clock jumped forward from from_ms to to_ms (a step the run
    // noted): a gap between rounds is counted without the part of it the
    // jump skipped.
    void ClockJumpedForward(int64_t from_ms, int64_t to_ms) { jumps_.push_back({from_ms, to_ms}); }
    // end_ms: the end of the period, for what still goes on then.
    const Watch& WatchSoFar() const { return out_.watch; }
    // period: for what began before it or still goes on at its end, and
    // the clocks its durations are measured by.
    DeviceFigures Finish(const std::vector<history::Alarm>& alarms, const std::vector<history::Health>& health,
                         const PeriodClock& period);

private:
    struct Acc {
        long n = 0;
        double sum_v = 0, sum_dev = 0, min_v = 0, max_v = 0, worst = 0;
        int64_t worst_ms = 0;
    };
    struct StateAcc {
        long rounds = 0;
        double mean_sum = 0;
        std::vector<Acc> cells;
    };
    void AddToState(StateAcc& s, const Round& r, double mean);
    // measured: both ends on one run's monotonic clock, which no step of
    // the wall clock moved.
    void Gap(int64_t from_ms, int64_t to_ms, bool measured = false);
    static void Merge(StateAcc& into, const StateAcc& from);
    void CloseDischarge(DischargeEnd why);
    StateFigures Rank(const StateAcc& s, double threshold) const;

    Settings settings_;
    DeviceFigures out_;
    StateAcc rest_, recharge_, discharge_;
    StateAcc pending_;  // the open discharge's rounds, until it proves long enough
    std::optional<Discharge> open_;
    double last_current_ = 0, current_sum_ = 0;
    std::vector<std::pair<int64_t, int64_t>> jumps_;
    // The run of the last round when its time was on the run's monotonic
    // clock; none after a minute of the summary or a round without one.
    std::optional<int64_t> last_monotonic_run_;
    // The wall time of the last round or minute added.
    int64_t last_wall_ms_ = 0;
};

// The watch's sums over its troubles.
void Tally(Watch& w);
// Health changes as troubles with their durations: within the period when
// its start was asked for, from there at the earliest.
std::vector<Trouble> Troubles(const std::vector<history::Health>& health, const PeriodClock& period);

}  // namespace report
