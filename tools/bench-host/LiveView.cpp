#include "LiveView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "BusDevice.h"
#include "JsonLine.h"
#include "RunText.h"

namespace {

constexpr std::size_t kEventsShown = 6;
constexpr int kBarWidth = 12;
constexpr int kColumns = 3;
// A burst of events is drawn at most this often; the clock at least once a
// second.
constexpr std::chrono::milliseconds kMinRedraw{200};
constexpr std::chrono::seconds kMaxRedraw{1};

std::string Fixed(float v, int decimals) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(v));
    return buf;
}

// Display width of a UTF-8 string: one column per character, two for the
// wide (CJK) ones the labels use.
std::size_t Columns(const std::string& s) {
    std::size_t cols = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
        cols += len >= 3 ? 2 : 1;
        i += static_cast<std::size_t>(len);
    }
    return cols;
}

std::string Pad(const std::string& s, std::size_t width) {
    const std::size_t cols = Columns(s);
    return cols >= width ? s : s + std::string(width - cols, ' ');
}

}  // namespace

void LiveView::AddEvent(const std::string& line) {
    events_.push_back(line);
    while (events_.size() > kEventsShown) events_.pop_front();
    dirty_ = true;
}

std::string LiveView::Bar(float value, float low, float high, int width) {
    if (!(high > low) || width <= 0) return std::string();
    double frac = (static_cast<double>(value) - low) / (static_cast<double>(high) - low);
    if (std::isnan(frac)) frac = 0;
    frac = std::clamp(frac, 0.0, 1.0);
    const int full = static_cast<int>(std::lround(frac * width));
    std::string bar;
    for (int i = 0; i < width; ++i) bar += i < full ? "█" : "·";
    return bar;
}

void LiveView::OnEvent(const RunEvent& event) {
    if (const auto note = runtext::Note(event)) {
        AddEvent(runtext::Clock(false) + " " + *note);
        return;
    }
    std::visit(Overloaded{
                   [&](const run::RunStarted& e) {
                       devices_ = e.devices;
                       started_ = true;
                       out_ << "\x1b[2J" << std::flush;
                       Draw();
                   },
                   [&](const run::SetupFailed& e) { err_ << "bench-host: " << e.why << std::endl; },
                   [&](const run::StoreFailed& e) { err_ << "bench-host: " << e.what << std::endl; },
                   [&](const run::PluginLine& e) { AddEvent("plug-in: " + e.line); },
                   [&](const run::RoundCompleted&) { dirty_ = true; },
                   [&](const run::RunEnded& e) {
                       if (started_) Draw();
                       for (const auto& line : runtext::Summary(e)) out_ << line << "\n";
                       out_.flush();
                       for (const auto& line : runtext::Complaints(e)) err_ << line << std::endl;
                   },
                   [](const auto&) {},
               },
               event);
}

void LiveView::Refresh(std::chrono::steady_clock::time_point now) {
    if (!started_) return;
    if ((dirty_ && now - last_draw_ >= kMinRedraw) || now - last_draw_ >= kMaxRedraw) Draw();
}

std::string LiveView::Render(const std::string& clock) const {
    std::string out = "bench-host run  " + clock + "  (Ctrl-C stops)\n";
    for (const BusDevice* d : devices_) {
        out += "\n── device " + std::to_string(d->conf.id) + "  " + d->conf.type + "  " + d->port_path + " addr " +
               std::to_string(d->conf.addr) + "\n";
        if (!d->last) {
            out += "   no completed round yet\n";
        } else {
            const auto& r = *d->last;
            const int cells = d->cell_count > 0 ? d->cell_count : 29;
            // Blocks of 12 V (readings in hundredths) or 6 V (millivolts).
            float sum = 0;
            int n = 0;
            for (int i = 0; i < cells; ++i)
                if (r.cells[i] > 0) sum += r.cells[i], ++n;
            const bool six_volt = n > 0 && sum / n < 8.0f;
            const float low = six_volt ? 4.5f : 10.5f, high = six_volt ? 7.5f : 14.5f;
            const int rows = (cells + kColumns - 1) / kColumns;
            for (int row = 0; row < rows; ++row) {
                std::string line = " ";
                for (int col = 0; col < kColumns; ++col) {
                    const int i = col * rows + row;
                    if (i >= cells) break;
                    const std::string name = "battery_" + std::to_string(i) + "_value";
                    char num[16];
                    std::snprintf(num, sizeof num, "%3d", i + 1);
                    line += std::string(num) + " " + Fixed(r.cells[i], 3) + " V " + Bar(r.cells[i], low, high, kBarWidth) +
                            (d->alarms.IsStanding(name) ? " !" : "  ") + "  ";
                }
                out += line + "\n";
            }
            out += "   string " + Fixed(r.group_voltage, 2) + " V   current " + Fixed(r.group_current, 2) +
                   " A   temperature " + Fixed(r.temperature, 2) + " °C\n";
        }
        out += "   cycles " + std::to_string(d->cycles) + "   completed " + std::to_string(d->completed) +
               "   failures " + std::to_string(d->abandoned) + "   resends " + std::to_string(d->resends) +
               "   last round " + (d->last_round_at.empty() ? "-" : d->last_round_at) + "\n";
        for (const auto& a : d->alarms.Standing())
            out += "   ALARM " + Pad(a.label, 12) + " " + a.name + " " + JsonLine::FormatFloat(a.value) +
                   (a.bound == "low" ? " < low " : " > high ") + JsonLine::FormatFloat(a.limit) + "\n";
    }
    if (!events_.empty()) {
        out += "\n";
        for (const auto& e : events_) out += "  " + e + "\n";
    }
    return out;
}

void LiveView::Draw() {
    const std::string text = Render(runtext::Clock(false));
    // Home, draw, clear what an earlier, longer frame left below.
    out_ << "\x1b[H";
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        out_ << text.substr(start, end - start) << "\x1b[K\n";
        if (end == std::string::npos) break;
        start = end + 1;
    }
    out_ << "\x1b[J";
    out_.flush();
    last_draw_ = std::chrono::steady_clock::now();
    dirty_ = false;
}
