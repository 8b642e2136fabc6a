#pragma once
// The string's verdict in the report: what a field engineer is paid to
// answer, first — good, attention or act now — with the findings ranked,
// each with its figure and the evidence it rests on; then the figures
// behind them (charge state, float compliance, resistance from load
// steps, capacity tests).  Its battery data is the newest run's site file
// that names the device, else the defaults, and it says which.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "history/BaselineStore.h"
#include "history/HistoryRows.h"
#include "report/StringFigures.h"
#include "site/BatteryData.h"
#include "verdict/Findings.h"
#include "verdict/PeriodFigures.h"

namespace report {

struct StringVerdict {
    uint32_t id = 0;
    BatteryData spec;
    std::string battery_from;  // the site file read, "" for the defaults
    int blocks = 0;
    std::optional<history::Baseline> baseline;  // the device's newest
    verdict::PeriodResult figures;
    verdict::Verdict verdict;

    // The battery data of device id: the newest run (of runs, oldest
    // first) whose site file reads and names it; else the defaults.
    static StringVerdict For(const std::vector<history::Run>& runs, uint32_t id, int cells);
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

    Json::Value ToJson() const;
    // A section that opens the report (it fits the first printed page).
    std::string ToHtml() const;
};

}  // namespace report
