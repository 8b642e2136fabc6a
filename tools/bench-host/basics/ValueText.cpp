#include "basics/ValueText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kMostDecimals = 3;

}  // namespace

ValueText::Kind ValueText::KindOf(std::string_view name) {
    if (name == "group_voltage") return Kind::kString;
    if (name == "group_current") return Kind::kCurrent;
    if (name == "temperature") return Kind::kTemperature;
    return Kind::kCell;
}

int ValueText::Decimals(Kind kind) { return kind == Kind::kCell ? 2 : 1; }

const char* ValueText::Unit(Kind kind) {
    switch (kind) {
        case Kind::kCurrent: return "A";
        case Kind::kTemperature: return "°C";
        case Kind::kCell:
        case Kind::kString: break;
    }
    return "V";
}

std::string ValueText::Fixed(double value, int decimals) {
    if (!std::isfinite(value)) return "null";
    // A value read as a float from a scaled integer is within a few parts
    // in a million of its decimal; one further from it carries a finer step.
    const double tolerance = std::max(std::fabs(value), 1.0) * 1e-5;
    int d = std::clamp(decimals, 0, kMostDecimals);
    for (; d < kMostDecimals; ++d) {
        const double step = std::pow(10.0, d);
        if (std::fabs(std::round(value * step) / step - value) <= tolerance) break;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", d, value);
    std::string text = buf;
    // -0.04 at one decimal is "-0.0": no sign on a zero.
    if (text.find_first_not_of("-0.") == std::string::npos && text[0] == '-') text.erase(0, 1);
    return text;
}

std::string ValueText::WithUnit(std::string_view name, double value) {
    if (std::isnan(value)) return kNoValue;
    const Kind kind = KindOf(name);
    return Of(kind, value) + " " + Unit(kind);
}
