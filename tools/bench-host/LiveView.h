#pragma once
// The live view of `bench-host run`: every device's cells with a bar each,
// string voltage, current, temperature, cycle counts and the time of the
// last completed round, standing alarms, and the latest events.  Rendered
// as text; on a terminal it is redrawn in place.
#include <deque>
#include <string>
#include <vector>

struct BusDevice;

class LiveView {
public:
    explicit LiveView(bool terminal) : terminal_(terminal) {}

    void AddEvent(const std::string& line);
    // The whole view as text (no terminal control sequences).
    std::string Render(const std::vector<const BusDevice*>& devices, const std::string& clock) const;
    // Redraws the view in place on the terminal.
    void Draw(std::ostream& out, const std::vector<const BusDevice*>& devices, const std::string& clock) const;

    // A bar of width characters for value between low and high.
    static std::string Bar(float value, float low, float high, int width);

private:
    bool terminal_;
    std::deque<std::string> events_;
};
