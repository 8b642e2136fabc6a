// What a site file is checked against before a run: the value names a
// device answers, what the plug-in will read from its configuration, limits
// written as people write them, and errors that name their place.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "site/DeviceConfigCheck.h"
#include "site/ReplyLayout.h"
#include "site/SiteConfig.h"
#include "site/ValueNames.h"

namespace {

Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    std::string errs;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << text;
    return v;
}

std::string Site(const std::string& device) {
    return R"({"ports":[{"path":"/dev/ttyS0","devices":[)" + device + "]}]}";
}

TEST(ValueNames, CellsOfTheTypeAndTheCellsTheCheckCovers) {
    struct Case {
        const char* type;
        const char* config;
        const char* name;
        bool answers;
        bool checked;
    } cases[] = {
        {"upsbattery_29", "{}", "battery_0_value", true, true},
        {"upsbattery_29", "{}", "battery_28_value", true, true},
        {"upsbattery_29", "{}", "battery_29_value", false, false},
        {"upsbattery_29", "{}", "temperature", true, true},
        {"upsbattery_29", "{}", "tempreature", false, false},
        {"upsbattery_29", "{}", "battery_07_value", false, false},  // the check names cells without zeros
        // The check covers the listed cells only: group 2 of 3 cells, then
        // the "active_batteries" as the plug-in reads them.
        {"upsbattery_29", R"({"appSetting":{"group_index":2,"amount":3}})", "battery_2_value", true, true},
        {"upsbattery_29", R"({"appSetting":{"group_index":2,"amount":3}})", "battery_3_value", true, false},
        {"upsbattery_29", R"({"appSetting":{"active_batteries":["12",40]}})", "battery_12_value", true, true},
        {"upsbattery_29", R"({"appSetting":{"active_batteries":[12]}})", "battery_0_value", true, false},
        {"upsbattery_29", R"({"appSetting":{"active_batteries":[12]}})", "group_voltage", true, true},
        {"upsbattery_29", R"({"appSetting":{"group_index":3,"amount":3}})", "battery_20_value", true, true},
        // An amount beyond the cells, or a text the plug-in reads as 0.
        {"upsbattery_29", R"({"appSetting":{"group_index":1,"amount":1000}})", "battery_28_value", true, true},
        {"upsbattery_29", R"({"appSetting":{"group_index":1,"amount":"x"}})", "battery_0_value", true, true},
        {"upsbattery_29", R"({"appSetting":{"group_index":1,"amount":-4,"active_batteries":[3]}})", "battery_0_value",
         true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.config + " " + c.name);
        const auto names = ValueNames::For(c.type, ParseJson(c.config));
        ASSERT_TRUE(names);
        EXPECT_EQ(names->Answers(c.name), c.answers);
        EXPECT_EQ(names->Checked(c.name), c.checked);
    }
    // Only the types the plug-in makes: the 32-cell string is the base of
    // the 29-cell one, not a device type of its own.
    for (const char* other : {"ups_other", "battery_32", ""})
        EXPECT_FALSE(ValueNames::For(other, Json::Value(Json::objectValue))) << other;
    EXPECT_EQ(ValueNames::For("upsbattery_29", {})->All().size(), 3u + 29u);
}

// How the replies' fields land in the record, read as the plug-in reads
// "appSetting": the reversed cell order, and whether the reply's current
// reading is the device's current at all.
TEST(ReplyLayout, ReadAsThePluginReadsTheSettings) {
    struct Case {
        const char* config;
        bool reversed;
        bool current_from_reply;
    } cases[] = {
        {"{}", false, true},
        {R"({"appSetting":{"dir":1}})", true, true},
        {R"({"appSetting":{"dir":"-3"}})", true, true},
        {R"({"appSetting":{"dir":"0"}})", false, true},
        {R"({"appSetting":{"dir":"x"}})", false, true},
        {R"({"appSetting":{"r_data_id":1203,"r_current_field":"group_current"}})", false, false},
        {R"({"appSetting":{"r_data_id":"1203","r_current_field":"group_current","current_ratio":1}})", false, true},
        {R"({"appSetting":{"r_data_id":1203,"r_current_field":"group_current","current_ratio":0.5}})", false, false},
        {R"({"appSetting":{"r_data_id":1203,"r_current_field":""}})", false, true},
        {R"({"appSetting":{"r_data_id":0,"r_current_field":"group_current"}})", false, true},
        {R"({"appSetting":[1]})", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        SiteConfig::Device d;
        d.config = ParseJson(c.config);
        const auto layout = ReplyLayout::Of(d);
        EXPECT_EQ(layout.cells, 29);
        EXPECT_EQ(layout.reversed, c.reversed);
        EXPECT_EQ(layout.current_from_reply, c.current_from_reply);
    }
}

TEST(DeviceConfigCheck, SaysWhatThePluginWillRead) {
    struct Case {
        const char* config;
        std::vector<std::string> warnings;
    } cases[] = {
        {R"({"appSetting":{"battery_type":6,"version":"2","group_b":"0.3","save_interval":480,"r_current_field":12}})",
         {}},
        {R"({"appSetting":{"battery_type":"abc"}})",
         {R"(c.appSetting.battery_type: "abc" is not a number; the plug-in reads it as 0)"}},
        {R"({"appSetting":{"version":"2abc","dir":true}})",
         {R"(c.appSetting.version: "2abc" is not a number; the plug-in reads it as 2)",
          "c.appSetting.dir: true is not a number; the plug-in reads it as 0"}},
        {R"({"appSetting":{"dir":2.5}})", {"c.appSetting.dir: 2.5 is not a whole number; the plug-in reads it as 2"}},
        {R"({"appSetting":{"batery_type":6},"apSetting":{}})",
         {R"(c: unknown key "apSetting" (did you mean "appSetting"?); the plug-in reads only "appSetting" and )"
          R"("thresholdSetting")",
          R"(c.appSetting: unknown key "batery_type" (did you mean "battery_type"?); the plug-in does not read it)"}},
        // A key with nothing near it is named alone.
        {R"({"appSetting":{"colour":1}})", {R"(c.appSetting: unknown key "colour"; the plug-in does not read it)"}},
        {R"({"appSetting":{"save_interval":"abc"}})",
         {R"(c.appSetting.save_interval: "abc" is not a number; the plug-in reads it as 0)",
          "c.appSetting.save_interval: is not above 0; the plug-in saves every 480 minutes instead"}},
        {R"({"appSetting":{"active_batteries":[1,"x",29],"group_voltage":1205}})",
         {R"(c.appSetting.active_batteries[1]: "x" is not a number; the plug-in reads it as 0)",
          "c.appSetting.group_voltage: is not an array; the plug-in ignores it",
          "c.appSetting.active_batteries[2]: cell 29 is not one of the device's cells 0 to 28; the threshold check "
          "skips it"}},
        {R"({"appSetting":{"group_index":1}})",
         {R"(c.appSetting.group_index: is read only together with "amount"; the plug-in ignores it)"}},
        {R"({"appSetting":[1]})", {"c.appSetting: is not an object; the plug-in reads none of its settings"}},
        {R"({"appSetting":{"b_mode":"3"},"thresholdSetting":{}})", {}},
        {R"({"thresholdSetting":{}})",
         {"c.thresholdSetting: is read only when appSetting.b_mode is 3; the plug-in ignores it"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        EXPECT_EQ(DeviceConfigCheck::Warnings(ParseJson(c.config), "c", 29), c.warnings);
    }
}

TEST(SiteConfig, AlarmsMustNameAValueTheDeviceAnswers) {
    struct Case {
        const char* alarms;
        const char* config;
        const char* error;    // "" when accepted
        const char* warning;  // "" when none
    } cases[] = {
        {R"({"temperature":{"high":40}})", "{}", "", ""},
        {R"({"battery_*_value":{"low":12}})", "{}", "", ""},
        {R"({"tempreature":{"high":40}})", "{}",
         R"(ports[0].devices[0].alarms.tempreature: "tempreature" is not a value device 12 answers (group_voltage, )"
         R"(group_current, temperature, battery_0_value to battery_28_value))",
         ""},
        {R"({"battery_29_value":{"low":12}})", "{}", "\"battery_29_value\" is not a value device 12 answers", ""},
        {R"({"cell_*":{"low":12}})", "{}", "\"cell_*\" matches no value device 12 answers", ""},
        {R"({"battery_20_value":{"low":12}})", R"({"appSetting":{"group_index":1,"amount":12}})", "",
         "alarms.battery_20_value: the threshold check of device 12 skips this value"},
        {R"({"temperature":{"high":"40"}})", "{}", "alarms.temperature.high: must be a number, not a string", ""},
        {R"({"temperature":{"high":40}})", R"({"appSetting":{"r_dat\ta_id":1}})", "",
         R"(appSetting: unknown key "r_dat\ta_id" (did you mean "r_data_id"?); the plug-in does not read it)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.alarms);
        const std::string text =
            Site(std::string(R"({"id":12,"addr":1,"config":)") + c.config + R"(,"alarms":)" + c.alarms + "}");
        try {
            const SiteConfig site = SiteConfig::Parse(text, "site.json");
            EXPECT_STREQ(c.error, "") << "accepted";
            if (*c.warning) {
                ASSERT_EQ(site.warnings.size(), 1u);
                EXPECT_NE(site.warnings[0].find(c.warning), std::string::npos) << site.warnings[0];
            } else {
                EXPECT_TRUE(site.warnings.empty()) << site.warnings[0];
            }
        } catch (const SiteConfig::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
            EXPECT_NE(*c.error, '\0') << e.what();
        }
    }
}

// The reader gives up on deep nesting with an exception that names no place.
TEST(SiteConfig, NestingTooDeepNamesTheLine) {
    const std::string deep = "{\n\"ports\":\n" + std::string(100000, '[') + std::string(100000, ']') + "}";
    try {
        SiteConfig::Parse(deep, "site.json");
        ADD_FAILURE() << "accepted";
    } catch (const SiteConfig::Error& e) {
        EXPECT_STREQ(e.what(), "site file site.json:3: not valid JSON: nested more than 1000 levels deep");
    }
}

// A site file is held whole while it is checked: its size has a bound, and
// a file full of unknown keys does not print a line for each.
TEST(SiteConfig, SizeAndWarningsBounded) {
    const std::string device = R"({"id":12,"addr":1,"config":{"appSetting":{)";
    const auto unknown = [&](int keys, std::size_t pad) {
        std::string settings;
        for (int i = 0; i < keys; ++i) settings += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
        return Site(device + settings + "}}}") + std::string(pad, ' ');
    };
    const struct {
        int keys;
        std::size_t pad;
        std::size_t warnings;  // lines, the last saying how many more; 0: refused
    } cases[] = {
        {20, 0, 20},
        {21, 0, 21},
        {1000, 0, 21},
        {1, SiteConfig::kMaxBytes - unknown(1, 0).size(), 1},
        {1, SiteConfig::kMaxBytes - unknown(1, 0).size() + 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.keys) + " unknown keys, " + std::to_string(c.pad) + " spaces");
        try {
            const auto site = SiteConfig::Parse(unknown(c.keys, c.pad), "site.json");
            ASSERT_EQ(site.warnings.size(), c.warnings);
            if (c.keys > 20) {
                EXPECT_EQ(site.warnings.back(),
                          "site file site.json: " + std::to_string(c.keys - 20) + " more warnings not shown");
            }
        } catch (const SiteConfig::Error& e) {
            EXPECT_EQ(c.warnings, 0u) << e.what();
            EXPECT_STREQ(e.what(), "site file site.json: larger than 1048576 bytes, the most a site file may have");
        }
    }
}

}  // namespace

namespace {

// The keys a manual page's section lists: each ".TP" item that opens with
// ".B key", with its text (the lines up to the next request, joined).
std::map<std::string, std::map<std::string, std::string>> PageKeys(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, std::map<std::string, std::string>> sections;
    std::string section, line, previous, key;
    while (std::getline(in, line)) {
        const bool request = !line.empty() && line[0] == '.';
        if (request) key.clear();
        if (line.rfind(".SS ", 0) == 0) section = line.substr(4);
        if (!request && !key.empty()) {
            std::string& text = sections[section][key];
            text += (text.empty() ? "" : " ") + line;
        } else if (previous == ".TP" && line.rfind(".B ", 0) == 0) {
            key = line.substr(3);
            sections[section][key];
        }
        previous = line;
    }
    return sections;
}

// A number as the page writes it: as people write it, minus signs escaped.
std::string Roff(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    std::string out;
    for (const char c : std::string(buf)) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

std::set<std::string> Names(const std::map<std::string, std::string>& keys) {
    std::set<std::string> out;
    for (const auto& k : keys) out.insert(k.first);
    return out;
}

}  // namespace

// The site file's manual page lists every key the reader takes at each
// level and no other, and each battery figure with the range and default
// the reader holds: a key added, renamed or given a new default without
// the page fails here.
TEST(SiteConfig, ItsManualPageListsEveryKeyWithItsRangeAndDefault) {
    auto page = PageKeys(BENCH_HOST_SITE_PAGE);
    ASSERT_FALSE(page.empty()) << BENCH_HOST_SITE_PAGE;
    const struct {
        const char* section;
        std::set<std::string> keys;
    } levels[] = {
        {"\"The top level\"", SiteConfig::TopKeys()},
        {"\"A port (ports[N])\"", SiteConfig::PortKeys()},
        {"\"A device (ports[N].devices[M])\"", SiteConfig::DeviceKeys()},
        {"\"Battery data (ports[N].devices[M].battery)\"", BatteryData::KeyNames()},
    };
    for (const auto& level : levels) EXPECT_EQ(Names(page[level.section]), level.keys) << level.section;

    BatteryData defaults;
    for (const auto& k : BatteryData::Keys(defaults)) {
        const std::string& text = page[levels[3].section][k.name];
        const std::string said = "From " + Roff(k.min) + " to " + Roff(k.max) + ", default " + Roff(*k.field) + ".";
        EXPECT_NE(text.find(said), std::string::npos) << k.name << ": the page says \"" << text << "\", not " << said;
    }
}
