#pragma once
// The live view of `bench-host run`: every device's cells with a bar each,
// string voltage, current, temperature, cycle counts and the time of the
// last completed round, standing alarms, and the latest events, redrawn in
// place on the terminal.  At the end the summary follows as plain lines.
#include <chrono>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "RunOutput.h"

struct BusDevice;

class LiveView : public RunOutput {
public:
    LiveView(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

    void OnEvent(const RunEvent& event) override;
    void Refresh(std::chrono::steady_clock::time_point now) override;

    // The whole view as text (no terminal control sequences).
    std::string Render(const std::string& clock) const;

    // A bar of width characters for value between low and high.
    static std::string Bar(float value, float low, float high, int width);

private:
    void AddEvent(const std::string& line);
    void Draw();

    std::ostream& out_;
    std::ostream& err_;
    std::vector<const BusDevice*> devices_;
    std::deque<std::string> events_;
    bool started_ = false;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point last_draw_{};
};
