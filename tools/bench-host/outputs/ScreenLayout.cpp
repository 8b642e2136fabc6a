#include "outputs/ScreenLayout.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cwchar>

#include <locale.h>

#include "bus/BusDevice.h"
#include "basics/JsonLine.h"
#include "basics/ValueText.h"
#include "outputs/RunText.h"
#include "models/CellWindow.h"

namespace {

using Line = ScreenLayout::Line;
using Look = ScreenLayout::Look;

constexpr int kBarWidth = 12;
constexpr int kCellColumnWidth = 30;  // " 12 13.512 V ████████████ !  " (13.50 right-aligned)
constexpr int kMaxCellColumns = 4;
constexpr int kMinEventRows = 4;      // the events' title and the newest three
// Small bars, one character a cell, lowest to highest.
const char* const kSparks[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};

using Kind = ValueText::Kind;

// A value at its resolution (see ValueText), right-aligned in width.
// A value the monitor marked invalid shows as dashes, never as a number.
std::string Reading(Kind kind, float v, int width = 0) {
    const std::string text = BatteryRecord::HasValue(v) ? ValueText::Of(kind, v) : "--";
    return text.size() < static_cast<std::size_t>(width) ? std::string(width - text.size(), ' ') + text : text;
}

// Decodes one UTF-8 sequence at s[i]; a broken one counts as one byte.
char32_t Decode(const std::string& s, std::size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (i + static_cast<std::size_t>(len) > s.size()) {
        ++i;
        return c;
    }
    char32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += static_cast<std::size_t>(len);
    return cp;
}

// The C library's character widths, under a UTF-8 character type whatever
// the process's own locale (the texts are UTF-8 in any case).
class Utf8Widths {
public:
    Utf8Widths() : utf8_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {}
    ~Utf8Widths() {
        if (utf8_) ::freelocale(utf8_);
    }
    int Of(char32_t cp) const {
        const locale_t previous = utf8_ ? ::uselocale(utf8_) : static_cast<locale_t>(nullptr);
        const int w = ::wcwidth(static_cast<wchar_t>(cp));
        if (utf8_) ::uselocale(previous);
        return w < 0 ? 1 : w;
    }

private:
    locale_t utf8_;
};

int CharWidth(char32_t cp) {
    static const Utf8Widths widths;
    return widths.Of(cp);
}

// The bars span the plausible window of the string's cells: 6 V blocks when
// every cell read lies in theirs, else 12 V blocks.
std::pair<float, float> CellRange(const BatteryRecord& r, int cells) {
    bool six_volt = false;
    for (int i = 0; i < cells; ++i) {
        // No cell, an implausible reading, or one the monitor marked invalid.
        if (r.cells[i] == 0.0f || !BatteryRecord::HasValue(r.cells[i])) continue;
        six_volt = cells::Plausible(cells::kMillivoltWindow, r.cells[i]);
        if (!six_volt) break;
    }
    const cells::Window w = six_volt ? cells::kMillivoltWindow : cells::kCentivoltWindow;
    return {w.low, w.high};
}

// The last record with what its cells are shown against; no record before
// the device's first round.
struct Shown {
    const BatteryRecord* record = nullptr;
    int cells = 0;
    float low = 0, high = 0;
};
Shown ShownOf(const BusDevice& d) {
    if (!d.last) return {};
    const int cells = d.CellsShown();
    const auto [low, high] = CellRange(*d.last, cells);
    return {&*d.last, cells, low, high};
}

const Line kNoValues{"   no values yet", Look::kFaint};

bool Current(const BusDevice& d) { return d.health.state() == DeviceHealth::State::kAnswering; }

// Said before values that are not current, so they never pass for current.
std::string AgeNote(const BusDevice& d, run::WallClock::time_point now) {
    if (Current(d)) return "";
    if (!d.health.ever_answered()) return "restored, saved " + d.last_round_at + ": ";
    const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - d.health.last_round().wall);
    return "as of " + runtext::Clock(d.health.last_round().wall, false) + ", " + runtext::Seconds(age) + " old: ";
}

Look HeadingLook(const BusDevice& d) { return Current(d) ? Look::kHeading : Look::kAlarm; }

std::string Counts(const BusDevice& d) {
    const std::string late = d.health.late_replies() > 0 ? ", replies late up to " + runtext::Seconds(d.health.late_by()) : "";
    return std::to_string(d.completed) + "/" + std::to_string(d.cycles + d.missed) + " cycles" +
           (d.Lost() > 0 ? ", lost " + std::to_string(d.Lost()) + " (" + runtext::Failures(d.failures) + ")" : "") +
           (d.late_polls > 0 ? ", " + std::to_string(d.late_polls) + " late polls" : "") + late;
}

std::string Values(const BusDevice& d) {
    const auto& r = *d.last;
    return Reading(Kind::kString, r.group_voltage) + " V  " + Reading(Kind::kCurrent, r.group_current) + " A  " +
           Reading(Kind::kTemperature, r.temperature) + " °C";
}

std::string AlarmsLine(const BusDevice& d) {
    std::string out;
    for (const auto& a : d.StandingAlarms())
        out += (out.empty() ? "   ALARM " : ", ") + a.label + " " + ValueText::WithUnit(a.name, a.value) +
               (a.bound == "low" ? " < " : " > ") + ValueText::WithUnit(a.name, a.limit);
    return out;
}

// Every cell with its bar, in columns, then the string's readings.
std::vector<Line> CellGrid(const BusDevice& d, const Shown& shown, int cols, run::WallClock::time_point now) {
    std::vector<Line> out;
    const Look values = Current(d) ? Look::kPlain : Look::kOld;
    const auto& r = *shown.record;
    const int columns = std::clamp(cols / kCellColumnWidth, 1, kMaxCellColumns);
    const int rows = (shown.cells + columns - 1) / columns;
    if (!Current(d)) out.push_back({"   " + AgeNote(d, now), Look::kOld});
    for (int row = 0; row < rows; ++row) {
        std::string line = " ";
        for (int col = 0; col < columns; ++col) {
            const int i = col * rows + row;
            if (i >= shown.cells) break;
            char num[16];
            std::snprintf(num, sizeof num, "%3d", i + 1);
            line += std::string(num) + " " + Reading(Kind::kCell, r.cells[i], 6) + " V " +
                    ScreenLayout::Bar(r.cells[i], shown.low, shown.high, kBarWidth) +
                    (d.alarms.IsStanding("battery_" + std::to_string(i) + "_value") ? " !" : "  ") + "  ";
        }
        out.push_back({line, values});
    }
    out.push_back({"   string " + Reading(Kind::kString, r.group_voltage) + " V   current " +
                       Reading(Kind::kCurrent, r.group_current) + " A   temperature " +
                       Reading(Kind::kTemperature, r.temperature) + " °C",
                   values});
    return out;
}

// The string's readings and the cells as one line of small bars.
Line CompactValues(const BusDevice& d, const Shown& shown, run::WallClock::time_point now) {
    const auto& r = *shown.record;
    const BatteryRecord::CellSpan span = r.CellsRead(shown.cells);
    const float lo = span.low, hi = span.high;
    std::string sparks;
    for (int i = 0; i < shown.cells; ++i) {
        if (!BatteryRecord::HasValue(r.cells[i])) {
            sparks += " ";
            continue;
        }
        const double frac =
            std::clamp((static_cast<double>(r.cells[i]) - shown.low) / (shown.high - shown.low), 0.0, 1.0);
        sparks += kSparks[static_cast<int>(std::lround(frac * 7))];
    }
    return {"   " + AgeNote(d, now) + Values(d) + "  cells " + Reading(Kind::kCell, lo) + ".." + Reading(Kind::kCell, hi) + " V " + sparks,
            Current(d) ? Look::kPlain : Look::kOld};
}

// The device's health in the fewest words that keep the reason: "not
// answering (timeout)".
std::string ShortState(const BusDevice& d) {
    const DeviceHealth& h = d.health;
    std::string out = DeviceHealth::StateName(h.state());
    if (h.state() != DeviceHealth::State::kAnswering && h.last_reason())
        out += " (" + std::string(FailureName(*h.last_reason())) + ")";
    return out;
}

// The first of the forms of a line that fits the width, else the last: a
// narrow screen loses where a device sits and its counts, never the reason
// it is not answering.
std::string Shortest(const std::vector<std::string>& forms, int cols) {
    for (const auto& f : forms)
        if (ScreenLayout::Width(f) <= static_cast<std::size_t>(std::max(cols, 0))) return f;
    return forms.back();
}

std::string Who(const BusDevice& d) { return "device " + std::to_string(d.conf.id); }

std::vector<Line> FullBlock(const BusDevice& d, int cols, run::WallClock::time_point now) {
    std::vector<Line> out;
    out.push_back({Shortest({"── " + Who(d) + "  " + d.conf.type + "  " + d.port_path + " addr " +
                                 std::to_string(d.conf.addr) + "  ·  " + runtext::State(d),
                             "── " + Who(d) + "  ·  " + runtext::State(d), "── " + Who(d) + ": " + ShortState(d)},
                            cols),
                   HeadingLook(d)});
    const Shown shown = ShownOf(d);
    const auto values = shown.record ? CellGrid(d, shown, cols, now) : std::vector<Line>{kNoValues};
    out.insert(out.end(), values.begin(), values.end());
    out.push_back({"   " + Counts(d) + "   resends " + std::to_string(d.resends) + "   last round " +
                       (d.last_round_at.empty() ? "-" : d.last_round_at),
                   Look::kPlain});
    for (const auto& a : d.StandingAlarms())
        out.push_back({"   ALARM " + a.label + " " + a.name + " " + ValueText::WithUnit(a.name, a.value) +
                           (a.bound == "low" ? " < low " : " > high ") + ValueText::WithUnit(a.name, a.limit),
                       Look::kAlarm});
    return out;
}

std::string Heading(const BusDevice& d, int cols, const std::string& tail = std::string()) {
    return Shortest({Who(d) + ": " + runtext::State(d) + " · " + Counts(d) + tail, Who(d) + ": " + runtext::State(d) + tail,
                     Who(d) + ": " + ShortState(d) + tail},
                    cols);
}

std::vector<Line> CompactBlock(const BusDevice& d, int cols, run::WallClock::time_point now) {
    const Shown shown = ShownOf(d);
    std::vector<Line> out{{Heading(d, cols), HeadingLook(d)}, shown.record ? CompactValues(d, shown, now) : kNoValues};
    if (const std::string alarms = AlarmsLine(d); !alarms.empty()) out.push_back({alarms, Look::kAlarm});
    return out;
}

std::vector<Line> MinimalBlock(const BusDevice& d, int cols) {
    const std::size_t alarms = d.StandingAlarms().size();
    return {{Heading(d, cols, alarms ? " · " + std::to_string(alarms) + " ALARM" : ""), alarms ? Look::kAlarm : HeadingLook(d)}};
}

std::size_t Height(const std::vector<std::vector<Line>>& blocks, std::size_t gap) {
    std::size_t n = 0;
    for (const auto& b : blocks) n += b.size() + gap;
    return n;
}

}  // namespace

std::size_t ScreenLayout::Width(const std::string& text) {
    std::size_t cols = 0;
    for (std::size_t i = 0; i < text.size();) cols += static_cast<std::size_t>(CharWidth(Decode(text, i)));
    return cols;
}

std::string ScreenLayout::Fit(const std::string& text, std::size_t cols) {
    std::size_t used = 0, i = 0;
    while (i < text.size()) {
        std::size_t next = i;
        const int w = CharWidth(Decode(text, next));
        if (used + static_cast<std::size_t>(w) > cols) break;
        used += static_cast<std::size_t>(w);
        i = next;
    }
    return text.substr(0, i);
}

std::string ScreenLayout::Bar(float value, float low, float high, int width) {
    if (!(high > low) || width <= 0) return std::string();
    double frac = (static_cast<double>(value) - low) / (static_cast<double>(high) - low);
    if (std::isnan(frac)) frac = 0;
    frac = std::clamp(frac, 0.0, 1.0);
    const int full = static_cast<int>(std::lround(frac * width));
    std::string bar;
    for (int i = 0; i < width; ++i) bar += i < full ? "█" : "·";
    return bar;
}

std::vector<Line> ScreenLayout::Lay(const Content& c, int rows, int cols) {
    if (rows <= 0 || cols <= 0) return {};
    std::vector<Line> out;
    // The page's address first after the name: the rest of the title may be
    // cut on a narrow terminal, the address must not be.
    out.push_back({"bench-host run  " + (c.web_page.empty() ? "" : c.web_page + "  ") + runtext::Clock(c.now, false) +
                       "  " + std::to_string(c.devices.size()) + (c.devices.size() == 1 ? " device" : " devices") +
                       "  (Ctrl-C stops)",
                   Look::kTitle});
    const std::size_t budget = rows > 2 ? static_cast<std::size_t>(rows - 2) : 0;  // title, plug-in line
    const std::size_t for_events = c.events.empty() ? 0 : std::min<std::size_t>(kMinEventRows, budget / 3);

    std::vector<std::vector<Line>> full, compact, minimal;
    for (const BusDevice* d : c.devices) {
        full.push_back(FullBlock(*d, cols, c.now));
        compact.push_back(CompactBlock(*d, cols, c.now));
        minimal.push_back(MinimalBlock(*d, cols));
    }
    const std::vector<std::vector<Line>>* blocks = &minimal;
    std::size_t gap = 0;
    if (Height(full, 1) + for_events <= budget) {
        blocks = &full;
        gap = 1;
    } else if (Height(compact, 0) + for_events <= budget) {
        blocks = &compact;
    }
    for (const auto& b : *blocks) {
        if (gap) out.push_back({"", Look::kPlain});
        out.insert(out.end(), b.begin(), b.end());
    }
    // More devices than rows: the last row says so.
    if (out.size() > budget + 1) {
        const std::size_t hidden_from = budget;  // rows 1..budget-1 stay
        out.resize(hidden_from);
        out.push_back({"… more devices than the screen has rows", Look::kFaint});
    }

    const std::size_t left = budget + 1 > out.size() ? budget + 1 - out.size() : 0;
    if (left >= 2 && !c.events.empty()) {
        out.push_back({"── events", Look::kHeading});
        const std::size_t shown = std::min(left - 1, c.events.size());
        out.insert(out.end(), c.events.end() - static_cast<std::ptrdiff_t>(shown), c.events.end());
    }
    if (rows >= 2) {
        while (out.size() < static_cast<std::size_t>(rows - 1)) out.push_back({"", Look::kPlain});
        std::string plugin = "plug-in: " + std::to_string(c.plugin_lines) + " console line" +
                             (c.plugin_lines == 1 ? "" : "s");
        if (c.plugin_lines > 0) plugin += ", last: " + c.last_plugin_line;
        if (!c.plugin_log.empty()) plugin += "  (all in " + c.plugin_log + ")";
        out.push_back({plugin, Look::kFaint});
    }
    out.resize(std::min(out.size(), static_cast<std::size_t>(rows)));
    for (auto& l : out) l.text = Fit(l.text, static_cast<std::size_t>(cols));
    return out;
}
