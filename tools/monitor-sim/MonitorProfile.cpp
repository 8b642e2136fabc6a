#include "MonitorProfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

#include "protocol/MonitorProtocol.h"

namespace monitor_sim {

namespace {

constexpr double kRawMax = 65535.0;

// Whole-text numbers only: "12x" is an error here, unlike in the monitor's
// own configuration reader, because a typo on a bench command line should
// not silently become a different test.
double ParseReal(const std::string& text, const std::string& what) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())))
        throw std::invalid_argument(what + " is not a number: '" + text + "'");
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v))
        throw std::invalid_argument(what + " is not a number: " + text);
    return v;
}

long ParseInteger(const std::string& text, int base, const std::string& what) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())))
        throw std::invalid_argument(what + " is not an integer: '" + text + "'");
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0') throw std::invalid_argument(what + " is not an integer: " + text);
    return v;
}

bool FitsRaw(double volts, double scale) {
    const double raw = std::round(volts * scale);
    return raw >= 0.0 && raw <= kRawMax;
}

}  // namespace

std::string MonitorProfile::Problem() const {
    if (cells < 1 || cells > monitor::kCellSlots)
        return "the number of cells must lie in 1.." + std::to_string(monitor::kCellSlots);
    if (drift_volts < 0.0) return "the drift cannot be negative";
    // What the readings are checked at: a second monitor at one address
    // reads its offset apart.
    const double cell = cell_volts + offset.volts;
    const double amps_apart = offset.amps;
    if (!FitsRaw(cell - drift_volts, CellScale()) || !FitsRaw(cell + drift_volts, CellScale()))
        return "the cell voltage does not fit a 16-bit reading";
    for (const auto& w : weak_cells) {
        if (w.index < 0 || w.index >= cells)
            return "weak cell " + std::to_string(w.index) + " is not one of the " + std::to_string(cells) + " cells";
        if (!FitsRaw(w.volts + offset.volts, CellScale())) return "weak cell " + std::to_string(w.index) + ": voltage out of range";
    }
    double most_factor = 1.0;
    for (const auto& h : high_resistance) {
        if (h.index < 0 || h.index >= cells)
            return "high-resistance cell " + std::to_string(h.index) + " is not one of the " + std::to_string(cells) +
                   " cells";
        if (!(h.factor >= 1.0)) return "a high-resistance cell's factor must be 1 or more";
        most_factor = std::max(most_factor, h.factor);
    }
    if (discharge) {
        const Discharge& d = *discharge;
        if (!(d.amps > 0.0) || d.start_s < 0.0 || !(d.length_s > 0.0))
            return "a discharge wants a current above 0 A, a start at or after 0 s and a length above 0 s";
        if (d.sag_volts < 0.0 || d.resistance_ohms < 0.0) return "the discharge's sag and resistance cannot be negative";
        // Only the sensor's reading goes below 0 A.
        if (!current_sensor) return "a discharge needs --current-sensor: the plain current reading cannot go below 0 A";
        if (!FitsRaw((amps_apart - d.amps) / 50.0 + 2.0, 1250.0))
            return "the discharge current is more than the sensor reads (100 A)";
        const double lowest = cell - drift_volts - most_factor * (d.amps * d.resistance_ohms + d.sag_volts);
        if (!FitsRaw(lowest, CellScale())) return "the discharge sags a cell below 0 V";
    }
    if (battery && battery->test_amps > 0) {
        if (!current_sensor) return "a capacity test needs --current-sensor: the plain current reading cannot go below 0 A";
        if (!FitsRaw((amps_apart - battery->test_amps) / 50.0 + 2.0, 1250.0))
            return "the capacity test's current is more than the sensor reads (100 A)";
    }
    if (battery && battery->params.charge_limit_a + amps_apart > 100.0 && current_sensor)
        return "the charger's limit is more than the sensor reads (100 A)";
    const double string_apart = cells * offset.volts;
    const double most_string = string_volts ? *string_volts + string_apart : cells * (cell + drift_volts);
    if (!FitsRaw(most_string, StringScale()))
        return "the string voltage does not fit a 16-bit reading";
    if (current_sensor) {
        // Raw 2500 reads 0 A and every 25 raw units is one ampere either way.
        if (!FitsRaw((current_amps + amps_apart) / 50.0 + 2.0, 1250.0))
            return "the current is outside what the sensor can read";
    } else if (!FitsRaw(current_amps + amps_apart, 10.0)) {
        return "the current must lie in 0..6553.5 A (the reading is unsigned)";
    }
    if (!FitsRaw(temperature_c + offset.degrees, 100.0)) return "the temperature must lie in 0..655.35 degrees (the reading is unsigned)";
    if (temperature_ramp && !FitsRaw(temperature_ramp->to_c + offset.degrees, 100.0))
        return "the temperature ramp must end in 0..655.35 degrees (the reading is unsigned)";
    if (stuck_current) {
        const double a = stuck_current->amps + amps_apart;
        if (current_sensor ? !FitsRaw(a / 50.0 + 2.0, 1250.0) : !FitsRaw(a, 10.0))
            return current_sensor ? "the stuck current is outside what the sensor can read"
                                  : "the stuck current must lie in 0..6553.5 A (the reading is unsigned)";
    }
    return {};
}

std::string MonitorProfile::Battery::SiteBattery() const {
    // An hour on float settles a string; a recharge raises a block by 5 mV a
    // minute or more: both on the model's clock.
    constexpr double kSettleS = 3600.0;
    constexpr double kRiseMvPerMin = 5.0;
    char buf[320];
    std::snprintf(buf, sizeof buf,
                  "{\"capacity_ah\": %.6g, \"capacity_hours\": %.6g, \"peukert\": %.6g, \"float_v\": %.6g, "
                  "\"temp_coeff_mv\": %.6g, \"end_v\": %.6g, \"float_settle_s\": %.6g, \"rise_mv_per_min\": %.6g}",
                  params.capacity_ah / speed, params.capacity_hours / speed, params.peukert, params.float_v,
                  params.temp_coeff_v * 1000.0, end_v, kSettleS / speed, kRiseMvPerMin * speed);
    return buf;
}

MonitorProfile MonitorProfile::Twin(int nth, const Offset& step) const {
    MonitorProfile twin = *this;
    twin.offset.volts += nth * step.volts;
    twin.offset.amps += nth * step.amps;
    twin.offset.degrees += nth * step.degrees;
    return twin;
}

double MonitorProfile::TemperatureAt(double elapsed_s) const {
    if (!temperature_ramp || elapsed_s < temperature_ramp->start_s) return temperature_c;
    const TemperatureRamp& r = *temperature_ramp;
    if (elapsed_s >= r.start_s + r.length_s) return r.to_c;
    return temperature_c + (r.to_c - temperature_c) * (elapsed_s - r.start_s) / r.length_s;
}

double MonitorProfile::CurrentAt(double elapsed_s) const {
    return Discharging(elapsed_s) ? -discharge->amps : current_amps;
}

bool MonitorProfile::Discharging(double elapsed_s, double* frac) const {
    if (!discharge || elapsed_s < discharge->start_s || elapsed_s >= discharge->start_s + discharge->length_s)
        return false;
    if (frac != nullptr) *frac = (elapsed_s - discharge->start_s) / discharge->length_s;
    return true;
}

MonitorProfile::Discharge ParseDischarge(const std::string& text) {
    const auto a = text.find(':');
    const auto b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos || text.find(':', b + 1) != std::string::npos)
        throw std::invalid_argument("discharge wants AMPS:START:LENGTH, got " + text);
    MonitorProfile::Discharge d;
    d.amps = ParseReal(text.substr(0, a), "discharge current");
    d.start_s = ParseReal(text.substr(a + 1, b - a - 1), "discharge start");
    d.length_s = ParseReal(text.substr(b + 1), "discharge length");
    if (!(d.amps > 0.0) || d.start_s < 0.0 || !(d.length_s > 0.0))
        throw std::invalid_argument("discharge wants a current above 0, a start of 0 or more and a length above 0: " +
                                    text);
    return d;
}

MonitorProfile::TemperatureRamp ParseTemperatureRamp(const std::string& text) {
    const auto a = text.find(':');
    const auto b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos || text.find(':', b + 1) != std::string::npos)
        throw std::invalid_argument("temperature ramp wants TO:START:LENGTH, got " + text);
    MonitorProfile::TemperatureRamp r;
    r.to_c = ParseReal(text.substr(0, a), "temperature ramp's end");
    r.start_s = ParseReal(text.substr(a + 1, b - a - 1), "temperature ramp's start");
    r.length_s = ParseReal(text.substr(b + 1), "temperature ramp's length");
    if (r.start_s < 0.0 || r.length_s < 0.0)
        throw std::invalid_argument("temperature ramp wants a start and a length of 0 or more: " + text);
    return r;
}

MonitorProfile::StuckCurrent ParseStuckCurrent(const std::string& text) {
    const auto colon = text.find(':');
    MonitorProfile::StuckCurrent s;
    s.amps = ParseReal(text.substr(0, colon), "stuck current");
    if (colon != std::string::npos) {
        s.from_s = ParseReal(text.substr(colon + 1), "stuck current's start");
        if (s.from_s < 0.0) throw std::invalid_argument("stuck current's start cannot be negative: " + text);
    }
    return s;
}

MonitorProfile::Offset ParseOffset(const std::string& text) {
    MonitorProfile::Offset o;
    double* const parts[] = {&o.volts, &o.amps, &o.degrees};
    const char* const names[] = {"offset's volts", "offset's amperes", "offset's degrees"};
    std::size_t from = 0;
    for (std::size_t i = 0;; ++i) {
        if (i == std::size(parts)) throw std::invalid_argument("offset wants VOLTS[:AMPS[:DEGREES]], got " + text);
        const auto colon = text.find(':', from);
        *parts[i] = ParseReal(text.substr(from, colon == std::string::npos ? colon : colon - from), names[i]);
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    return o;
}

MonitorProfile::HighResistance ParseHighResistance(const std::string& text) {
    MonitorProfile::HighResistance h;
    std::string rest = text;
    const auto slash = rest.find('/');
    if (slash != std::string::npos) {
        h.addr = ParseBusAddress(rest.substr(0, slash));
        rest = rest.substr(slash + 1);
    }
    const auto colon = rest.find(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("high-resistance cell wants INDEX:FACTOR, got " + text);
    h.index = static_cast<int>(ParseInteger(rest.substr(0, colon), 10, "high-resistance cell index"));
    h.factor = ParseReal(rest.substr(colon + 1), "high-resistance factor");
    if (!(h.factor >= 1.0)) throw std::invalid_argument("high-resistance factor must be 1 or more: " + text);
    return h;
}

MonitorProfile::WeakCell ParseWeakCell(const std::string& text) {
    MonitorProfile::WeakCell cell;
    std::string rest = text;
    const auto slash = rest.find('/');
    if (slash != std::string::npos) {
        cell.addr = ParseBusAddress(rest.substr(0, slash));
        rest = rest.substr(slash + 1);
    }
    const auto colon = rest.find(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("weak cell wants INDEX:VOLTS[:AFTER], got " + text);
    cell.index = static_cast<int>(ParseInteger(rest.substr(0, colon), 10, "weak cell index"));
    rest = rest.substr(colon + 1);
    const auto colon2 = rest.find(':');
    cell.volts = ParseReal(rest.substr(0, colon2), "weak cell voltage");
    if (colon2 != std::string::npos) {
        std::string after = rest.substr(colon2 + 1);
        cell.recovery = MonitorProfile::WeakCell::Recovery::kAfterReads;
        if (!after.empty() && after.back() == 's') {
            cell.recovery = MonitorProfile::WeakCell::Recovery::kAfterSeconds;
            after.pop_back();
        }
        cell.after = ParseReal(after, "weak cell recovery");
        if (cell.after < 0.0) throw std::invalid_argument("weak cell recovery cannot be negative: " + text);
    }
    return cell;
}

uint8_t ParseBusAddress(const std::string& text) {
    // Decimal unless 0x-prefixed: a leading zero does not mean octal here.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const long v = ParseInteger(text, hex ? 16 : 10, "bus address");
    if (v < 0 || v > 0xFF) throw std::invalid_argument("bus address out of range 0..255: " + text);
    return static_cast<uint8_t>(v);
}

}  // namespace monitor_sim
