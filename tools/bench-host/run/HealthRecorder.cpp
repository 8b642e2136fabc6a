#include "run/HealthRecorder.h"

#include <algorithm>
#include <chrono>

#include "bus/BusDevice.h"
#include "run/StoreThread.h"

namespace {

int64_t Ms(run::WallClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

void HealthRecorder::OnEvent(const RunEvent& event) {
    const auto* e = std::get_if<run::HealthChanged>(&event);
    if (!e) return;
    const TimeStamp at = TimeStamp::Now();
    const TimeStamp since = TimeStamp::FromMs(Ms(e->change.since.wall));
    history::Health h;
    h.device_id = e->device->conf.id;
    h.at = at.Text();
    h.at_ms = at.Ms();
    h.state = DeviceHealth::StateName(e->change.to);
    h.was = DeviceHealth::StateName(e->change.from);
    h.since = since.Text();
    h.since_ms = since.Ms();
    h.cycles_lost = e->change.cycles_lost;
    if (e->change.reason) h.reason = FailureName(*e->change.reason);
    h.since_mono_ms = std::chrono::duration_cast<std::chrono::milliseconds>(e->change.since.mono - origin_).count();
    const auto began = since_.find(h.device_id);
    if (began != since_.end())
        h.lasted_ms = std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(e->change.since.mono - began->second).count());
    since_[h.device_id] = e->change.since.mono;
    store_.Offer(StoreQueue::Item{h});
}
