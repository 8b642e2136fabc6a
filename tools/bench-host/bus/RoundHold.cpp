#include "bus/RoundHold.h"

#include <utility>

RoundHold::Fate RoundHold::AtCycleEnd(bool out_of_step, int owed, Clock::duration hold) {
    if (out_of_step) return Fate::kDrop;
    // A reply given up on in this round may have come in the place of
    // another: the round waits, its monitor not asked, for as long as that
    // reply may still come.
    if (owed > 0) return Fate::kHoldOwed;
    // A second monitor at the same address may answer the last request too.
    return hold > Clock::duration::zero() ? Fate::kHold : Fate::kStore;
}

std::optional<FailureReason> RoundHold::Spoiled(Touch touch, bool holding, bool owed, bool owes_nothing_lately) {
    if (!holding) return std::nullopt;
    switch (touch) {
        case Touch::kUnexplained:
            // Owing a reply since (its next cycle timed out), the monitor may
            // be sending that one, late: no sign of a second answer.
            if (owes_nothing_lately) return FailureReason::kTwoAnswers;
            break;
        case Touch::kItsReply:
            // A reply it owed came after all: the round's replies were not
            // all its own.
            if (owed) return FailureReason::kLateDiscarded;
            break;
        case Touch::kOutOfStep:
            // Its round before this one may have been answered twice as well.
            return owed ? FailureReason::kLateDiscarded : FailureReason::kTwoAnswers;
    }
    return std::nullopt;
}

RoundHold::Round RoundHold::TakeOpen() {
    Round r = std::move(open_);
    open_ = Round{};
    return r;
}

void RoundHold::Hold(Clock::time_point until, bool owed) {
    held_ = std::move(open_);
    open_ = Round{};
    until_ = until;
    owed_ = owed;
}

RoundHold::Round RoundHold::TakeHeld() {
    Round r = std::move(held_);
    DropHeld();
    return r;
}

void RoundHold::DropHeld() {
    held_ = Round{};
    until_.reset();
    owed_ = false;
}
