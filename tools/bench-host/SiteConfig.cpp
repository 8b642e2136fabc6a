#include "SiteConfig.h"

#include <fstream>
#include <limits>
#include <memory>
#include <set>
#include <sstream>

#include <json/reader.h>

namespace {

class Reader {
public:
    explicit Reader(std::string source) : source_(std::move(source)) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
        throw SiteConfig::Error("site file " + source_ + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    void OnlyKeys(const Json::Value& obj, const std::string& where, const std::set<std::string>& allowed) const {
        for (const auto& key : obj.getMemberNames())
            if (!allowed.count(key)) Fail(where, "unknown key \"" + key + "\"");
    }

    double Number(const Json::Value& v, const std::string& where, double min, double max) const {
        if (!v.isNumeric() || v.asDouble() < min || v.asDouble() > max)
            Fail(where, "must be a number from " + Text(min) + " to " + Text(max));
        return v.asDouble();
    }

    uint64_t Whole(const Json::Value& v, const std::string& where, uint64_t max) const {
        if (!v.isUInt64() || v.asUInt64() > max) Fail(where, "must be a whole number from 0 to " + std::to_string(max));
        return v.asUInt64();
    }

    std::string String(const Json::Value& v, const std::string& where) const {
        if (!v.isString() || v.asString().empty()) Fail(where, "must be a non-empty string");
        return v.asString();
    }

    bool Bool(const Json::Value& v, const std::string& where) const {
        if (!v.isBool()) Fail(where, "must be true or false");
        return v.asBool();
    }

private:
    static std::string Text(double d) {
        std::ostringstream s;
        s << d;
        return s.str();
    }
    std::string source_;
};

}  // namespace

SiteConfig SiteConfig::Load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Error("cannot read site file " + path);
    std::stringstream text;
    text << in.rdbuf();
    return Parse(text.str(), path);
}

SiteConfig SiteConfig::Parse(const std::string& text, const std::string& source) {
    Reader r(source);
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errs;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errs)) {
        for (char& c : errs)
            if (c == '\n') c = ' ';
        while (!errs.empty() && errs.back() == ' ') errs.pop_back();
        r.Fail("", "not valid JSON: " + errs);
    }
    if (!root.isObject()) r.Fail("", "must be a JSON object");
    r.OnlyKeys(root, "", {"plugin", "tick_period", "history", "response_margin_ms", "frame_gap_ms", "ports"});

    SiteConfig site;
    if (root.isMember("plugin")) site.plugin = r.String(root["plugin"], "\"plugin\"");
    if (root.isMember("tick_period")) site.tick_period = r.Number(root["tick_period"], "\"tick_period\"", 0.05, 86400);
    if (root.isMember("history")) site.history = r.String(root["history"], "\"history\"");
    if (root.isMember("response_margin_ms"))
        site.response_margin_ms = static_cast<int>(r.Whole(root["response_margin_ms"], "\"response_margin_ms\"", 60000));
    if (root.isMember("frame_gap_ms"))
        site.frame_gap_ms = static_cast<int>(r.Whole(root["frame_gap_ms"], "\"frame_gap_ms\"", 10000));

    const Json::Value& ports = root["ports"];
    if (!ports.isArray() || ports.empty()) r.Fail("\"ports\"", "must be a non-empty array of ports");
    std::set<uint32_t> ids;
    std::set<std::string> paths;
    for (Json::ArrayIndex p = 0; p < ports.size(); ++p) {
        const std::string pw = "ports[" + std::to_string(p) + "]";
        const Json::Value& pj = ports[p];
        if (!pj.isObject()) r.Fail(pw, "must be an object");
        r.OnlyKeys(pj, pw, {"path", "echo", "quiet_guard_ms", "devices"});
        Port port;
        port.path = r.String(pj["path"], pw + ".path");
        if (!paths.insert(port.path).second) r.Fail(pw + ".path", "port " + port.path + " is named twice");
        if (pj.isMember("echo")) port.echo = r.Bool(pj["echo"], pw + ".echo");
        if (pj.isMember("quiet_guard_ms"))
            port.quiet_guard_ms = static_cast<int>(r.Whole(pj["quiet_guard_ms"], pw + ".quiet_guard_ms", 60000));
        const Json::Value& devs = pj["devices"];
        if (!devs.isArray() || devs.empty()) r.Fail(pw + ".devices", "must be a non-empty array of devices");
        std::set<unsigned> addrs;
        for (Json::ArrayIndex d = 0; d < devs.size(); ++d) {
            const std::string dw = pw + ".devices[" + std::to_string(d) + "]";
            const Json::Value& dj = devs[d];
            if (!dj.isObject()) r.Fail(dw, "must be an object");
            r.OnlyKeys(dj, dw, {"id", "type", "addr", "config", "alarms"});
            Device dev;
            if (!dj.isMember("id")) r.Fail(dw, "missing \"id\"");
            dev.id = static_cast<uint32_t>(r.Whole(dj["id"], dw + ".id", std::numeric_limits<uint32_t>::max()));
            if (!ids.insert(dev.id).second) r.Fail(dw + ".id", "device " + std::to_string(dev.id) + " is named twice");
            if (dj.isMember("type")) dev.type = r.String(dj["type"], dw + ".type");
            if (!dj.isMember("addr")) r.Fail(dw, "missing \"addr\"");
            dev.addr = static_cast<uint8_t>(r.Whole(dj["addr"], dw + ".addr", 255));
            if (!addrs.insert(dev.addr).second)
                r.Fail(dw + ".addr", "address " + std::to_string(dev.addr) + " is used twice on " + port.path);
            if (dj.isMember("config")) {
                if (!dj["config"].isObject()) r.Fail(dw + ".config", "must be an object");
                dev.config = dj["config"];
            }
            if (dj.isMember("alarms")) {
                const Json::Value& al = dj["alarms"];
                if (!al.isObject()) r.Fail(dw + ".alarms", "must be an object of value names");
                for (const auto& name : al.getMemberNames()) {
                    const std::string aw = dw + ".alarms." + name;
                    const Json::Value& lj = al[name];
                    if (!lj.isObject()) r.Fail(aw, "must be an object with \"low\" and/or \"high\"");
                    r.OnlyKeys(lj, aw, {"low", "high"});
                    AlarmEvaluator::Limits limits;
                    const double big = std::numeric_limits<float>::max();
                    if (lj.isMember("low")) limits.low = static_cast<float>(r.Number(lj["low"], aw + ".low", -big, big));
                    if (lj.isMember("high"))
                        limits.high = static_cast<float>(r.Number(lj["high"], aw + ".high", -big, big));
                    if (!limits.low && !limits.high) r.Fail(aw, "needs \"low\" or \"high\"");
                    if (limits.low && limits.high && *limits.low > *limits.high) r.Fail(aw, "low is above high");
                    dev.alarms.emplace_back(name, limits);
                }
            }
            port.devices.push_back(std::move(dev));
        }
        site.ports.push_back(std::move(port));
    }
    return site;
}
