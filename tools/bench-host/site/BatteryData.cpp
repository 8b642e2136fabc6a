#include "site/BatteryData.h"

#include <cstdio>

#include "site/SiteFileReader.h"

namespace {

// "2026-06-01": a date people write, checked for its shape and ranges.
bool IsDate(const std::string& s) {
    int y = 0, m = 0, d = 0;
    char tail = 0;
    return s.size() == 10 && std::sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 && s[4] == '-' &&
           s[7] == '-' && m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

}  // namespace

std::vector<BatteryData::Key> BatteryData::Keys(BatteryData& b) {
    return {
        {"nominal_v", &b.nominal_v, 1, 100},
        {"float_v", &b.float_v, 1, 100},
        {"temp_coeff_mv", &b.temp_coeff_mv, -100, 0},
        {"temp_comp_min_c", &b.temp_comp_min_c, -40, 80},
        {"temp_comp_max_c", &b.temp_comp_max_c, -40, 80},
        {"float_band_mv", &b.float_band_mv, 1, 5000},
        {"float_settle_s", &b.float_settle_s, 0, 30 * 86400},
        {"capacity_ah", &b.capacity_ah, 0.1, 100000},
        {"capacity_hours", &b.capacity_hours, 0.01, 1000},
        {"end_v", &b.end_v, 0.5, 100},
        {"peukert", &b.peukert, 1, 2},
        {"discharge_a", &b.discharge_a, 0.01, 10000},
        {"float_max_a", &b.float_max_a, 0.01, 10000},
        {"rest_a", &b.rest_a, 0, 10000},
        {"rise_mv_per_min", &b.rise_mv_per_min, 0.01, 10000},
        {"step_min_a", &b.step_min_a, 0.1, 10000},
        {"step_settle_a", &b.step_settle_a, 0, 10000},
        {"step_max_uncertainty_pct", &b.step_max_uncertainty_pct, 0.1, 1000},
        {"step_max_gap_s", &b.step_max_gap_s, 0.1, 3600},
        {"rise_investigate_pct", &b.rise_investigate_pct, 1, 1000},
        {"rise_act_pct", &b.rise_act_pct, 1, 1000},
        {"replace_pct", &b.replace_pct, 1, 100},
        {"retest_pct", &b.retest_pct, 1, 100},
    };
}

Json::Value BatteryData::ToJson() const {
    BatteryData copy = *this;
    Json::Value v(Json::objectValue);
    for (const auto& k : Keys(copy)) v[k.name] = *k.field;
    v["blocks"] = blocks;
    v["end_on"] = end_on;
    if (rated_minutes) v["rated_minutes"] = *rated_minutes;
    if (rated_current_a) v["rated_current_a"] = *rated_current_a;
    if (!install_date.empty()) v["install_date"] = install_date;
    return v;
}

std::set<std::string> BatteryData::KeyNames() {
    BatteryData b;
    std::set<std::string> names = {"blocks", "rated_minutes", "rated_current_a", "end_on", "install_date"};
    for (const auto& k : Keys(b)) names.insert(k.name);
    return names;
}

BatteryData BatteryData::Read(const Json::Value& v, const SiteFileReader& r, const std::string& where) {
    if (!v.isObject()) r.Fail(where, "must be an object");
    BatteryData b;
    const auto keys = Keys(b);
    r.OnlyKeys(v, where, KeyNames());
    for (const auto& k : keys)
        if (v.isMember(k.name)) *k.field = r.Number(v[k.name], where + "." + k.name, k.min, k.max);
    if (v.isMember("blocks")) b.blocks = static_cast<int>(r.Whole(v["blocks"], where + ".blocks", 32));
    if (v.isMember("rated_minutes")) b.rated_minutes = r.Number(v["rated_minutes"], where + ".rated_minutes", 1, 100000);
    if (v.isMember("rated_current_a"))
        b.rated_current_a = r.Number(v["rated_current_a"], where + ".rated_current_a", 0.01, 100000);
    if (b.rated_minutes.has_value() != b.rated_current_a.has_value())
        r.Fail(where, "\"rated_minutes\" and \"rated_current_a\" go together");
    if (v.isMember("end_on")) {
        b.end_on = r.String(v["end_on"], where + ".end_on");
        if (b.end_on != "block" && b.end_on != "string") r.Fail(where + ".end_on", "must be \"block\" or \"string\"");
    }
    if (v.isMember("install_date")) {
        b.install_date = r.String(v["install_date"], where + ".install_date");
        if (!IsDate(b.install_date)) r.Fail(where + ".install_date", "must be a date, YYYY-MM-DD");
    }
    if (b.temp_comp_min_c > b.temp_comp_max_c) r.Fail(where, "temp_comp_min_c is above temp_comp_max_c");
    if (b.end_v >= b.float_v) r.Fail(where, "end_v is not below float_v");
    if (b.rise_investigate_pct > b.rise_act_pct) r.Fail(where, "rise_investigate_pct is above rise_act_pct");
    if (b.replace_pct > b.retest_pct) r.Fail(where, "replace_pct is above retest_pct");
    return b;
}
