#pragma once
// A lead-acid string as the monitor would see it: each block with its own
// capacity and internal resistance, an open-circuit voltage that follows
// its state of charge, a Peukert exponent and the temperature's effect on
// capacity (IEEE 450's correction factors: a block holds 1 / KT of its
// 25 °C charge); a charger that holds the string at its
// temperature-compensated float voltage, current-limited, so that after a
// discharge it recharges and then floats, whatever the temperature.  Ageing is per block: its capacity in % of the rating and
// its resistance as a factor.  Pure: time goes on only through Step(), so a
// test drives it at whatever pace it likes and knows the truth exactly.
#include <vector>

namespace monitor_sim {

struct BatteryParams {
    int blocks = 29;
    double capacity_ah = 100.0;     // rated, over capacity_hours
    double capacity_hours = 10.0;
    double peukert = 1.121;
    double resistance_ohms = 0.005;  // a healthy block
    double float_v = 13.5;           // per block at 25 °C
    double temp_coeff_v = -0.018;    // per °C per block
    double charge_limit_a = 10.0;    // the charger's current limit
    double float_a = 0.1;            // the least current the charger keeps flowing on float
    double temperature_c = 25.0;
    std::vector<double> capacity_pct;       // per block; empty or missing: 100
    std::vector<double> resistance_factor;  // per block; empty or missing: 1
    double start_soc = 1.0;
};

class BatteryModel {
public:
    explicit BatteryModel(BatteryParams p);

    // The open-circuit voltage of a 12 V block at this state of charge (0
    // to 1): 11.6 V empty to 12.8 V full along a line, falling away below
    // 10 % to 10.4 V when empty.
    static double Ocv(double soc);
    // The surface charge a block takes on as it fills, so that a charger
    // at float voltage tapers off: full × soc^8, where full is what a full
    // block holds above its open-circuit voltage (0.7 V at 25 °C on a
    // 13.5 V float).
    static double Surface(double soc, double full = 0.7);
    // IEEE 450's temperature correction factor KT (1 at 25 °C, above 1
    // when cold): a block at this temperature holds 1 / KT of its charge at
    // 25 °C.  Its rows in °F, interpolated; outside them (below 15.6 °C,
    // above 37.8 °C) the nearest row.
    static double Kt(double celsius);

    // dt_s seconds on: load_a drawn by the load (0: none; the charger is
    // off while a load draws, as when the mains fail), charger on or off.
    void Step(double dt_s, double load_a, bool charger);

    int Blocks() const { return static_cast<int>(soc_.size()); }
    double Current() const { return current_; }  // below 0: discharge
    double BlockVolts(int b) const;
    double Soc(int b) const { return soc_[b]; }
    double CapacityAh(int b) const;  // at the present temperature
    double ResistanceOhms(int b) const { return resistance_[b]; }
    double FloatTarget() const { return p_.float_v + p_.temp_coeff_v * (p_.temperature_c - 25.0); }
    double Temperature() const { return p_.temperature_c; }
    // The string's temperature from now on (a room warming or cooling):
    // its capacity and its charger's float target follow it; the charge
    // each block holds stays as it is.
    void SetTemperature(double celsius) { p_.temperature_c = celsius; }

private:
    // A full block's surface charge: it reaches the charger's float target
    // at the present temperature, so the charger tapers to float at any
    // temperature (a cold string's target is higher, a warm one's lower).
    double SurfaceFull() const;

    BatteryParams p_;
    std::vector<double> soc_, capacity_, resistance_;
    double current_ = 0.0;
    // On float the charger regulates the voltage: when the blocks' own
    // voltage is already at its target, they read the target, not more.
    double scale_ = 1.0;
};

}  // namespace monitor_sim
