#pragma once
// The live view of `bench-host run` on a terminal (ncurses): every device
// with its health, its values (marked with their age when they are not
// current), standing alarms, the latest events, and a count of the
// plug-in's console lines.  It fits the terminal and follows a resize.  At
// the end the screen is given back and the summary follows as plain lines.
#include <chrono>
#include <ostream>
#include <string>

#include "events/RunOutput.h"
#include "outputs/ScreenLayout.h"

struct screen;

class LiveView : public RunOutput {
public:
    // Whether the terminal on fd can be drawn on: a terminal whose type
    // has cursor addressing ("dumb" has none).
    static bool Usable(int fd);

    // plugin_log: where the plug-in's console lines are kept in full, named
    // on the screen ("" when nowhere).
    LiveView(std::ostream& out, std::ostream& err, std::string plugin_log);
    ~LiveView() override;
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    void OnEvent(const RunEvent& event) override;
    void Refresh(std::chrono::steady_clock::time_point now) override;

private:
    void AddEvent(const std::string& line, ScreenLayout::Look look);
    void Start();
    void Stop();
    void Draw();

    std::ostream& out_;
    std::ostream& err_;
    ScreenLayout::Content content_;
    long events_dropped_ = 0;  // the oldest, past what the view keeps
    screen* screen_ = nullptr;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point last_draw_{};
};
