#include "outputs/OutputWatch.h"

#include <cerrno>
#include <cstring>

#include "events/RunEvents.h"

void OutputWatch::OnEvent(const RunEvent& event) {
    if (!std::holds_alternative<run::OutputLost>(event)) Check();
}

void OutputWatch::Refresh(std::chrono::steady_clock::time_point) { Check(); }

void OutputWatch::Check() {
    if (lost_ || watched_.good()) return;
    lost_ = true;
    // errno still tells why the last write failed (EPIPE for a closed pipe)
    // unless something since has set it again: then the state is all.
    events_.Publish(run::OutputLost{errno == EPIPE ? std::strerror(EPIPE) : "a write failed"});
}
