#pragma once
// Float alarms as a run raises them, round by round.  Once the string has
// been on float for float_settle_s, each block farther than float_band_mv
// from its temperature-compensated float voltage raises a float alarm, high
// or low, and so does the string's mean block; back in band clears it.
//
// While the string discharges, recharges or rests, and while it settles on
// float again, the alarms are held: none is raised or cleared, and one that
// stands stays standing with the value it was last judged at.  A voltage
// read off float says nothing of the float voltage, so clearing would tell
// of a block back in band that nobody saw; the hold ends on float, after
// the settle time, with a fresh judgement.  Being held and resuming are
// each told once, with why and for how long.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/AlarmEvaluator.h"
#include "site/BatteryData.h"
#include "verdict/ChargeNow.h"
#include "verdict/Reading.h"

namespace verdict {

struct FloatHold {
    bool resumed = false;  // false: held from at_ms
    std::string why;       // held: the charge state that took the string off float
    int64_t at_ms = 0;
    int64_t held_ms = 0;   // resumed: how long they were held
    // "float alarms held: discharge", "float alarms resumed after 1250 s held"
    std::string Text() const;
    // The history's kind of note: "float alarms held", "float alarms resumed".
    const char* Kind() const { return resumed ? "float alarms resumed" : "float alarms held"; }
};

class FloatAlarms {
public:
    explicit FloatAlarms(const BatteryData& spec) : spec_(spec) {}

    // "battery_5_float" for block 6, named as the plug-in names its value
    // (battery_5_value), so one cell's alarms sort together; the string's
    // mean block's is kString.
    static std::string BlockName(int block);
    static constexpr const char* kString = "string_float";

    struct Step {
        std::vector<AlarmEvaluator::Change> changes;
        std::optional<FloatHold> hold;  // held or resumed with this round
    };
    // This round, with the charge state it was judged in; rounds come in
    // the order of time.
    Step Next(const Reading& r, const ChargeNow& charge);

    std::vector<AlarmEvaluator::Active> Standing() const { return alarms_.Standing(); }
    // Held now (after they were first judged): since when and why.
    const std::optional<FloatHold>& Held() const { return held_; }
    // Each block's distance from its temperature-compensated float voltage
    // in V (above it: positive) with the last round, if that round was
    // judged; empty otherwise, so an output never shows a deviation read
    // off float or before the string settled.  None for a block that read 0.
    const std::vector<std::optional<double>>& Deviation() const { return deviation_; }

private:
    BatteryData spec_;
    AlarmEvaluator alarms_;
    bool judged_ = false;  // judged at least once this run
    std::optional<FloatHold> held_;
    std::vector<std::optional<double>> deviation_;
};

}  // namespace verdict
