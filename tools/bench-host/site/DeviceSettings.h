#pragma once
// What a run judges one device by: its battery data and its alarm limits,
// as the site file gave them when the run began.  Stored with the run as
// JSON texts (the history's run_settings) and read back by the report and
// the baseline, so that a site file edited or moved away since changes
// nothing in what a past run is judged by.
#include <string>
#include <utility>
#include <vector>

#include "record/AlarmEvaluator.h"
#include "site/BatteryData.h"
#include "site/SiteConfig.h"

struct DeviceSettings {
    BatteryData battery;
    // Per value name or pattern, as the site file's "alarms" gives them.
    std::vector<std::pair<std::string, AlarmEvaluator::Limits>> alarms;

    static DeviceSettings Of(const SiteConfig::Device& device);

    // The battery data with every key, defaults included; the limits as an
    // object of value names, each with its "low" and/or "high".
    std::string BatteryText() const;
    std::string LimitsText() const;
    // Back from the texts; throws SiteConfig::Error naming source when they
    // do not read (a damaged row).
    static DeviceSettings FromText(const std::string& battery, const std::string& limits, const std::string& source);
};
