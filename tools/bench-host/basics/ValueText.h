#pragma once
// The one rule for printing a value of a round, in every output a person
// reads (run lines, the live view, history, CSV, JSON): fixed decimals, as
// many as the value's resolution on the bus (a cell 0.01 V, the string
// 0.1 V, the current 0.1 A, the temperature 0.1 °C), more only when the
// record's scale gives more (millivolt cells, a string in hundredths, the
// current sensor's 0.04 A), at most three.  So 1.5200019 prints 1.52,
// -19.999998 prints -20.0 and 44.899999999999999 prints 44.9: the float's
// residue never shows, and a resolution the record has is never cut.
#include <string>
#include <string_view>

class ValueText {
public:
    enum class Kind { kCell, kString, kCurrent, kTemperature };

    // Which kind a value name is: "group_voltage", "group_current",
    // "temperature", else a cell ("battery_5_value").
    static Kind KindOf(std::string_view name);
    // The decimals of the kind's resolution: 2 for a cell, else 1.
    static int Decimals(Kind kind);
    static const char* Unit(Kind kind);  // "V", "A", "°C"

    // value with at least decimals decimals, more when it carries them (up
    // to 3); "-0.0" never ("0.0"); not finite: "null".
    static std::string Fixed(double value, int decimals);
    static std::string Of(Kind kind, double value) { return Fixed(value, Decimals(kind)); }
    static std::string Of(std::string_view name, double value) { return Of(KindOf(name), value); }
    // With its unit: "11.20 V"; a value that is none (NaN: the monitor
    // marked the reading invalid) reads kNoValue, in words.
    static std::string WithUnit(std::string_view name, double value);
    static constexpr const char* kNoValue = "no value";
};
