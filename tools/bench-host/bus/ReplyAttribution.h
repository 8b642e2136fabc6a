#pragma once
// Which request a frame off the bus answers.  A reply carries no command,
// only the address of the monitor it claims to come from, so the line's
// timeline decides: which request is awaited now and since when, which
// requests were given up on and are still owed, how soon the monitors
// answer.  The address only confirms.  Where timeline and address
// disagree, or the timeline cannot tell, the frame is doubtful: its values
// reach no device, and the reason is counted.
//
// The rules, in the order they are applied:
//
//   awaited request   frame's address        began            verdict
//   ---------------   --------------------   --------------   -------------------------------
//   to M              M                      in M's time      the answer to M's request
//   to M              M                      sooner than M    doubtful: too soon (a second
//                                            answers          monitor at M's address, or a
//                                                             reply on its way before the
//                                                             request)
//   to M              N, owing that length   sooner than M    N's late reply, by its timing:
//                                            answers          its debt paid, its values dropped
//   to M              N (or none)            in M's time      doubtful: address (M's reply is
//                                                             due: by the timeline it is M's,
//                                                             by its address it is not)
//   none, line quiet  N owing                any              N's late reply, dropped
//   none              N owing one request,   any              N's answer to that request,
//                     alone, whole, well                      handed over at N's next turn;
//                     formed, of its length;                  only while no other monitor's
//                     N's device waits to                     reply is due, since a frame in
//                     resend it; no other                     another's time may be that one's
//                     monitor owes
//   none              N owing otherwise      any              N's late reply, dropped
//   none              owed by nobody         any              doubtful: unasked
//
// No I/O and no clock of its own: a frame and the timeline go in, the
// verdict comes out.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

class ReplyAttribution {
public:
    using Clock = std::chrono::steady_clock;

    // Answers quicker than this come from a line without wire time (a
    // pseudo-terminal), where their spread is the machine's, not the
    // monitor's: no reply is judged too soon by them.
    static constexpr std::chrono::milliseconds kTimedLine{2};

    struct Frame {
        std::optional<uint8_t> addr;  // the address it carries, when it begins as a reply
        std::size_t len = 0;          // its bytes, all of them
        bool well_formed = false;     // one reply of len bytes from its address: start byte first, checksum right
        Clock::time_point first_byte{};
    };

    // The request whose reply is due now.
    struct Awaited {
        uint8_t addr = 0;
        int reply_len = 0;
        Clock::time_point sent{};
    };
    // What a monitor owes: replies to requests given up on.
    struct Debt {
        int count = 0;
        int reply_len = 0;       // 0: of more than one length
        bool sole = false;       // one request, and the monitor answered none since
        bool resend_waits = false;  // its device waits to resend that very request
    };
    struct Timeline {
        std::optional<Awaited> awaited;
        // The quickest answer timed while the bus was in step.
        std::optional<Clock::duration> quickest;
        std::map<uint8_t, Debt> owed;
        // The line is kept quiet after a spoilt or given-up reply: whatever
        // comes now answers nothing asked.
        bool quiet = false;
    };

    enum class Kind {
        kAnswer,      // the answer to the awaited request
        kLate,        // a late reply of the monitor named: its debt paid, its values dropped
        kLateAnswer,  // the answer to the one request the monitor named owes
        kDoubtful,    // no request can be told: dropped
    };
    enum class Doubt { kNone, kTooSoon, kAddress, kUnasked };
    struct Verdict {
        Kind kind = Kind::kDoubtful;
        Doubt why = Doubt::kNone;
        std::optional<uint8_t> monitor;  // whose request it answers, or whose debt it pays
        bool operator==(const Verdict& o) const { return kind == o.kind && why == o.why && monitor == o.monitor; }
    };

    static Verdict Decide(const Frame& frame, const Timeline& timeline);

    // A reply that began at first_byte, after a request sent at `sent`, was
    // on its way before the request: it came sooner than half the quickest
    // answer the monitors gave.
    static bool TooSoon(Clock::time_point first_byte, Clock::time_point sent, std::optional<Clock::duration> quickest);

    // "too soon", "address", "unasked"; "" for none.
    static const char* DoubtName(Doubt why);
};
