#pragma once
// What the bus keeps of one device between its turns: the cycle it has
// open, its place on its grid of ticks, the late answer kept for it and its
// round until the bus has shown it in step.  The scheduler's own
// bookkeeping, kept apart from the device (BusDevice), which holds what the
// run shows of it: its identity, counts and health.
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "bus/BusDevice.h"
#include "bus/RoundHold.h"
#include "record/FailureReason.h"

struct DeviceCycle {
    using Clock = std::chrono::steady_clock;

    explicit DeviceCycle(BusDevice& d) : device(d) {}
    DeviceCycle(const DeviceCycle&) = delete;
    DeviceCycle& operator=(const DeviceCycle&) = delete;

    BusDevice& device;

    // The open cycle.
    bool cycle_open = false;
    int resends_in_cycle = 0;
    std::optional<FailureReason> cycle_failure;  // the last failed exchange of the open cycle
    Clock::time_point failed_request_at{};       // the first request of the open cycle that failed
    // A reply came during the open cycle that no request explains: its
    // values may answer other requests.
    bool cycle_out_of_step = false;
    // One of its requests had two whole answers while nothing was owed: two
    // monitors may share the address.
    bool cycle_two_answers = false;
    Clock::time_point cycle_started_at{};
    Clock::time_point request_sent_at{};  // the last request written
    uint8_t request_command = 0;          // its command; 0 when the bytes were no request
    // The bytes handed to the device since that request, as the device
    // gathers them: a reply cut in pieces is read whole.
    std::vector<uint8_t> handed_over;

    // Its place on its grid of ticks (PollPlan): when the tick that started
    // the open cycle was due, and its next poll.
    Clock::time_point cycle_due_at{};
    Clock::time_point next_poll{};
    // Probes since it was last ticked: each waits twice as long as the one
    // before, up to the probe interval.
    int backoff_steps = 0;
    // The tick whose failed cycle is run again, and the last tick that was:
    // once a tick.
    std::optional<Clock::time_point> rerun_of;
    std::optional<Clock::time_point> last_rerun;

    // The late reply to its last request, given up on but the only one its
    // monitor owed: handed to it as the answer at its next turn on the bus,
    // in the place of a resend (LateAnswers).
    std::vector<uint8_t> late_answer;

    // Its round, open and held.
    RoundHold rounds;

    // The device started a cycle now: a fresh one, nothing of the last kept.
    void Start(Clock::time_point now) {
        cycle_open = true;
        resends_in_cycle = 0;
        cycle_failure.reset();
        cycle_out_of_step = false;
        cycle_two_answers = false;
        rounds.NewCycle();
        cycle_started_at = now;
        cycle_due_at = now;
    }
};
