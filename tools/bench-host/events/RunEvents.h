#pragma once
// The fan-out of run events: every part of a run publishes here, every
// output subscribed hears each event in publication order.  Any thread may
// publish (the history's pruner does, from its own); the outputs hear one
// event at a time.  An output may publish while it hears one.
#include <chrono>
#include <mutex>
#include <vector>

#include "events/RunOutput.h"

class RunEvents {
public:
    void Subscribe(RunOutput& output) { outputs_.push_back(&output); }
    void Publish(const RunEvent& event) const;
    void Refresh(std::chrono::steady_clock::time_point now) const;

private:
    std::vector<RunOutput*> outputs_;
    mutable std::recursive_mutex mutex_;
};
