#pragma once
// Which battery data and alarm limits a device's report and baseline are
// made with, and where they came from, which the report names:
//   1. a site file given on purpose (--site) that names the device;
//   2. those the newest run stored with itself (what it judged by);
//   3. for runs from before runs stored them, the newest run's site file
//      that names the device, as it reads now;
//   4. the defaults.
// Pure: the stored rows and the site files come in, so every case is a row.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryRows.h"
#include "site/DeviceSettings.h"
#include "site/SiteConfig.h"

namespace report {

struct SettingsChoice {
    enum class From { kGiven, kStored, kSiteFile, kDefaults };

    DeviceSettings settings;
    From from = From::kDefaults;
    std::string site_file;          // the file read, or the storing run's
    std::optional<int64_t> run_id;  // the run that stored them, or whose file was read

    // "given", "stored", "site file", "defaults".
    const char* Key() const;
    // For a reader: "stored with run 3 (its site file /etc/site.json as it
    // read when the run began)".
    std::string Text() const;

    // A site file as it reads now; none when it is gone or does not read.
    using SiteLoader = std::function<std::optional<SiteConfig>(const std::string& path)>;
    static SiteLoader Files();

    // runs oldest first; stored: the device's rows, oldest run first;
    // given: the site file named on purpose, if any, and its path.
    static SettingsChoice For(uint32_t id, const std::vector<history::Run>& runs,
                              const std::vector<history::RunSettings>& stored, const std::optional<SiteConfig>& given,
                              const std::string& given_path, const SiteLoader& load);
};

}  // namespace report
