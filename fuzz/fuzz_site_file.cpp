// The site file's reader on arbitrary text.  Only its own error leaves it,
// one line naming the file; a site taken holds what a run relies on: ports
// with devices, no port named twice, no device identifier twice in the
// site, no address twice on a port, settings within their bounds, each
// alarm with a limit and its low not above its high, a string no longer
// than its device type has cells, and at most the warnings it keeps plus
// the line that counts the rest.  Read twice, the text gives the same site.
// The input is the file's text.
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "site/SiteConfig.h"
#include "site/ValueNames.h"

namespace {

const char kSource[] = "site.json";

// A reason or a warning: one line, naming the file.
bool OneLineNamingTheFile(const std::string& line) {
    return line.rfind(std::string("site file ") + kSource, 0) == 0 && line.find_first_of("\r\n") == std::string::npos;
}

void CheckSite(const SiteConfig& site) {
    FUZZ_CHECK(site.tick_period >= 0.05 && site.tick_period <= 86400);
    FUZZ_CHECK(site.keep_rounds_days >= 0 && site.keep_rounds_days <= SiteConfig::kMaxKeepRoundsDays);
    FUZZ_CHECK(site.response_margin_ms >= 0 && site.frame_gap_ms >= 0);
    FUZZ_CHECK(!site.ports.empty());
    std::set<std::string> paths;
    std::set<uint32_t> ids;
    for (const auto& port : site.ports) {
        FUZZ_CHECK(!port.path.empty() && paths.insert(port.path).second);
        FUZZ_CHECK(!port.devices.empty());
        FUZZ_CHECK(port.probe_interval_ms >= 0);
        FUZZ_CHECK(!port.quiet_guard_ms || *port.quiet_guard_ms >= 0);
        std::set<uint8_t> addrs;
        for (const auto& dev : port.devices) {
            FUZZ_CHECK(ids.insert(dev.id).second);
            FUZZ_CHECK(addrs.insert(dev.addr).second);
            FUZZ_CHECK(dev.config.isObject());
            const int cells = ValueNames::CellCount(dev.type);
            if (cells > 0) FUZZ_CHECK(dev.battery.blocks <= cells);
            for (const auto& [name, limits] : dev.alarms) {
                FUZZ_CHECK(limits.low || limits.high);
                if (limits.low && limits.high) FUZZ_CHECK(*limits.low <= *limits.high);
            }
        }
    }
    FUZZ_CHECK(site.warnings.size() <= SiteConfig::kMaxWarnings + 1);
    for (const auto& w : site.warnings) FUZZ_CHECK(OneLineNamingTheFile(w));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SiteConfig site;
    try {
        site = SiteConfig::Parse(text, kSource);
    } catch (const SiteConfig::Error& e) {
        FUZZ_CHECK(OneLineNamingTheFile(e.what()));
        return 0;
    }
    CheckSite(site);
    const SiteConfig again = SiteConfig::Parse(text, kSource);
    FUZZ_CHECK(again.warnings == site.warnings);
    FUZZ_CHECK(again.ports.size() == site.ports.size());
    return 0;
}
