#include "site/SiteConfig.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

#include <json/reader.h>

#include "site/DeviceConfigCheck.h"
#include "site/SiteFileReader.h"
#include "site/ValueNames.h"

namespace {

// An alarm must be on a value the device answers, or it can never fire; a
// pattern must match at least one.  One on a cell that the threshold check
// skips is allowed (the cell list may change) but said.
void CheckAlarmName(const SiteFileReader& r, const ValueNames& names, const std::string& name, const std::string& where,
                    uint32_t id, std::vector<std::string>& warnings) {
    std::vector<std::string> matched;
    for (const auto& n : names.All())
        if (AlarmEvaluator::Matches(name, n)) matched.push_back(n);
    const std::string device = "device " + std::to_string(id);
    if (matched.empty())
        r.Fail(where, "\"" + name + (name.find('*') == std::string::npos ? "\" is not a value " : "\" matches no value ") +
                          device + " answers (" + names.Summary() + ")");
    bool checked = false;
    for (const auto& n : matched) checked = checked || names.Checked(n);
    if (!checked)
        warnings.push_back(r.Line(where, "the threshold check of " + device +
                                             " skips this value (appSetting.active_batteries / group_index); the alarm "
                                             "can never fire"));
}

// Nesting the reader accepts (a site file needs six levels).
constexpr int kStackLimit = 1000;

// The line on which the nesting of brackets and braces, outside strings,
// first exceeds limit.
int LineTooDeep(const std::string& text, int limit) {
    int line = 1, depth = 0;
    bool in_string = false, escaped = false;
    for (const char c : text) {
        if (c == '\n') ++line;
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return line;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return line;
}

}  // namespace

const std::set<std::string>& SiteConfig::TopKeys() {
    static const std::set<std::string> keys = {"plugin",           "tick_period",        "history",
                                               "keep_rounds_days", "response_margin_ms", "frame_gap_ms",
                                               "ports"};
    return keys;
}

const std::set<std::string>& SiteConfig::PortKeys() {
    static const std::set<std::string> keys = {"path", "echo", "quiet_guard_ms", "probe_interval_ms", "devices"};
    return keys;
}

const std::set<std::string>& SiteConfig::DeviceKeys() {
    static const std::set<std::string> keys = {"id", "type", "addr", "config", "alarms", "battery"};
    return keys;
}

SiteConfig SiteConfig::Load(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw Error("site file " + path + " is a folder, not a file");
    std::ifstream in(path);
    if (!in) {
        // A missing file is a wrong name; an unreadable one, permissions.
        const int why = errno;
        if (why == ENOENT) {
            const std::string dir = std::filesystem::path(path).parent_path().string();
            if (!dir.empty() && !std::filesystem::is_directory(dir, ec))
                throw Error("site file " + path + " does not exist: no such folder " + dir);
            throw Error("site file " + path + " does not exist");
        }
        throw Error("cannot read site file " + path + ": " + std::strerror(why));
    }
    // One byte beyond the bound is enough to refuse it.
    std::string text(kMaxBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return Parse(text, path);
}

SiteConfig SiteConfig::Parse(const std::string& text, const std::string& source) {
    SiteFileReader r(source);
    if (text.size() > kMaxBytes) {
        r.Fail("", "larger than " + std::to_string(kMaxBytes) + " bytes, the most a site file may have");
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = kStackLimit;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errs;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errs);
    } catch (const Json::Exception&) {
        // The reader gives up on nesting beyond its stack limit with an
        // exception that names no place; find the line itself.
        throw Error("site file " + source + ":" + std::to_string(LineTooDeep(text, kStackLimit)) +
                    ": not valid JSON: nested more than " + std::to_string(kStackLimit) + " levels deep");
    }
    if (!parsed) {
        for (char& c : errs)
            if (c == '\n') c = ' ';
        while (!errs.empty() && errs.back() == ' ') errs.pop_back();
        r.Fail("", "not valid JSON: " + errs);
    }
    if (!root.isObject()) r.Fail("", "must be a JSON object");
    r.OnlyKeys(root, "", TopKeys());

    SiteConfig site;
    if (root.isMember("plugin")) site.plugin = r.String(root["plugin"], "\"plugin\"");
    if (root.isMember("tick_period")) site.tick_period = r.Number(root["tick_period"], "\"tick_period\"", 0.05, 86400);
    if (root.isMember("history")) site.history = r.String(root["history"], "\"history\"");
    if (root.isMember("keep_rounds_days"))
        site.keep_rounds_days =
            static_cast<int>(r.Whole(root["keep_rounds_days"], "\"keep_rounds_days\"", kMaxKeepRoundsDays));
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
        r.OnlyKeys(pj, pw, PortKeys());
        Port port;
        port.path = r.String(pj["path"], pw + ".path");
        if (!paths.insert(port.path).second) r.Fail(pw + ".path", "port " + port.path + " is named twice");
        if (pj.isMember("echo")) port.echo = r.Bool(pj["echo"], pw + ".echo");
        if (pj.isMember("quiet_guard_ms"))
            port.quiet_guard_ms = static_cast<int>(r.Whole(pj["quiet_guard_ms"], pw + ".quiet_guard_ms", 60000));
        if (pj.isMember("probe_interval_ms"))
            port.probe_interval_ms =
                static_cast<int>(r.Whole(pj["probe_interval_ms"], pw + ".probe_interval_ms", 3600000));
        const Json::Value& devs = pj["devices"];
        if (!devs.isArray() || devs.empty()) r.Fail(pw + ".devices", "must be a non-empty array of devices");
        std::set<unsigned> addrs;
        for (Json::ArrayIndex d = 0; d < devs.size(); ++d) {
            const std::string dw = pw + ".devices[" + std::to_string(d) + "]";
            const Json::Value& dj = devs[d];
            if (!dj.isObject()) r.Fail(dw, "must be an object");
            r.OnlyKeys(dj, dw, DeviceKeys());
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
            if (dj.isMember("battery")) dev.battery = BatteryData::Read(dj["battery"], r, dw + ".battery");
            const auto names = ValueNames::For(dev.type, dev.config);
            if (names && dev.battery.blocks > names->Cells())
                r.Fail(dw + ".battery.blocks", "must be at most " + std::to_string(names->Cells()) + ", the cells of " +
                                                   dev.type);
            for (const auto& w : DeviceConfigCheck::Warnings(dev.config, dw + ".config", names ? names->Cells() : 0))
                site.warnings.push_back(r.Line("", w));
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
                    if (names)
                        CheckAlarmName(r, *names, name, aw, dev.id, site.warnings);
                    else
                        site.warnings.push_back(r.Line(aw, "device type \"" + dev.type +
                                                               "\" is not known to this bench; its value names cannot be checked"));
                    dev.alarms.emplace_back(name, limits);
                }
            }
            port.devices.push_back(std::move(dev));
        }
        site.ports.push_back(std::move(port));
    }
    if (site.warnings.size() > kMaxWarnings) {
        const std::size_t more = site.warnings.size() - kMaxWarnings;
        site.warnings.resize(kMaxWarnings);
        site.warnings.push_back(r.Line("", std::to_string(more) + " more warnings not shown"));
    }
    return site;
}
