#pragma once
// The fan-out of run events: every part of a run publishes here, every
// output subscribed hears each event in publication order.
#include <chrono>
#include <vector>

#include "events/RunOutput.h"

class RunEvents {
public:
    void Subscribe(RunOutput& output) { outputs_.push_back(&output); }
    void Publish(const RunEvent& event) const;
    void Refresh(std::chrono::steady_clock::time_point now) const;

private:
    std::vector<RunOutput*> outputs_;
};
