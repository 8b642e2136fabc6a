#include "events/RunEvents.h"

void RunEvents::Publish(const RunEvent& event) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (RunOutput* o : outputs_) o->OnEvent(event);
}

void RunEvents::Refresh(std::chrono::steady_clock::time_point now) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (RunOutput* o : outputs_) o->Refresh(now);
}
