#pragma once
// How long the line must stay quiet after an exchange went wrong, and the
// quiet kept now.  After a reply timeout, the monitor asked may still send
// that reply; after a refused or out-of-step reply, its rest may still come
// from whoever sent it.  Asked meanwhile, a monitor's answer could not be
// told from those bytes.
//
//   after                               quiet for
//   a reply timeout                     the guard: as late as replies came
//                                       lately (kPercentile of those
//                                       measured in the account's memory),
//                                       never less than kTimeouts response
//                                       timeouts; a port may fix it
//   a reply begun and never completed   the guard, the whole line
//   a late reply in that guard          the guard again from it, or, once
//                                       nothing more is owed, the frame gap
//   the rest of a frame in the guard    at least the frame gap after it
//   a refused or unasked reply          the frame gap, or the guard running
//   a round dropped out of step         the guard, for the replies in its wake
//
// Once the quiet is over, the device whose reply was overdue gets its tick
// (a resend, or the end of its cycle).  A high percentile, not the latest:
// no single reply, taken for another's, keeps the bus quiet for seconds
// after every timeout.  No I/O and no clock of its own.
#include <chrono>
#include <optional>
#include <vector>

struct DeviceCycle;

class QuietGuard {
public:
    using Clock = std::chrono::steady_clock;

    // The guard covers this share (in percent) of the lateness measured.
    static constexpr int kPercentile = 90;
    // The default guard covers a reply this many response timeouts late.
    static constexpr int kTimeouts = 2;

    // The guard after a timeout of a request whose reply may take
    // response_timeout: fixed, when the port sets it; else covering
    // `covered` (the lateness measured lately), and never shorter than the
    // default.
    static Clock::duration Length(std::optional<Clock::duration> fixed, Clock::duration response_timeout,
                                  std::optional<Clock::duration> covered);
    // The lateness the guard covers of those measured: the kPercentile-th,
    // which below ten replies is the latest of them; none without any.
    static std::optional<Clock::duration> Covered(std::vector<Clock::duration> late);
    // A lateness measured raised the guard: what it covers grew from
    // `before` to `after`, past the default guard of a short reply (whose
    // response timeout is given), on a port that does not fix it.
    static bool Raises(bool fixed, std::optional<Clock::duration> before, std::optional<Clock::duration> after,
                       Clock::duration short_reply_timeout);
    // The guard a person would set to cover a reply this late: rounded up
    // to the next 50 ms.
    static std::chrono::milliseconds Advised(Clock::duration latest);

    bool Active() const { return active_; }
    Clock::time_point Until() const { return until_; }
    bool Over(Clock::time_point now) const { return active_ && now >= until_; }
    // The device whose reply was overdue when the quiet began, if one was:
    // it gets its tick once the quiet is over.
    DeviceCycle* TimedOut() const { return timed_out_; }

    // The line is kept quiet from now for `length`; the device timed out
    // before, if any, still waits for its end.
    void Start(Clock::time_point now, Clock::duration length);
    // The reply awaited by `timed_out` began and never completed.
    void StartAfterTimeout(Clock::time_point now, DeviceCycle& timed_out, Clock::duration length);
    // The rest of a frame came now: quiet for at least the gap after it.
    void Rest(Clock::time_point now, Clock::duration gap);
    // A reply came now while the line was quiet for the device timed out:
    // quiet for the guard again, or for the gap once its monitor owes
    // nothing more.  True for the first such reply, which is counted as its
    // late reply.
    bool LateReply(Clock::time_point now, bool still_owed, Clock::duration guard, Clock::duration gap);
    // How long the line is kept quiet after unasked bytes: their rest may
    // follow them, and a guard running is not cut short.
    Clock::duration AfterUnasked(Clock::duration gap) const;
    // The quiet is over; the device timed out stays until taken.
    void End() { active_ = false; }
    DeviceCycle* TakeTimedOut();
    // The port is lost: nothing more can come.
    void Cancel();

private:
    bool active_ = false;
    Clock::time_point until_{};
    Clock::duration length_{};
    DeviceCycle* timed_out_ = nullptr;
    bool late_seen_ = false;
};
