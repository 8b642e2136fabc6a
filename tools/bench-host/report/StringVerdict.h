#pragma once
// The string's verdict in the report: what a field engineer is paid to
// answer, first — good, attention or act now — with the findings ranked,
// each with its figure and the evidence it rests on; then the figures
// behind them (charge state, float compliance, resistance from load
// steps, capacity tests).  Its battery data is what SettingsChoice
// chooses (given on purpose, stored with the run, a site file, or the
// defaults), and it says which.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "history/BaselineStore.h"
#include "history/HistoryRows.h"
#include "report/SettingsChoice.h"
#include "report/StringFigures.h"
#include "site/BatteryData.h"
#include "verdict/Findings.h"
#include "verdict/PeriodFigures.h"

namespace report {

struct StringVerdict {
    uint32_t id = 0;
    BatteryData spec;
    SettingsChoice battery_from;  // where the battery data came from, with the limits
    int blocks = 0;
    std::optional<history::Baseline> baseline;  // the device's newest
    verdict::PeriodResult figures;
    verdict::Verdict verdict;

    // With the battery data chosen for device id.
    static StringVerdict For(SettingsChoice choice, uint32_t id, int cells);
    // A device with no round in the period that never answered in its
    // runs (its health changes, in the order written, say so): the finding
    // that names it, with its last state and reason; none otherwise.
    static std::optional<verdict::Finding> NeverAnswered(const std::vector<history::Health>& health);
    static constexpr const char* kNeverAnswered = "no data: never answered";
    // The cells the report flagged, as findings take them.
    static std::vector<verdict::CellFlag> Flags(const DeviceFigures& d);
    static verdict::Reading ReadingOf(const Round& r, int blocks);
    // The baseline's resistance per block for the figures (0: none), and
    // the date it was taken ("" without one).
    std::vector<double> BaselineOhms() const;
    std::string BaselineDate() const;
    // Each block's float drift on the baseline in mV (FloatDrift's method):
    // none without a baseline value or a round judged on float.
    std::vector<std::optional<double>> FloatDriftMv() const;
    // A summarised minute's means, at its first round.
    static verdict::Reading ReadingOf(const history::Minute& m, int blocks);
    // Its rounds and their times; a minute summarised before its last
    // round's time was kept is taken to reach the minute's end.
    static verdict::MinuteSpan SpanOf(const history::Minute& m);
    // Its extremes, as far as the summary kept them: none without its
    // lowest current.
    static std::optional<verdict::MinuteBounds> BoundsOf(const history::Minute& m, int blocks);

    Json::Value ToJson() const;
    // A section that opens the report (it fits the first printed page).
    std::string ToHtml() const;
};

}  // namespace report
