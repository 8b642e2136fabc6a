#include "report/SettingsChoice.h"

namespace report {

namespace {

const SiteConfig::Device* Named(const SiteConfig& site, uint32_t id) {
    for (const auto& port : site.ports)
        for (const auto& dev : port.devices)
            if (dev.id == id) return &dev;
    return nullptr;
}

}  // namespace

const char* SettingsChoice::Key() const {
    switch (from) {
        case From::kGiven: return "given";
        case From::kStored: return "stored";
        case From::kSiteFile: return "site file";
        case From::kDefaults: break;
    }
    return "defaults";
}

std::string SettingsChoice::Text() const {
    const std::string run = run_id ? "run " + std::to_string(*run_id) : std::string("a run");
    switch (from) {
        case From::kGiven: return "site file " + site_file + ", given with --site";
        case From::kStored:
            return "stored with " + run +
                   (site_file.empty() ? std::string() : " (its site file " + site_file + " as it read when the run began)");
        case From::kSiteFile:
            return "site file " + site_file + " as it reads now (" + run +
                   " is from before runs stored what they judged by)";
        case From::kDefaults: break;
    }
    return "the defaults (no run stored them and no site file names this device)";
}

SettingsChoice::SiteLoader SettingsChoice::Files() {
    return [](const std::string& path) -> std::optional<SiteConfig> {
        try {
            return SiteConfig::Load(path);
        } catch (const std::exception&) {
            return std::nullopt;  // gone or changed beyond reading
        }
    };
}

SettingsChoice SettingsChoice::For(uint32_t id, const std::vector<history::Run>& runs,
                                   const std::vector<history::RunSettings>& stored,
                                   const std::optional<SiteConfig>& given, const std::string& given_path,
                                   const SiteLoader& load) {
    SettingsChoice c;
    if (given) {
        if (const auto* dev = Named(*given, id)) {
            c.settings = DeviceSettings::Of(*dev);
            c.from = From::kGiven;
            c.site_file = given_path;
            return c;
        }
    }
    for (auto it = stored.rbegin(); it != stored.rend(); ++it) {
        if (it->device_id != id) continue;
        try {
            c.settings = DeviceSettings::FromText(it->battery, it->limits, "run " + std::to_string(it->run_id));
        } catch (const std::exception&) {
            continue;  // a row that does not read: the next older run's
        }
        c.from = From::kStored;
        c.run_id = it->run_id;
        for (const auto& r : runs)
            if (r.id == it->run_id) c.site_file = r.site_file;
        return c;
    }
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
        if (it->site_file.empty()) continue;
        const auto site = load(it->site_file);
        const auto* dev = site ? Named(*site, id) : nullptr;
        if (!dev) continue;
        c.settings = DeviceSettings::Of(*dev);
        c.from = From::kSiteFile;
        c.site_file = it->site_file;
        c.run_id = it->id;
        return c;
    }
    c.settings = DeviceSettings{};
    return c;
}

}  // namespace report
