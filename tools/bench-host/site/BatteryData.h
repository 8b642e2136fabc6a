#pragma once
// What a device's string is made of and how it is meant to be kept: the
// "battery" object of a device in the site file.  Every key is optional;
// the defaults are those of a common 12 V VRLA block (README.md, "Battery
// data", gives each with its unit and where it comes from).  The figures of
// the string's verdict (verdict/) read nothing else.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <json/value.h>

class SiteFileReader;

struct BatteryData {
    // Blocks in the string; 0: as many as the device type has cells.
    int blocks = 0;
    double nominal_v = 12.0;
    // Float voltage per block at 25 °C and its temperature compensation,
    // V(T) = float_v + temp_coeff_mv / 1000 * (T - 25), with T held inside
    // [temp_comp_min_c, temp_comp_max_c].
    double float_v = 13.5;
    double temp_coeff_mv = -18.0;
    double temp_comp_min_c = 5.0;
    double temp_comp_max_c = 40.0;
    // A block on float farther than this from its target is out of band.
    double float_band_mv = 60.0;
    // Time on float before float voltages are judged (the string settles
    // after a recharge).
    double float_settle_s = 3600.0;
    // Rated capacity over a rated time; or rated minutes at a test current
    // (both or neither), which then give the rated time of a test directly.
    double capacity_ah = 100.0;
    double capacity_hours = 10.0;
    std::optional<double> rated_minutes;
    std::optional<double> rated_current_a;
    // A discharge ends at end_v per block: for the first block to reach it
    // ("block") or for the string's mean block ("string").
    double end_v = 10.5;
    std::string end_on = "block";
    double peukert = 1.121;
    std::string install_date;  // "" when not given

    // Charge state: at or below -discharge_a the string discharges; above
    // float_max_a it recharges; a voltage rising by rise_mv_per_min per
    // block or more while charging is a recharge too; within rest_a of 0
    // below the float band it rests.
    double discharge_a = 1.0;
    double float_max_a = 1.0;
    double rest_a = 0.2;
    double rise_mv_per_min = 5.0;

    // Resistance from load steps: a step of at least step_min_a between two
    // rounds no more than step_max_gap_s apart, with the current steady
    // (within step_settle_a) on either side.
    double step_min_a = 10.0;
    double step_settle_a = 1.0;
    double step_max_gap_s = 10.0;
    // A step whose resistance reading is uncertain by more than this share
    // (from the readings' resolution over its ΔI) is not taken.
    double step_max_uncertainty_pct = 10.0;
    double rise_investigate_pct = 20.0;
    double rise_act_pct = 50.0;

    // Capacity test results: below replace_pct replace, below retest_pct
    // test again within a year.
    double replace_pct = 80.0;
    double retest_pct = 90.0;

    // The blocks of a device type with `cells` cells.
    int Blocks(int cells) const { return blocks > 0 ? blocks : cells; }

    // Reads the object at `where`; throws SiteConfig::Error naming the key.
    static BatteryData Read(const Json::Value& v, const SiteFileReader& r, const std::string& where);
    // Every key with its value, defaults included, as Read reads it back:
    // what a run stores of the data it judged by.
    Json::Value ToJson() const;

    // The numeric keys with their ranges, over b's members: the one list
    // that Read and ToJson both go by, so neither can miss a key.
    struct Key {
        const char* name;
        double* field;
        double min, max;
    };
    static std::vector<Key> Keys(BatteryData& b);
    // Every key of the object, the numeric ones and the others.
    static std::set<std::string> KeyNames();
};
