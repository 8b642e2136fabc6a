#pragma once
// `bench-host report`: what a field engineer hands over after commissioning,
// a periodic check or a discharge test, made from the history alone.  The
// figures (StringFigures) of every device in the period, as JSON for
// machines and as one HTML file that needs nothing outside itself: styles
// inline, charts drawn here as SVG, no script, so it opens the same on a
// phone, in a mail client that blocks requests, and on A4 paper.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "history/HistoryRows.h"
#include "report/StringFigures.h"
#include "site/SiteConfig.h"
#include "report/StringVerdict.h"

class HistoryReader;

namespace report {
// A text as HTML: & < > " ' escaped, invalid bytes as U+FFFD, control
// characters shown escaped (TextEscape::Html), for every text the report's
// pages carry.
std::string EscapeHtml(const std::string& s);
// A moment's text that never wraps: "2026-12-08T23:04:37.538+00:00" split
// over two lines reads as two values.
std::string TimeHtml(const std::string& stamp);
// A path that wraps only after a '/', so every name in it stays whole.
std::string PathHtml(const std::string& path);
}  // namespace report

struct StringReport {
    struct Options {
        std::optional<uint32_t> device_id;
        std::optional<int64_t> from_ms, to_ms;
        report::Settings settings;
        // Read whole minutes of rest from the per-minute summary where the
        // file has one; false reads every round.
        bool use_summary = true;
        // A site file given on purpose (--site): its battery data and
        // limits are used for the devices it names instead of those the
        // runs stored; site_path names it in the report.
        std::optional<SiteConfig> site;
        std::string site_path;
    };

    std::string db;
    std::string generated_at;
    std::optional<int64_t> from_ms, to_ms;  // as asked
    int64_t start_ms = 0, end_ms = 0;       // as covered: asked, else the rounds'
    report::Settings settings;
    std::vector<history::Run> runs;         // those that stored a round of the period
    std::vector<history::Note> clock_steps;  // of those runs, in the order they came
    std::vector<report::DeviceFigures> devices;
    std::vector<report::StringVerdict> verdicts;  // one per device, in the same order
    std::string unread;                     // what the file holds that could not be read

    // Reads the period's rounds, alarms and health changes.  Throws
    // std::runtime_error naming the file.
    static StringReport Build(HistoryReader& reader, const std::string& db, const Options& options);

    Json::Value ToJson() const;
    std::string ToHtml() const;
};

// "2026-12-08", "2026-12-08T10:00", "2026-12-08T10:00:05.250+08:00",
// "...Z": local time when no zone is given.  Nothing for anything else.
std::optional<int64_t> ParseIsoTime(const std::string& text);
