#pragma once
// A device's charge state and, while it discharges, its time remaining, as
// its rounds complete during a run: the figures the live outputs (JSON
// lines, the page, /metrics, the summary) show with each round.
#include <cstdint>
#include <optional>

#include "basics/JsonLine.h"
#include "record/BatteryRecord.h"
#include "site/BatteryData.h"
#include "verdict/ChargeState.h"
#include "verdict/TimeRemaining.h"

namespace verdict {

class LiveCharge {
public:
    explicit LiveCharge(const BatteryData& spec) : state_(spec), remaining_(spec) {}

    // A round's record as the verdict reads it: its first `blocks` cells.
    static Reading ReadingOf(const BatteryRecord& record, int blocks, int64_t ms);

    // The keys every JSON output gives them: "charge_state" (null before a
    // round), "time_remaining_s", "time_remaining_method" and
    // "time_remaining_basis" (null but while discharging), the last what
    // the figure stands on: {"capacity_pct" (to 0.1 %), "capacity_from",
    // "kt" (to 0.001)}.
    static JsonLine& Keys(JsonLine& out, const std::optional<ChargeNow>& c);

    // The string's capacity as known (LiveCapacity::Known; 100 % when
    // none) and where from (LiveCapacity::KnownFrom): the time remaining of
    // the rounds after it reads it.
    void Capacity(std::optional<double> pct, const char* from) {
        remaining_.Tested(pct.value_or(100.0), pct ? from : "rating");
    }
    ChargeNow Add(const Reading& r);
    // The figures of the last round added; none before the first.
    const std::optional<ChargeNow>& Last() const { return last_; }

private:
    ChargeState state_;
    TimeRemaining remaining_;
    std::optional<ChargeNow> last_;
};

}  // namespace verdict
