#pragma once
// One way of showing a run to its user: fed every run event in the order
// they happen.
#include <chrono>

#include "events/RunEvent.h"

class RunOutput {
public:
    virtual ~RunOutput() = default;
    virtual void OnEvent(const RunEvent& event) = 0;
    // Called by the loop between events, at least once a second, for
    // outputs that show time passing (the live view's clock and ages).
    virtual void Refresh(std::chrono::steady_clock::time_point /*now*/) {}
};

