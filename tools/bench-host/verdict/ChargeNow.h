#pragma once
// What the charge state and the time remaining say of a string, as plain
// data: held by the live snapshot, which must not see the battery data's
// reading (ChargeState, TimeRemaining and LiveCharge fill them).
#include <cstdint>
#include <optional>
#include <string>

namespace verdict {

enum class Charge { discharge, recharge, floating, rest };

// "discharge", "recharge", "float", "rest".
const char* ChargeName(Charge c);

struct Remaining {
    bool discharging = false;
    double minutes = 0;           // the lesser estimate
    double peukert_minutes = 0;
    std::optional<double> block_minutes;  // none while the weakest block is not falling
    int weakest_block = 0;        // 1-based
    double used_fraction = 0;     // of the string's charge, by Peukert
    // What the Peukert figure stands on, given whether or not the string
    // discharges: the capacity it took the string to hold and where that
    // came from ("test": a test's that reached its end with its conditions
    // met; "baseline": the newest baseline's; "rating": none known, 100 %),
    // and KT at the string's last temperature.
    double capacity_pct = 100, kt = 1;
    std::string capacity_from = "rating";
    std::string method;           // "peukert" or "weakest block": which one gave minutes
};

struct ChargeNow {
    Charge state = Charge::rest;
    int64_t since_ms = 0;  // the first round in this state
    Remaining remaining;   // discharging false but while it discharges
};

}  // namespace verdict
