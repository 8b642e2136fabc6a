#pragma once
// The host's account of the requests on one bus: which one is outstanding,
// when its reply is due, which replies were given up on and may still come,
// how late such replies have come, and how soon the monitors answer.  No
// I/O and no clock of its own: times go in, decisions come out.
//
// A reply carries no command code, so the account is all the host has to
// tell the answer to a request from a late answer to an earlier one.  A
// request whose reply did not come in time is owed: its reply may yet come.
// Bytes that no outstanding request explains pay off the oldest owed
// request of their monitor and say how late that reply was.  A reply that
// could answer the oldest request owed or a later one is ambiguous: it is
// known to be at least as late as from the latest it could answer, and only
// that much is taken as measured.  The lateness measured in the last minute
// sets the quiet guard after a timeout (QuietGuard says how).  A reply that begins sooner
// after its request than the monitor turns a request round cannot be the
// answer to it; the monitor's quickest answer is a low percentile of its
// recent answers, so that one early reply (a second monitor at the same
// address, a reply on its way before the request) cannot pull it down.
//
// A monitor that owes a reply is not asked again until the line has been
// quiet from it for as long as that reply may still come (the quiet guard
// after a timeout, the hold of a round completed while it owed): asked
// sooner, its late reply could not be told from the answer.  The other
// monitors are asked meanwhile, since a reply names its monitor: a frame
// from a monitor that owes, in the place of another's answer, is its late
// reply, set aside by the length it owes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

class ExchangeTracker {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        int32_t speed = 19200;  // bit/s, 8N1
        Clock::duration margin = std::chrono::milliseconds(100);  // turnaround allowed beyond the wire time
        std::optional<Clock::duration> fixed_guard;  // the quiet guard, when the port sets it
    };

    // Requests owed per monitor, and the lateness taken into account: the
    // oldest are forgotten beyond these.
    static constexpr std::size_t kMaxOwed = 16;
    static constexpr std::chrono::seconds kMaxLateness{10};
    // How long a lateness measured keeps the guard up, and how many are kept.
    static constexpr std::chrono::seconds kLatenessMemory{60};
    static constexpr std::size_t kMaxRecentLateness = 64;
    // Answers timed before the monitor's turnaround is trusted, how many of
    // the latest are kept, and which of them, from the quickest, is taken
    // as its quickest answer (the fourth of sixteen: a quartile).
    static constexpr int kTurnaroundSamples = 8;
    static constexpr std::size_t kTurnaroundKept = 16;
    static constexpr std::size_t kTurnaroundQuantile = 4;

    explicit ExchangeTracker(Options options) : options_(options) {}

    // How long a reply of reply_len bytes may take after its request: its
    // time on the wire with the request's, and the margin.
    Clock::duration ResponseTimeout(int reply_len) const;
    // The time of a request and its reply of reply_len bytes on the wire.
    Clock::duration WireTime(int reply_len) const;
    // How long the line must be quiet after a timeout of a request that
    // awaited reply_len bytes.
    Clock::duration Guard(int reply_len) const;

    // A request to addr went out, asking for reply_len bytes.  The account
    // forgets, as of now, what is too old to count.
    void Sent(uint8_t addr, int reply_len, Clock::time_point now);
    bool Outstanding() const { return outstanding_; }
    Clock::time_point Deadline() const { return deadline_; }
    uint8_t Addr() const { return addr_; }
    Clock::time_point SentAt() const { return sent_at_; }
    int ReplyLen() const { return reply_len_; }

    // The first byte of the reply came now; false when that is sooner than
    // the monitor could have answered this request.  bounded: `now` is only
    // the latest it may have come (read on a turn of the loop that came
    // late), so it times nothing.  A reply judged too soon clears the
    // answers timed: a quickest answer raised by replies timed late must
    // not make every later answer look too soon, so the monitors are timed
    // afresh and only the reply that was doubted is lost.
    bool FirstByte(Clock::time_point now, bool bounded = false);
    // The reply to the last request began sooner than its monitor answers.
    bool TooSoon() const { return too_soon_; }
    // The reply came whole and was taken.
    void Answered();
    // The reply came whole, or not at all, and the device refused it or
    // gave up; nothing is outstanding.  A refused reply did come, so nothing
    // is owed for it.
    void Refused();
    // The reply is overdue: the request is owed, and its monitor is not
    // asked again until the quiet guard after the deadline has passed.
    void TimedOut();

    // When the monitor at addr may be asked again: not before the line has
    // been quiet from it until then.
    Clock::time_point AskNotBefore(uint8_t addr) const;
    bool MayAsk(uint8_t addr, Clock::time_point now) const { return now >= AskNotBefore(addr); }
    // The monitor at addr is not asked before `until` (a round of it held
    // that long), or, once it owes nothing, again from `until` on.
    void Bar(uint8_t addr, Clock::time_point until) { ask_not_before_[addr] = until; }
    // The monitors other than addr (0: none other) that owe replies all of
    // one length, with that length and how many: a frame from one of them,
    // where the answer of addr is awaited, is one of those replies.
    struct OwedFrames {
        int reply_len = 0;
        int count = 0;
    };
    std::map<uint8_t, OwedFrames> OwedElsewhere(uint8_t addr) const;

    // Bytes came that no outstanding request explains, from the monitor at
    // addr when they name one.  They pay off the oldest requests owed (by
    // that monitor if it is known); how late the first of them came, when
    // one was owed.  A request the monitor has answered others since is
    // not taken to measure by: the reply is then the newest request's.
    // frames: how many replies the bytes hold.
    std::optional<Clock::duration> Unexplained(std::optional<uint8_t> addr, Clock::time_point now, int frames = 1);
    // The last Unexplained reply could answer more than one request: its
    // lateness is only known to be at least what it returned.
    bool LastAmbiguous() const { return last_ambiguous_; }
    // Replies whose request could not be told, and the latest any of them
    // may have been (from the oldest request it could answer).
    long Ambiguous() const { return ambiguous_; }
    std::optional<Clock::duration> AmbiguousLatest() const { return ambiguous_latest_; }
    int Owed(uint8_t addr) const;
    // The one request the monitor at addr owes, when it owes just one and
    // has answered none since: a whole reply from it can answer nothing else.
    struct SoleDebt {
        Clock::time_point sent;
        int reply_len = 0;
    };
    std::optional<SoleDebt> OnlyOwed(uint8_t addr) const;
    // What each monitor owes: how many replies, of which length (0: of
    // more than one), and its sole debt, if it owes one alone.
    struct Owing {
        int count = 0;
        int reply_len = 0;
        std::optional<SoleDebt> sole;
    };
    std::map<uint8_t, Owing> Debts() const;
    // The monitor at addr owes nothing, and no request to it was given up
    // on for as long as any reply is waited for: bytes from it that no
    // request explains are no late reply but a second answer.
    bool OwesNothingLately(uint8_t addr, Clock::time_point now) const;
    // How long after now a round just completed by the monitor of the last
    // request must find the line quiet before it is kept.  With nothing
    // owed: until that request's reply would be overdue, as long as a
    // second answer to it could still come.  With a reply owed: as long as
    // the lateness measured says that reply may still come, and never less.
    Clock::duration Hold(Clock::time_point now) const;
    // The line was quiet long enough after the monitor's last answer: any
    // reply it still owed is not coming, and it may be asked.
    void Settled(uint8_t addr);

    // The latest reply measured in the whole run, from its request: the
    // guard a port would need to cover every one.
    std::optional<Clock::duration> LatestReply() const { return latest_; }
    // The lateness the guard covers: the high percentile of the replies
    // measured in the last minute.
    std::optional<Clock::duration> RecentLatest() const;
    // The guard the lateness measured last raised it to, and when: none
    // while it has stayed at its default.
    struct Raise {
        Clock::time_point at;
        Clock::duration guard;
    };
    std::optional<Raise> Raised() const { return raised_; }
    // The quickest answer timed while the bus was in step.
    std::optional<Clock::duration> Turnaround() const;
    // The quickest answer a reply is judged too soon by: none once the line
    // showed itself without wire time (a pseudo-terminal), by as many
    // answers quicker than any wire allows as the quartile counts.  There
    // the answers' spread is the machine's: a busy spell raises the
    // quartile, and the next prompt answer would look too soon.  On a real
    // line a reply that quick was already on its way (a late one, a second
    // monitor), and a few of them prove nothing of the line.
    std::optional<Clock::duration> JudgedQuickest() const {
        return untimed_ ? std::nullopt : Turnaround();
    }
    // The port says so itself (a pseudo-terminal), from the first answer.
    void WithoutWireTime() { untimed_ = true; }

private:
    bool AnythingOwed() const;
    // Requests owed for longer than any reply is waited for are not coming.
    void Expire(Clock::time_point now);

    Options options_;
    bool outstanding_ = false;
    uint8_t addr_ = 0;
    int reply_len_ = 0;
    Clock::time_point sent_at_{};
    Clock::time_point deadline_{};
    std::optional<Clock::time_point> first_byte_;
    bool first_byte_bounded_ = false;
    bool too_soon_ = false;
    // A request owed, and whether its monitor has answered since: then its
    // own reply was most likely lost, and it says nothing of lateness.
    struct Debt {
        Clock::time_point sent;
        bool answered_since = false;
        int reply_len = 0;
    };
    std::map<uint8_t, std::deque<Debt>> owed_;
    std::map<uint8_t, Clock::time_point> gave_up_;  // the last request given up on, per monitor
    std::map<uint8_t, Clock::time_point> ask_not_before_;
    std::optional<Clock::duration> latest_;
    struct Measured {
        Clock::time_point at;
        Clock::duration late;
    };
    std::deque<Measured> recent_;
    std::optional<Raise> raised_;
    bool last_ambiguous_ = false;
    long ambiguous_ = 0;
    std::optional<Clock::duration> ambiguous_latest_;
    std::deque<Clock::duration> answers_;  // the latest answer times, in step
    std::size_t quicker_than_wire_ = 0;    // answers timed quicker than any wire allows
    bool untimed_ = false;                 // the line has no wire time: enough of them came
};
