#pragma once
// What a run can say of its string's capacity now, as plain data: the
// time-adjusted capacity of this run's newest test once it is over, else
// the one the device's newest baseline recorded.  Held by the live
// snapshot, which must not see the battery data's reading (LiveCapacity
// fills it).
#include <cstdint>
#include <optional>
#include <string>

namespace verdict {

struct CapacityNow {
    double pct = 0;
    std::string source;  // "test" (this run's) or "baseline"
    // When it holds: a test's last round; a baseline's last round taken
    // (its date), in ms and as the history wrote it.
    int64_t at_ms = 0;
    std::string at;
    bool lower_bound = false;  // a test stopped before its end voltage
    bool marked = false;       // the run was marked as a capacity test
    // "replace", "test again within a year" or "", as a test's decision.
    std::string decision;
    // With a test, the baseline's capacity it follows, and that baseline's
    // date (YYYY-MM-DD); none without one.
    std::optional<double> baseline_pct;
    std::string baseline_date;
};

}  // namespace verdict
