#include "run/NoteRecorder.h"

#include "bus/BusDevice.h"
#include "outputs/RunText.h"
#include "run/StoreThread.h"

void NoteRecorder::OnEvent(const RunEvent& event) {
    history::Note n;
    if (const auto* e = std::get_if<run::ClockStepped>(&event)) {
        const TimeStamp at = TimeStamp::FromMs(
            std::chrono::duration_cast<std::chrono::milliseconds>(e->at.time_since_epoch()).count());
        n.at = at.Text();
        n.at_ms = at.Ms();
        n.kind = "clock step";
        n.step_ms = e->step.count();
    } else if (const auto* h = std::get_if<run::FloatAlarmsHeld>(&event)) {
        const TimeStamp at = TimeStamp::FromMs(h->hold.at_ms);
        n.at = at.Text();
        n.at_ms = at.Ms();
        n.kind = h->hold.Kind();
        n.device_id = h->device->conf.id;
    } else if (std::holds_alternative<run::OutputLost>(event)) {
        const TimeStamp at = TimeStamp::Now();
        n.at = at.Text();
        n.at_ms = at.Ms();
        n.kind = "output lost";
    } else {
        return;
    }
    n.text = runtext::Note(event).value_or("");
    store_.Offer(StoreQueue::Item{n});
}
