#pragma once
// A device's round, from the first value the plug-in hands over in a cycle
// to the moment the bus stores it or drops it.  The plug-in hands over its
// threshold checks and its record as the cycle runs; the bus stores them
// only once it has shown that the round's replies answered the device's
// own requests, since a reply carries no command code:
//
//   cycle ended whole, and ...          the round is
//   went out of step                    dropped ("two answers" when its
//                                       monitor answered one request twice
//                                       owing nothing, else "late, discarded")
//   its monitor still owes a reply      held, the monitor not asked, while
//                                       that reply may still come
//   owes nothing, a second answer to    held until that answer would be
//   its last request may still come    overdue
//   nothing more can come               stored at once
//
// A held round is stored once its time has passed quietly, or as soon as
// the device completes its next round in step (a whole cycle since stands
// for it).  While it is held, bytes touch it as RoundHold::Spoiled says.
// No I/O and no clock of its own: times go in, decisions come out.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "basics/TimeStamp.h"
#include "record/FailureReason.h"
#include "record/InvalidReadings.h"

class RoundHold {
public:
    using Clock = std::chrono::steady_clock;

    // One threshold check the plug-in asked for, judged once the round is kept.
    struct Check {
        std::string name, label;
        float value = 0;
    };
    // What the device handed over in one cycle.
    struct Round {
        std::vector<Check> checks;
        std::vector<uint8_t> record;
        TimeStamp at;         // when the record was handed over
        int64_t mono_ms = 0;  // the same on the run's monotonic clock (the host calls' origin)
        bool saved = false;  // the record was handed over
        // The readings its replies marked invalid: values of the record
        // that are no value.
        InvalidReadings invalid;
    };

    // What becomes of the round of a cycle that ended whole: out_of_step,
    // a reply no request explained came during it; owed, the replies its
    // monitor still owes; hold, how long the account says a reply to its
    // requests may still come.
    enum class Fate { kStore, kHold, kHoldOwed, kDrop };
    static Fate AtCycleEnd(bool out_of_step, int owed, Clock::duration hold);
    // Why a round out of step is dropped.
    static FailureReason DropReason(bool two_answers) {
        return two_answers ? FailureReason::kTwoAnswers : FailureReason::kLateDiscarded;
    }

    // What may touch a held round, once it is held.
    enum class Touch {
        kUnexplained,  // bytes from its address that no request explains
        kItsReply,     // a reply from its monitor paid against what it owed,
                       // or set apart in another monitor's exchange
        kOutOfStep,    // the device's next cycle went out of step
    };
    // Whether the touch drops the round held and why; none: it stands.
    // owes_nothing_lately: its monitor owes nothing and gave up on no
    // request for as long as a reply is waited for.
    static std::optional<FailureReason> Spoiled(Touch touch, bool holding, bool owed, bool owes_nothing_lately);
    std::optional<FailureReason> Spoiled(Touch touch, bool owes_nothing_lately) const {
        return Spoiled(touch, Holding(), owed_, owes_nothing_lately);
    }

    // The round of the open cycle, as the device hands it over.
    Round& Open() { return open_; }
    // A new cycle begins, or the open one ended without a round.
    void NewCycle() { open_ = Round{}; }
    // The open round, taken to be stored now.
    Round TakeOpen();

    bool Holding() const { return until_.has_value(); }
    // The round held was completed while its monitor owed a reply.
    bool Owed() const { return owed_; }
    std::optional<Clock::time_point> Until() const { return until_; }
    bool Due(Clock::time_point now) const { return until_ && now >= *until_; }
    // The open round is held until `until`.  A round held before must have
    // been taken first.
    void Hold(Clock::time_point until, bool owed);
    // The round held, taken to be stored: its time passed quietly.
    Round TakeHeld();
    void DropHeld();

private:
    Round open_;
    Round held_;
    std::optional<Clock::time_point> until_;
    bool owed_ = false;
};
