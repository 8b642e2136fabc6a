#pragma once
// What the live view shows, laid out for a screen of a given size: a title,
// one block per device (its health first, its values marked with their age
// whenever they are not current), the latest events (health changes,
// alarms, ports), and one line for the plug-in's console lines, so these
// never push health lines or alarms out of view.  Pure text, so the layout
// is tested without a terminal; LiveView puts it on the screen.
//
// The blocks shrink with the screen: every cell with a bar when there is
// room, otherwise two lines a device (cells as one line of small bars),
// otherwise one.
#include <deque>
#include <string>
#include <vector>

#include "events/RunEvent.h"

struct BusDevice;

class ScreenLayout {
public:
    enum class Look { kPlain, kTitle, kHeading, kOld, kAlarm, kFaint };
    struct Line {
        std::string text;
        Look look = Look::kPlain;
    };

    struct Content {
        std::vector<const BusDevice*> devices;
        std::deque<Line> events;  // oldest first
        long plugin_lines = 0;
        std::string last_plugin_line;
        std::string plugin_log;  // where all of them go, "" when nowhere
        std::string web_page;    // the page's address with --http; "" without
        run::WallClock::time_point now;
    };

    // At most rows lines of at most cols columns each.
    static std::vector<Line> Lay(const Content& content, int rows, int cols);

    // Columns a UTF-8 text takes on a terminal (two for the wide CJK
    // characters of the labels).
    static std::size_t Width(const std::string& text);
    // The text cut to cols columns.
    static std::string Fit(const std::string& text, std::size_t cols);
    // A bar of width characters for value between low and high.
    static std::string Bar(float value, float low, float high, int width);
};
