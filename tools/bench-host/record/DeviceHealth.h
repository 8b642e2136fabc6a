#pragma once
// One device's health, the same for every output: is it answering, since
// when not, how many cycles were lost and why.  Fed with the outcome of
// every poll cycle and with its port's losses; answers with a change when
// the state changes, so a state change is reported once and a failed cycle
// never is on its own.
//
//   never answered --(round)--> answering
//   answering --(3 failed cycles in a row)--> not answering
//   answering --(no round for 60 s)--> stale
//   any --(port lost)--> port lost
//   never answered / not answering / port lost / stale --(round)--> answering
//   never answered / port lost / stale --(3 failed cycles in a row)--> not answering
#include <chrono>
#include <optional>

#include "record/FailureReason.h"

class DeviceHealth {
public:
    enum class State { kNeverAnswered, kAnswering, kNotAnswering, kPortLost, kStale };
    // "never answered", "answering", "not answering", "port lost", "stale".
    static const char* StateName(State state);

    // Failed cycles in a row before a device counts as not answering: a lone
    // failure on a noisy line is counted, not announced.
    static constexpr int kFailuresToSilence = 3;
    // No completed round for this long and the plug-in itself refuses the
    // device's values as too old.
    static constexpr std::chrono::seconds kStaleAfter{60};

    // A moment on both clocks: the monotonic one measures, the wall clock
    // is what a person is told.
    struct Moment {
        std::chrono::steady_clock::time_point mono{};
        std::chrono::system_clock::time_point wall{};
        static Moment Now();
        // A monotonic time of the recent past with the wall time it was, as
        // the two clocks stand now.
        static Moment At(std::chrono::steady_clock::time_point mono);
    };

    struct Change {
        State from = State::kNeverAnswered;
        State to = State::kNeverAnswered;
        // When the new state began: for a trouble, its first unanswered
        // request (stale: the last round; port lost: the loss); for
        // answering, the round that ended the trouble.
        Moment since;
        std::chrono::milliseconds without_round{0};  // to answering: time since the last round (or start)
        long cycles_lost = 0;           // since the trouble began
        std::optional<FailureReason> reason;  // of the last failed exchange
    };

    // From the run's start; ages before the first round count from it.
    DeviceHealth() : DeviceHealth(Moment::Now()) {}
    explicit DeviceHealth(Moment start) : since_(start), last_round_(start) {}

    // Periods without data: from the start of a trouble that was announced
    // (not answering, port lost, stale) to the round that ended it, or to
    // the end of the run.  A lone failed cycle is no silent period.
    struct Silence {
        int count = 0;
        std::chrono::milliseconds total{0};
        std::chrono::milliseconds longest{0};
        std::optional<Moment> first_began;
        std::optional<Moment> last_began;
        std::optional<Moment> last_ended;  // none while the last goes on
    };

    std::optional<Change> CycleCompleted(Moment now);
    // asked: when the request that failed went out, where the caller knows
    // it; a trouble begins with the first unanswered request, not with the
    // moment the cycle was given up.
    std::optional<Change> CycleFailed(FailureReason why, Moment now, std::optional<Moment> asked = std::nullopt);
    // A cycle that could not run because the port was lost.
    void CycleMissed() { ++lost_; }
    std::optional<Change> PortLost(Moment now);
    // The port is back: the next cycles tell whether the device answers.
    void PortReopened() { streak_ = 0; }
    // Time passing: a device answering but without a round for too long.
    std::optional<Change> Check(Moment now);
    // A reply of the device came this long after its request, later than
    // the host waits for it.
    void ReplyLate(std::chrono::milliseconds by);

    State state() const { return state_; }
    const Moment& since() const { return since_; }
    long cycles_lost() const { return lost_; }
    std::optional<FailureReason> last_reason() const { return reason_; }
    // The last completed round, or the start while there has been none.
    const Moment& last_round() const { return last_round_; }
    bool ever_answered() const { return ever_answered_; }
    // The silent periods so far, the one going on counted up to now.
    Silence Silences(Moment now) const;
    // Late replies seen, and the latest of them from its request.
    long late_replies() const { return late_replies_; }
    std::chrono::milliseconds late_by() const { return late_by_; }

private:
    Change Enter(State to, Moment since);

    State state_ = State::kNeverAnswered;
    Moment since_;  // of the current trouble
    Moment last_round_;
    long lost_ = 0;    // cycles lost since the trouble began
    int streak_ = 0;   // failed cycles in a row
    std::optional<FailureReason> reason_;
    bool ever_answered_ = false;
    Silence silence_;                    // the periods that ended
    std::optional<Moment> silent_since_;  // of the one going on
    long late_replies_ = 0;
    std::chrono::milliseconds late_by_{0};
};
