#include "site/DeviceConfigCheck.h"

#include <json/writer.h>

#include <cctype>
#include <cstdlib>
#include <set>

#include "CommandLine.h"
#include "basics/JsonLine.h"
#include "battery/ConfigText.h"

namespace {

// How the plug-in converts a key of "appSetting".
enum class Kind { kInt, kReal, kText, kIntList };

struct Key {
    const char* name;
    Kind kind;
};

// Every key of "appSetting" the plug-in reads, "b_mode" included.
const Key kAppKeys[] = {
    {"battery_type", Kind::kReal},
    {"current_ratio", Kind::kReal},
    {"group_a", Kind::kReal},
    {"group_b", Kind::kReal},
    {"battery_adjust", Kind::kReal},
    {"version", Kind::kInt},
    {"dir", Kind::kInt},
    {"r_data_id", Kind::kInt},
    {"r_current_field", Kind::kText},
    {"save_interval", Kind::kInt},
    {"group_index", Kind::kInt},
    {"amount", Kind::kInt},
    {"active_batteries", Kind::kIntList},
    {"battery_start", Kind::kInt},
    {"group_voltage", Kind::kIntList},
    {"t0", Kind::kReal},
    {"t31", Kind::kReal},
    {"b_mode", Kind::kInt},
};

const std::set<std::string> kTopKeys = {"appSetting", "thresholdSetting"};

std::string Shown(const Json::Value& v) {
    if (v.isString()) return JsonLine::Quote(v.asString());
    if (v.isDouble()) return JsonLine::FormatDouble(v.asDouble());
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

std::string Trimmed(const std::string& s) {
    std::size_t a = 0, e = s.size();
    while (a < e && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (e > a && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(a, e - a);
}

// Whether the whole text is one number of the kind (a whole number for
// kInt), so that the plug-in's conversion reads what is written.
bool WholeText(const std::string& text, Kind kind) {
    const std::string t = Trimmed(text);
    if (t.empty()) return false;
    char* end = nullptr;
    if (kind == Kind::kInt)
        std::strtoll(t.c_str(), &end, 10);
    else
        std::strtod(t.c_str(), &end);
    return end == t.c_str() + t.size();
}

}  // namespace

void DeviceConfigCheck::Warn(const std::string& where, const std::string& what) { out_.push_back(where + ": " + what); }

// One scalar the plug-in reads as a number.
void DeviceConfigCheck::Number(const Json::Value& v, const std::string& where, bool whole) {
    const Kind kind = whole ? Kind::kInt : Kind::kReal;
    if (v.isObject() || v.isArray()) {
        Warn(where, "is not a number; the plug-in cannot read it and refuses the configuration");
        return;
    }
    const std::string text = v.asString();
    if (WholeText(text, kind)) return;
    const std::string reads =
        kind == Kind::kInt ? std::to_string(config::Int(v)) : JsonLine::FormatDouble(config::TextToReal(text));
    const bool fraction = kind == Kind::kInt && WholeText(text, Kind::kReal);
    Warn(where,
         Shown(v) + (fraction ? " is not a whole number" : " is not a number") + "; the plug-in reads it as " + reads);
}

void DeviceConfigCheck::App(const Json::Value& app, const std::string& where) {
    std::set<std::string> known;
    for (const auto& k : kAppKeys) known.insert(k.name);
    const std::vector<std::string> names(known.begin(), known.end());
    for (const auto& name : app.getMemberNames())
        if (!known.count(name))
            Warn(where, "unknown key \"" + name + "\"" + command_line::DidYouMeanKey(name, names) +
                            "; the plug-in does not read it");
    for (const auto& k : kAppKeys) {
        const Json::Value& v = app[k.name];
        const std::string at = where + "." + k.name;
        if (v.isNull() || k.kind == Kind::kText) continue;
        if (k.kind == Kind::kIntList) {
            if (!v.isArray()) {
                Warn(at, "is not an array; the plug-in ignores it");
                continue;
            }
            for (Json::ArrayIndex i = 0; i < v.size(); ++i) Number(v[i], at + "[" + std::to_string(i) + "]", true);
            continue;
        }
        Number(v, at, k.kind == Kind::kInt);
    }
    Groups(app, where);
    if (!app["save_interval"].isNull() && !app["save_interval"].isObject() && !app["save_interval"].isArray() &&
        config::Int(app["save_interval"]) <= 0)
        Warn(where + ".save_interval", "is not above 0; the plug-in saves every 480 minutes instead");
}

// The cells the threshold check is limited to.
void DeviceConfigCheck::Groups(const Json::Value& app, const std::string& where) {
    const bool index = !app["group_index"].isNull(), amount = !app["amount"].isNull();
    if (index != amount) {
        Warn(where + (index ? ".group_index" : ".amount"), std::string("is read only together with \"") +
                                                               (index ? "amount" : "group_index") +
                                                               "\"; the plug-in ignores it");
    } else if (index && app["group_index"].isConvertibleTo(Json::stringValue)) {
        const int32_t g = config::Int(app["group_index"]);
        if (g != 1 && g != 2)
            Warn(where + ".group_index",
                 "is " + std::to_string(g) + "; only 1 and 2 name a group, the plug-in ignores it");
    }
    const Json::Value& active = app["active_batteries"];
    if (cells_ > 0 && active.isArray()) {
        for (Json::ArrayIndex i = 0; i < active.size(); ++i) {
            if (!active[i].isConvertibleTo(Json::stringValue)) continue;
            const int32_t cell = config::Int(active[i]);
            if (cell < 0 || cell >= cells_)
                Warn(where + ".active_batteries[" + std::to_string(i) + "]",
                     "cell " + std::to_string(cell) + " is not one of the device's cells 0 to " +
                         std::to_string(cells_ - 1) + "; the threshold check skips it");
        }
    }
}

std::vector<std::string> DeviceConfigCheck::Warnings(const Json::Value& config, const std::string& where, int cells) {
    DeviceConfigCheck c(cells);
    if (!config.isObject()) return c.out_;
    for (const auto& name : config.getMemberNames())
        if (!kTopKeys.count(name))
            c.Warn(where, "unknown key \"" + name + "\"" +
                              command_line::DidYouMeanKey(name, {kTopKeys.begin(), kTopKeys.end()}) +
                              "; the plug-in reads only \"appSetting\" and \"thresholdSetting\"");
    const Json::Value& app = config["appSetting"];
    if (!app.isNull() && !app.isObject())
        c.Warn(where + ".appSetting", "is not an object; the plug-in reads none of its settings");
    if (app.isObject()) c.App(app, where + ".appSetting");
    const bool mode3 = app.isObject() && app["b_mode"].isConvertibleTo(Json::stringValue) && !app["b_mode"].isNull() &&
                       config::Int(app["b_mode"]) == 3;
    if (!config["thresholdSetting"].isNull() && !mode3)
        c.Warn(where + ".thresholdSetting", "is read only when appSetting.b_mode is 3; the plug-in ignores it");
    return c.out_;
}
