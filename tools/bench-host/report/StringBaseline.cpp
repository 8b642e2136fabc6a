#include "report/StringBaseline.h"

#include <cstdio>

#include "basics/TimeStamp.h"

namespace report {

history::Baseline StringBaseline::From(const StringVerdict& v, int64_t from_ms, int64_t to_ms,
                                       const std::string& taken_at, const std::string& set_at, int64_t set_ms) {
    history::Baseline b;
    b.device_id = v.id;
    b.set_at = set_at;
    b.set_ms = set_ms;
    b.from_ms = from_ms;
    b.to_ms = to_ms;
    b.taken_at = taken_at;
    const auto& f = v.figures;
    if (f.float_rounds > 0) {
        const double n = static_cast<double>(f.float_rounds);
        b.temperature_c = f.float_temperature_sum / n;
        b.string_v = f.float_string_sum_v / n;
    }
    b.float_v = f.FloatMeans();
    for (const auto& r : f.resistance) b.resistance_mohm.push_back(r.median_mohm);
    for (const auto& t : f.tests)
        if (!t.lower_bound) b.capacity_pct = t.capacity_pct;
    return b;
}

bool StringBaseline::HoldsAnything(const history::Baseline& b) {
    for (const auto* list : {&b.float_v, &b.resistance_mohm})
        for (const auto& x : *list)
            if (x) return true;
    return b.capacity_pct.has_value();
}

std::string StringBaseline::NothingKept(const StringVerdict& v) {
    std::string text = "no round judged on float";
    const double on_float = v.figures.seconds[static_cast<std::size_t>(verdict::Charge::floating)];
    if (v.figures.float_rounds == 0 && on_float > 0) {
        char why[200];
        std::snprintf(why, sizeof why,
                      " (on float %.0f s in all, and only a string on float for float_settle_s, %.0f s, is judged: "
                      "a longer period, or the battery data's \"float_settle_s\")",
                      on_float, v.spec.float_settle_s);
        text += why;
    }
    return text + ", no load step, no complete test in that period; no baseline kept";
}

std::string StringBaseline::Text(const history::Baseline& b) {
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "device %u: baseline of the rounds %s to %s, kept %s\n", b.device_id,
                  TimeStamp::FromMs(b.from_ms).Text().c_str(), TimeStamp::FromMs(b.to_ms).Text().c_str(),
                  b.set_at.c_str());
    out += line;
    auto num = [](const std::optional<double>& v, const char* format) {
        if (!v) return std::string("-");
        char buf[32];
        std::snprintf(buf, sizeof buf, format, *v);
        return std::string(buf);
    };
    out += "  on float: string " + num(b.string_v, "%.2f V") + ", temperature " + num(b.temperature_c, "%.1f °C") +
           "; capacity " + (b.capacity_pct ? num(b.capacity_pct, "%.1f %%") : std::string("- (no complete test)")) +
           "\n";
    out += "  block  float V  resistance mΩ\n";
    const std::size_t n = std::max(b.float_v.size(), b.resistance_mohm.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::string fv = i < b.float_v.size() ? num(b.float_v[i], "%.3f") : "-";
        const std::string r = i < b.resistance_mohm.size() ? num(b.resistance_mohm[i], "%.2f") : "-";
        std::snprintf(line, sizeof line, "  %5zu  %7s  %13s\n", i + 1, fv.c_str(), r.c_str());
        out += line;
    }
    return out;
}

}  // namespace report
