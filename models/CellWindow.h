#pragma once
// Plausible cell voltages.  A reading outside its window is not a cell
// voltage (an open sense lead, a slot without a cell) and is published as 0.
// Valid C++11; used by the plug-in and by the bench tools that display cells.

namespace cells {

// Bounds in volts, both included.
struct Window {
    float low;
    float high;
};

// 6 V blocks, whose monitors report millivolts.
constexpr Window kMillivoltWindow{4.5f, 7.5f};
// 12 V blocks, whose monitors report hundredths of a volt.
constexpr Window kCentivoltWindow{9.0f, 15.0f};

// Whether volts lies inside the window, bounds included.  Written as "not
// outside" so that a value which compares false both ways (NaN) stays as it
// was, as the plug-in has always kept it.
inline bool Plausible(const Window& window, float volts) {
    return !(volts < window.low || volts > window.high);
}

}  // namespace cells
