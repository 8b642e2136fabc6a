// What a report judges a device by and where it came from: the battery
// data and limits a run stored with itself read back key for key, the
// choice between a site file given on purpose, the stored ones, a site file
// as it reads now and the defaults, and a device that never answered.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "report/SettingsChoice.h"
#include "report/StringVerdict.h"
#include "site/DeviceSettings.h"
#include "site/SiteConfig.h"

namespace {

using report::SettingsChoice;
using From = SettingsChoice::From;

// Every numeric key, one at a time, set off its default, and the keys
// that are not numbers: each reads back as it was stored.
TEST(DeviceSettings, EveryKeyReadsBackAsStored) {
    std::vector<BatteryData> cases;
    BatteryData defaults;
    for (std::size_t i = 0; i < BatteryData::Keys(defaults).size(); ++i) {
        BatteryData b;
        const auto k = BatteryData::Keys(b)[i];
        // Inside each key's range and the checks between keys.
        *k.field = *k.field == k.max ? k.min : std::min(k.max, *k.field + (k.max - *k.field) / 7.0);
        if (std::string(k.name) == "end_v") b.end_v = 10.25;
        if (std::string(k.name) == "float_v") b.float_v = 13.65;
        if (std::string(k.name) == "temp_comp_min_c") b.temp_comp_min_c = 0.5;
        if (std::string(k.name) == "rise_investigate_pct") b.rise_investigate_pct = 25;
        if (std::string(k.name) == "replace_pct") b.replace_pct = 85;
        cases.push_back(b);
    }
    BatteryData rated;
    rated.rated_minutes = 95.5;
    rated.rated_current_a = 21.25;
    rated.blocks = 24;
    rated.end_on = "string";
    rated.install_date = "2026-06-01";
    cases.push_back(rated);
    cases.push_back(BatteryData{});
    for (const auto& b : cases) {
        DeviceSettings s{b, {{"battery_*_value", {12.0f, 14.4f}}, {"group_current", {std::nullopt, 150.5f}}}};
        const std::string text = s.BatteryText();
        SCOPED_TRACE(text);
        const DeviceSettings back = DeviceSettings::FromText(text, s.LimitsText(), "run 1");
        EXPECT_EQ(back.BatteryText(), text);
        EXPECT_EQ(back.battery.rated_minutes, b.rated_minutes);
        EXPECT_EQ(back.battery.end_on, b.end_on);
        ASSERT_EQ(back.alarms.size(), 2u);
        EXPECT_EQ(back.alarms[0].first, "battery_*_value");
        EXPECT_EQ(back.alarms[0].second.low, std::optional<float>(12.0f));
        EXPECT_EQ(back.alarms[0].second.high, std::optional<float>(14.4f));
        EXPECT_EQ(back.alarms[1].second.low, std::nullopt);
        EXPECT_EQ(back.alarms[1].second.high, std::optional<float>(150.5f));
    }
    EXPECT_THROW(DeviceSettings::FromText("{\"float_v\":", "{}", "run 1"), SiteConfig::Error);
    EXPECT_THROW(DeviceSettings::FromText("{}", "[]", "run 1"), SiteConfig::Error);
}

// A site file with device 12, its string rated at `ah`.
SiteConfig Site(double ah) {
    return SiteConfig::Parse(R"({"ports":[{"path":"/dev/ttyUSB0","devices":[{"id":12,"addr":1,"battery":{"capacity_ah":)" +
                                 std::to_string(ah) + R"(},"alarms":{"group_voltage":{"low":300}}}]}]})",
                             "test");
}

history::RunSettings Stored(int64_t run, double ah) {
    DeviceSettings s = DeviceSettings::Of(Site(ah).ports[0].devices[0]);
    return {run, 12, s.BatteryText(), s.LimitsText()};
}

TEST(SettingsChoice, GivenOnPurposeThenStoredThenTheSiteFileAsItReadsNowThenTheDefaults) {
    std::vector<history::Run> runs(2);
    runs[0].id = 1;
    runs[0].site_file = "/old.json";
    runs[1].id = 2;
    runs[1].site_file = "/site.json";
    history::RunSettings damaged{2, 12, "{\"capacity_ah\":", "{}"};
    const struct Case {
        const char* what;
        std::vector<history::RunSettings> stored;
        std::map<std::string, double> files;  // the site files as they read now, by their rating
        std::optional<double> given;
        From from;
        std::optional<int64_t> run;
        double ah;
        std::string text;
    } cases[] = {
        {"stored: the file edited since changes nothing", {Stored(1, 50), Stored(2, 200)}, {{"/site.json", 7}}, {},
         From::kStored, 2, 200, "stored with run 2 (its site file /site.json as it read when the run began)"},
        {"stored: the file gone changes nothing", {Stored(2, 200)}, {}, {}, From::kStored, 2, 200, ""},
        {"a damaged row: the older run's", {Stored(1, 50), damaged}, {}, {}, From::kStored, 1, 50, ""},
        {"given on purpose wins", {Stored(2, 200)}, {}, 80.0, From::kGiven, {}, 80,
         "site file /given.json, given with --site"},
        {"runs from before: the newest site file that reads", {}, {{"/old.json", 60}}, {}, From::kSiteFile, 1, 60,
         "site file /old.json as it reads now (run 1 is from before runs stored what they judged by)"},
        {"nothing: the defaults", {}, {}, {}, From::kDefaults, {}, BatteryData().capacity_ah,
         "the defaults (no run stored them and no site file names this device)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto load = [&](const std::string& path) -> std::optional<SiteConfig> {
            const auto it = c.files.find(path);
            return it == c.files.end() ? std::nullopt : std::optional<SiteConfig>(Site(it->second));
        };
        const std::optional<SiteConfig> given = c.given ? std::optional<SiteConfig>(Site(*c.given)) : std::nullopt;
        const SettingsChoice s = SettingsChoice::For(12, runs, c.stored, given, "/given.json", load);
        EXPECT_EQ(s.from, c.from);
        EXPECT_EQ(s.run_id, c.run);
        EXPECT_DOUBLE_EQ(s.settings.battery.capacity_ah, c.ah);
        if (!c.text.empty()) {
            EXPECT_EQ(s.Text(), c.text);
        }
        EXPECT_EQ(s.settings.alarms.empty(), c.from == From::kDefaults);
        // Another device is named by none of them.
        EXPECT_NE(SettingsChoice::For(13, runs, c.stored, given, "/given.json", load).from, From::kGiven);
    }
}

TEST(StringVerdict, ADeviceThatNeverAnsweredIsNamedWithItsStateAndReason) {
    const auto change = [](const char* was, const char* state, const char* reason) {
        history::Health h;
        h.device_id = 13;
        h.was = was;
        h.state = state;
        h.since = "2026-12-08T10:00:01.000+00:00";
        h.reason = reason;
        return h;
    };
    const struct Case {
        const char* what;
        std::vector<history::Health> health;
        std::string finding;  // "" for none
    } cases[] = {
        {"silent from the start", {change("never answered", "not answering", "timeout")},
         "never answered: not answering since 2026-12-08T10:00:01.000+00:00 (timeout)"},
        {"its port lost next", {change("never answered", "not answering", "timeout"), change("not answering", "port lost", "")},
         "never answered: port lost since 2026-12-08T10:00:01.000+00:00"},
        {"it answered once", {change("never answered", "answering", ""), change("answering", "not answering", "timeout")}, ""},
        {"silent, but had answered before the period", {change("answering", "not answering", "checksum")}, ""},
        {"no health change at all", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto f = report::StringVerdict::NeverAnswered(c.health);
        EXPECT_EQ(f ? f->text : std::string(), c.finding);
        if (f) {
            EXPECT_EQ(f->severity, verdict::Finding::act);
        }
    }
}

}  // namespace
