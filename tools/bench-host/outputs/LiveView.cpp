#include "outputs/LiveView.h"

#include <langinfo.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "basics/TextEscape.h"
#include "bus/BusDevice.h"
#include "outputs/RunText.h"

// Last: the curses macros (move, erase, timeout...) would clash with the
// standard library's names, and term.h names a macro after every terminal
// capability (lines, columns...).
#define NCURSES_NOMACROS
#include <curses.h>
#include <term.h>

namespace {

// Events kept for the screen; more than any screen shows.
constexpr std::size_t kEventsKept = 200;
// A burst of events is drawn at most this often; the clock at least once a
// second.
constexpr std::chrono::milliseconds kMinRedraw{200};
constexpr std::chrono::seconds kMaxRedraw{1};

volatile sig_atomic_t g_resized = 0;
void OnResize(int) { g_resized = 1; }

// The labels and bars are UTF-8; curses writes them only under a UTF-8
// character type, so one is taken when the environment's is not.
void UseUtf8Ctype() {
    if (std::setlocale(LC_CTYPE, "") == nullptr || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
}

attr_t Attribute(ScreenLayout::Look look) {
    switch (look) {
        case ScreenLayout::Look::kTitle: return A_REVERSE;
        case ScreenLayout::Look::kHeading: return A_BOLD;
        case ScreenLayout::Look::kOld: return A_DIM;
        case ScreenLayout::Look::kAlarm: return A_BOLD | A_STANDOUT;
        case ScreenLayout::Look::kFaint: return A_DIM;
        case ScreenLayout::Look::kPlain: break;
    }
    return A_NORMAL;
}

struct sigaction g_previous_winch {};

}  // namespace

bool LiveView::Usable(int fd) {
    if (!::isatty(fd)) return false;
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0) return false;
    int err = 0;
    if (setupterm(nullptr, fd, &err) != OK) return false;
    const char* cup = tigetstr("cup");
    const bool addressable = cup != nullptr && cup != reinterpret_cast<char*>(-1);
    del_curterm(cur_term);
    return addressable;
}

LiveView::LiveView(std::ostream& out, std::ostream& err, std::string plugin_log) : out_(out), err_(err) {
    content_.plugin_log = plugin_log;
    UseUtf8Ctype();
}

LiveView::~LiveView() { Stop(); }

void LiveView::Start() {
    // Installed before curses starts, so that curses leaves SIGWINCH to us:
    // the loop's poll is interrupted and the next refresh redraws.
    struct sigaction sa {};
    sa.sa_handler = OnResize;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGWINCH, &sa, &g_previous_winch);
    std::fflush(stdout);
    screen_ = newterm(nullptr, stdout, stdin);
    if (screen_ == nullptr) return;
    noecho();
    curs_set(0);
    Draw();
}

void LiveView::Stop() {
    if (screen_ == nullptr) return;
    endwin();
    delscreen(screen_);
    screen_ = nullptr;
    ::sigaction(SIGWINCH, &g_previous_winch, nullptr);
    std::fflush(stdout);
}

void LiveView::AddEvent(const std::string& line, ScreenLayout::Look look) {
    content_.events.push_back({TextEscape::Line(line), look});
    while (content_.events.size() > kEventsKept) {
        content_.events.pop_front();
        ++events_dropped_;
    }
    dirty_ = true;
}

void LiveView::OnEvent(const RunEvent& event) {
    using Look = ScreenLayout::Look;
    if (const auto note = runtext::Note(event)) {
        if (std::holds_alternative<run::OutputLost>(event)) err_ << TextEscape::Line("bench-host: " + *note) << std::endl;
        const bool trouble = std::holds_alternative<run::AlarmRaised>(event) ||
                             std::holds_alternative<run::PortLost>(event) ||
                             std::holds_alternative<run::DeviceCallFailed>(event) ||
                             std::holds_alternative<run::StoreFailed>(event) ||
                             std::holds_alternative<run::ClockStepped>(event) ||
                             std::holds_alternative<run::HistoryLost>(event) ||
                             (std::holds_alternative<run::HealthChanged>(event) &&
                              std::get<run::HealthChanged>(event).change.to != DeviceHealth::State::kAnswering);
        AddEvent(runtext::Clock(false) + " " + *note, trouble ? Look::kAlarm : Look::kPlain);
        return;
    }
    std::visit(Overloaded{
                   [&](const run::RunStarted& e) {
                       content_.devices = e.devices;
                       content_.web_page = e.web_page;
                       AddEvent(runtext::Clock(false) + " " + runtext::Started(e), ScreenLayout::Look::kPlain);
                       Start();
                   },
                   [&](const run::SetupFailed& e) { err_ << TextEscape::Line("bench-host: " + e.why) << std::endl; },
                   [&](const run::PluginLine& e) {
                       ++content_.plugin_lines;
                       content_.last_plugin_line = TextEscape::Line(e.line);
                       dirty_ = true;
                   },
                   [&](const run::RoundCompleted&) { dirty_ = true; },
                   [&](const run::ExchangeFailed&) { dirty_ = true; },
                   [&](const run::RunEnded& e) {
                       Draw();
                       Stop();
                       // The screen is gone with the view: what happened
                       // stays on the terminal above the summary.
                       out_ << "events" << (events_dropped_ > 0 ? " (the last " + std::to_string(content_.events.size()) +
                                                                      ", " + std::to_string(events_dropped_) +
                                                                      " earlier not kept)"
                                                                : std::string())
                            << ":\n";
                       for (const auto& ev : content_.events) out_ << ev.text << "\n";
                       for (const auto& line : runtext::Summary(e)) out_ << TextEscape::Line(line) << "\n";
                       out_.flush();
                       for (const auto& line : runtext::Complaints(e)) err_ << TextEscape::Line(line) << std::endl;
                   },
                   [](const auto&) {},
               },
               event);
}

void LiveView::Refresh(std::chrono::steady_clock::time_point now) {
    if (screen_ == nullptr) return;
    if (g_resized || (dirty_ && now - last_draw_ >= kMinRedraw) || now - last_draw_ >= kMaxRedraw) Draw();
}

void LiveView::Draw() {
    if (screen_ == nullptr) return;
    if (g_resized) {
        g_resized = 0;
        winsize ws{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
            resizeterm(ws.ws_row, ws.ws_col);
        clearok(stdscr, TRUE);
    }
    content_.now = run::WallClock::now();
    const auto screen = ScreenLayout::Lay(content_, LINES, COLS);
    for (int row = 0; row < LINES; ++row) {
        wmove(stdscr, row, 0);
        if (row < static_cast<int>(screen.size())) {
            wattrset(stdscr, Attribute(screen[row].look));
            waddstr(stdscr, screen[row].text.c_str());
            wattrset(stdscr, A_NORMAL);
        }
        wclrtoeol(stdscr);
    }
    wrefresh(stdscr);
    last_draw_ = std::chrono::steady_clock::now();
    dirty_ = false;
}
