// Alarm limits and the site file: the decisions run mode is built on.
#include <gtest/gtest.h>

#include "record/AlarmEvaluator.h"
#include "site/SiteConfig.h"

namespace {

TEST(AlarmEvaluator, PatternsMatchEveryCellAndExactNamesWin) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"battery_*_value", "battery_0_value", true},   {"battery_*_value", "battery_28_value", true},
        {"battery_*_value", "group_voltage", false},    {"battery_*_value", "battery_0_valuex", false},
        {"*", "temperature", true},                     {"temp*", "temperature", true},
        {"*_value", "battery_3_value", true},           {"group_voltage", "group_voltage", true},
    };
    for (const auto& c : cases) EXPECT_EQ(AlarmEvaluator::Matches(c.pattern, c.name), c.match) << c.pattern << " " << c.name;

    AlarmEvaluator a;
    a.SetLimits("battery_*_value", {12.0f, 14.4f});
    a.SetLimits("battery_3_value", {10.0f, std::nullopt});
    ASSERT_NE(a.LimitsFor("battery_7_value"), nullptr);
    EXPECT_EQ(*a.LimitsFor("battery_7_value")->low, 12.0f);
    EXPECT_EQ(*a.LimitsFor("battery_3_value")->low, 10.0f);
    EXPECT_FALSE(a.LimitsFor("battery_3_value")->high);
    EXPECT_EQ(a.LimitsFor("temperature"), nullptr);
}

TEST(AlarmEvaluator, RaisesOnceClearsOnceAndCarriesTheLabel) {
    AlarmEvaluator a;
    a.SetLimits("battery_*_value", {12.0f, 14.4f});
    struct Step {
        float value;
        std::vector<std::string> changes;  // "raised low", "cleared high", ...
    } steps[] = {
        {13.5f, {}},
        {12.0f, {}},                             // on the limit is within
        {11.2f, {"raised low"}},
        {11.0f, {}},                             // still low: no new report
        {14.5f, {"cleared low", "raised high"}},
        {13.0f, {"cleared high"}},
        {13.0f, {}},
    };
    for (const auto& s : steps) {
        const auto changes = a.Evaluate("battery_5_value", "第6节电池", s.value);
        std::vector<std::string> got;
        for (const auto& c : changes) {
            got.push_back(std::string(c.raised ? "raised " : "cleared ") + c.bound);
            EXPECT_EQ(c.label, "第6节电池");
            EXPECT_EQ(c.value, s.value);
        }
        EXPECT_EQ(got, s.changes) << "value " << s.value;
    }
    EXPECT_TRUE(a.Standing().empty());
    EXPECT_TRUE(a.Evaluate("group_current", "电流", 1000.0f).empty());  // no limits, no alarm
}

TEST(SiteConfig, ReadsTheShippedExample) {
    const SiteConfig site = SiteConfig::Load(BENCH_HOST_EXAMPLE_SITE);
    ASSERT_EQ(site.ports.size(), 1u);
    ASSERT_EQ(site.ports[0].devices.size(), 1u);
    const auto& d = site.ports[0].devices[0];
    EXPECT_EQ(d.type, "upsbattery_29");
    EXPECT_TRUE(d.config.isObject());
    EXPECT_FALSE(d.alarms.empty());
}

std::string Battery(const std::string& battery) {
    return R"({"ports":[{"path":"/a","devices":[{"id":1,"addr":1,"battery":)" + battery + "}]}]}";
}

// Every key of the battery data is optional: none given reads the defaults
// README gives, each one given replaces its default alone.
TEST(SiteConfig, BatteryDataHasItsDefaults) {
    const BatteryData none = SiteConfig::Parse(Battery("{}"), "site.json").ports[0].devices[0].battery;
    EXPECT_EQ(none.Blocks(29), 29);
    EXPECT_DOUBLE_EQ(none.float_v, 13.5);
    EXPECT_DOUBLE_EQ(none.temp_coeff_mv, -18.0);
    EXPECT_DOUBLE_EQ(none.float_band_mv, 60.0);
    EXPECT_DOUBLE_EQ(none.end_v, 10.5);
    EXPECT_DOUBLE_EQ(none.peukert, 1.121);
    EXPECT_EQ(none.end_on, "block");
    EXPECT_FALSE(none.rated_minutes);
    const BatteryData some =
        SiteConfig::Parse(Battery(R"({"blocks":24,"float_v":13.62,"rated_minutes":180,"rated_current_a":25.5,)"
                                  R"("end_on":"string","install_date":"2026-06-01"})"),
                          "site.json")
            .ports[0]
            .devices[0]
            .battery;
    EXPECT_EQ(some.Blocks(29), 24);
    EXPECT_DOUBLE_EQ(some.float_v, 13.62);
    EXPECT_DOUBLE_EQ(*some.rated_minutes, 180.0);
    EXPECT_DOUBLE_EQ(*some.rated_current_a, 25.5);
    EXPECT_EQ(some.end_on, "string");
    EXPECT_EQ(some.install_date, "2026-06-01");
    EXPECT_DOUBLE_EQ(some.end_v, 10.5);
}

TEST(SiteConfig, RejectsWhatCannotRunWithTheReason) {
    const std::string dev = R"({"id":1,"addr":1})";
    struct Case {
        const char* what;
        std::string text;
        const char* message;
    } cases[] = {
        {"no ports", R"({"ports":[]})", "\"ports\""},
        {"port without path", R"({"ports":[{"devices":[)" + dev + "]}]}", "ports[0].path"},
        {"no devices", R"({"ports":[{"path":"/dev/ttyS0","devices":[]}]})", "ports[0].devices"},
        {"address too big", R"({"ports":[{"path":"/dev/ttyS0","devices":[{"id":1,"addr":300}]}]})", "addr"},
        {"id twice", R"({"ports":[{"path":"/a","devices":[)" + dev + R"(]},{"path":"/b","devices":[)" + dev + "]}]}",
         "named twice"},
        {"address twice on a bus", R"({"ports":[{"path":"/a","devices":[{"id":1,"addr":1},{"id":2,"addr":1}]}]})",
         "used twice"},
        {"typo in a key", R"({"tick_perod":1,"ports":[{"path":"/a","devices":[)" + dev + "]}]}", "unknown key"},
        {"alarm without limits", R"({"ports":[{"path":"/a","devices":[{"id":1,"addr":1,"alarms":{"x":{}}}]}]})",
         "needs \"low\" or \"high\""},
        {"low above high",
         R"({"ports":[{"path":"/a","devices":[{"id":1,"addr":1,"alarms":{"x":{"low":2,"high":1}}}]}]})", "low is above"},
        {"zero tick", R"({"tick_period":0,"ports":[{"path":"/a","devices":[)" + dev + "]}]}",
         "\"tick_period\": must be from 0.05 to 86400"},
        {"negative address", R"({"ports":[{"path":"/a","devices":[{"id":1,"addr":-1}]}]})",
         "addr: must be a whole number from 0 to 255"},
        {"identifier too big", R"({"ports":[{"path":"/a","devices":[{"id":4294967296,"addr":1}]}]})",
         "id: must be a whole number from 0 to 4294967295"},
        {"rounds kept for a fraction of a day", R"({"keep_rounds_days":1.5,"ports":[{"path":"/a","devices":[)" + dev +
                                                    "]}]}",
         "\"keep_rounds_days\": must be a whole number from 0 to 36500"},
        {"rounds kept for a century and more", R"({"keep_rounds_days":36501,"ports":[{"path":"/a","devices":[)" + dev +
                                                   "]}]}",
         "\"keep_rounds_days\": must be a whole number from 0 to 36500"},
        {"battery not an object", Battery("12"), "devices[0].battery: must be an object"},
        {"battery key misspelt", Battery(R"({"flaot_v":13.6})"), R"(unknown key "flaot_v" (did you mean "float_v"?))"},
        {"coefficient of the wrong sign", Battery(R"({"temp_coeff_mv":3})"), "battery.temp_coeff_mv: must be from -100 to 0"},
        {"rated minutes alone", Battery(R"({"rated_minutes":60})"), "\"rated_minutes\" and \"rated_current_a\" go together"},
        {"end on neither", Battery(R"({"end_on":"cell"})"), "battery.end_on: must be \"block\" or \"string\""},
        {"install date not a date", Battery(R"({"install_date":"01/06/2026"})"), "must be a date, YYYY-MM-DD"},
        {"end above float", Battery(R"({"end_v":13.8})"), "end_v is not below float_v"},
        {"act before investigate", Battery(R"({"rise_act_pct":10})"), "rise_investigate_pct is above rise_act_pct"},
        {"more blocks than cells", Battery(R"({"blocks":30})"), "battery.blocks: must be at most 29"},
        // A reason quotes the file's text on its one line, a control character as JSON writes it.
        {"line break in a key", R"({"ports":[{"path":"/a","dev\nices":[]}]})", R"(ports[0]: unknown key "dev\nices")"},
        {"terminal escape in a key", R"({"ports":[{"pa\u001b[2Jth":"/a"}]})", R"(unknown key "pa\u001b[2Jth")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            SiteConfig::Parse(c.text, "site.json");
            ADD_FAILURE() << "accepted";
        } catch (const SiteConfig::Error& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("site file site.json: ", 0), 0u) << what;
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
        }
    }
}

}  // namespace
