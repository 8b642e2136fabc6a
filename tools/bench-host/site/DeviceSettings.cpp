#include "site/DeviceSettings.h"

#include <limits>
#include <memory>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

#include "site/SiteFileReader.h"

namespace {

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // Every digit a double holds: read back, each value is the one judged by.
    b["precision"] = 17;
    return Json::writeString(b, v);
}

Json::Value Parse(const std::string& text, const SiteFileReader& r, const std::string& where) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) r.Fail(where, "not JSON: " + errors);
    return v;
}

}  // namespace

DeviceSettings DeviceSettings::Of(const SiteConfig::Device& device) { return DeviceSettings{device.battery, device.alarms}; }

std::string DeviceSettings::BatteryText() const { return Compact(battery.ToJson()); }

std::string DeviceSettings::LimitsText() const {
    Json::Value v(Json::objectValue);
    for (const auto& [name, limits] : alarms) {
        Json::Value l(Json::objectValue);
        if (limits.low) l["low"] = *limits.low;
        if (limits.high) l["high"] = *limits.high;
        v[name] = l;
    }
    return Compact(v);
}

DeviceSettings DeviceSettings::FromText(const std::string& battery, const std::string& limits,
                                        const std::string& source) {
    const SiteFileReader r(source);
    DeviceSettings s;
    s.battery = BatteryData::Read(Parse(battery, r, "battery"), r, "battery");
    const Json::Value al = Parse(limits, r, "alarms");
    if (!al.isObject()) r.Fail("alarms", "must be an object of value names");
    const double big = std::numeric_limits<float>::max();
    for (const auto& name : al.getMemberNames()) {
        const std::string where = "alarms." + name;
        const Json::Value& lj = al[name];
        if (!lj.isObject()) r.Fail(where, "must be an object");
        AlarmEvaluator::Limits l;
        if (lj.isMember("low")) l.low = static_cast<float>(r.Number(lj["low"], where + ".low", -big, big));
        if (lj.isMember("high")) l.high = static_cast<float>(r.Number(lj["high"], where + ".high", -big, big));
        s.alarms.emplace_back(name, l);
    }
    return s;
}
