#pragma once
// The site file of `bench-host run`: which plug-in, how often each device
// polls, where the history goes, and the serial ports with the devices on
// each (see README.md for the format).
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "record/AlarmEvaluator.h"
#include "site/BatteryData.h"

struct SiteConfig {
    struct Device {
        uint32_t id = 0;
        std::string type = "upsbattery_29";
        uint8_t addr = 1;
        Json::Value config{Json::objectValue};
        std::vector<std::pair<std::string, AlarmEvaluator::Limits>> alarms;
        // The string the monitor watches (all defaults when not given).
        BatteryData battery;
    };

    struct Port {
        std::string path;
        // Drop the copy of each request that a half-duplex RS-485 adapter
        // echoes back.
        bool echo = false;
        // Quiet line after a reply timeout before the next request (late
        // replies are dropped meanwhile); unset: twice the response timeout,
        // or the latest reply measured if that is later.
        std::optional<int> quiet_guard_ms;
        // Time between the probes of a device that is not answering, so
        // that its timeouts do not take its neighbours' ticks.
        int probe_interval_ms = 5000;
        std::vector<Device> devices;
    };

    std::string plugin;                  // "" = the default plug-in
    double tick_period = 2.0;            // seconds between the starts of a device's cycles
    std::string history = "bench-history.sqlite";
    // Days the raw rounds are kept in the history; 0: for good.  The
    // per-minute summary, alarms, health changes and runs are always kept.
    int keep_rounds_days = 0;
    static constexpr int kMaxKeepRoundsDays = 36500;
    int response_margin_ms = 100;        // turnaround added to a reply's time on the wire
    int frame_gap_ms = 20;               // line silence that ends a reply of unknown length
    std::vector<Port> ports;
    // What the site file holds that is not refused but will not do what it
    // seems to (an unknown configuration key, a value the plug-in reads as
    // 0, an alarm on a cell the threshold check skips), one line each,
    // naming the file and the JSON path.
    std::vector<std::string> warnings;

    // A site file is at most this long: its JSON is held whole while it is
    // checked, some 40 times its size.
    static constexpr std::size_t kMaxBytes = 1 << 20;
    // Warnings kept; beyond, one more line says how many were not.
    static constexpr std::size_t kMaxWarnings = 20;

    // Throws SiteConfig::Error with a one-line explanation naming the file
    // and the place in it: also for an alarm on a value the device does not
    // answer, since it could never fire.
    static SiteConfig Load(const std::string& path);
    static SiteConfig Parse(const std::string& text, const std::string& source);

    // The keys of each level of the file; any other is refused, with the
    // nearest of these.  The manual page of the file lists the same.
    static const std::set<std::string>& TopKeys();
    static const std::set<std::string>& PortKeys();
    static const std::set<std::string>& DeviceKeys();

    struct Error : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
};
