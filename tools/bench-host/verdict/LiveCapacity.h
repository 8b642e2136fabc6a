#pragma once
// The string's capacity as a run's rounds complete: the tests in them, told
// apart by DischargeTests as the report tells them over a period, each
// given as soon as it is over; until one is, the capacity of the device's
// newest baseline, which the run reads once at its start.  A round costs
// the open test's Add alone.
#include <optional>
#include <string>

#include "basics/JsonLine.h"
#include "site/BatteryData.h"
#include "verdict/CapacityNow.h"
#include "verdict/ChargeNow.h"
#include "verdict/DischargeTests.h"
#include "verdict/Reading.h"

namespace verdict {

class LiveCapacity {
public:
    // A baseline's capacity and its date.
    struct Baseline {
        double pct = 0;
        int64_t at_ms = 0;
        std::string at;  // as the history wrote it; its first ten characters are the date
    };

    // marked_test: the run is marked as a capacity test.
    LiveCapacity(const BatteryData& spec, bool marked_test, std::optional<Baseline> baseline = std::nullopt)
        : spec_(spec), marked_(marked_test), baseline_(std::move(baseline)) {}

    // Rounds in the order of time, with the charge state each was found in;
    // the first sets the number of blocks.
    void Add(const Reading& r, Charge state);
    // This run's newest test once over, else the baseline's capacity; none
    // with neither.  run_ended: the rounds stopped here, so a test still
    // open counts as stopped (a lower bound, unless it reached its end).
    std::optional<CapacityNow> Now(bool run_ended = false) const;
    // What the string is known to hold, for its time remaining: this run's
    // newest test that reached its end with its conditions met, else the
    // baseline's capacity; none with neither.  A lower bound or a test
    // judged under unmet conditions says too little of it.
    std::optional<double> Known() const;
    // Where Known() has it from: "test", "baseline", or "rating" with none.
    const char* KnownFrom() const { return known_ ? "test" : baseline_ ? "baseline" : "rating"; }

    // The key every JSON output gives it: "capacity", an object with
    // "pct" (to 0.1 %), "source", "at", "at_ms", "lower_bound", "marked",
    // "decision", "baseline_pct" and "baseline_date" (null without a
    // baseline or without a test to set against it); null with none.
    static JsonLine& Keys(JsonLine& out, const std::optional<CapacityNow>& c);

private:
    CapacityNow Of(const CapacityResult& t) const;

    BatteryData spec_;
    bool marked_;
    std::optional<Baseline> baseline_;
    std::optional<DischargeTests> tests_;
    std::optional<CapacityResult> newest_;
    std::optional<double> known_;  // the newest test that holds, as Known() gives it
};

}  // namespace verdict
