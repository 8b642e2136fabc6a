#pragma once
// When each reply's bytes go onto the line, for every monitor on the bus at
// once.  A reply is a list of writes at offsets from the moment its monitor
// takes the request (WireTiming's, plus any hold-back); the schedule says
// which write is due next, so the simulator can wait for it and for the
// line at the same time instead of sleeping through a reply.
//
// Three rules, as on a real multi-drop bus:
// - A monitor answers in order: a request that comes while it still owes a
//   reply is taken only when that reply's last byte is out, and timed from
//   then.  The other monitors are not held up by it.
// - Replies never interleave: a monitor listens for a quiet line before it
//   transmits, so a reply that comes due while another is being written
//   (its pauses included) starts when that one's last byte is out, and
//   keeps its own spacing from there.
// - Of two replies due together, the one due first (then the one added
//   first) goes first.
//
// Bounded: a monitor owes at most kMaxOwed replies; a master that keeps
// asking a monitor that is that far behind gets no answer to the rest.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "ReplyFrame.h"
#include "WireTiming.h"

namespace monitor_sim {

class ReplySchedule {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxOwed = 16;

    struct Write {
        uint64_t reply = 0;  // as Add returned it
        uint8_t addr = 0;
        Frame bytes;
        bool first = false;  // the reply's first bytes on the line
        bool last = false;   // its last: the reply is out
    };

    // Whether the monitor at addr can take one more request.
    bool CanTake(uint8_t addr) const;
    bool Owes(uint8_t addr) const;
    bool Empty() const { return owed_.empty(); }
    // A reply is partly written: nothing else may go out until it is done.
    bool OnLine() const { return on_line_.has_value(); }

    // The reply of the monitor at addr to a request read at asked; writes
    // hold offsets from when the monitor takes the request.  Returns its
    // number, or nothing when the monitor already owes kMaxOwed replies.
    std::optional<uint64_t> Add(uint8_t addr, Clock::time_point asked, std::vector<WireTiming::Write> writes);

    // When the next write is due (possibly already past); none when nothing
    // is owed.
    std::optional<Clock::time_point> NextDue() const;

    // The next write, when it is due by now; taken off the schedule.  The
    // time given is when it goes out: the reply's later writes keep their
    // spacing from it, and the monitor's next reply starts no sooner than
    // its last write.
    std::optional<Write> TakeDue(Clock::time_point now);

    // Drops every reply owed (the line took no more); returns their numbers.
    std::vector<uint64_t> Clear();

private:
    struct Reply {
        uint64_t id = 0;
        Clock::time_point base;  // offsets count from here
        std::vector<WireTiming::Write> writes;
        std::size_t next = 0;  // writes already out
    };

    Clock::time_point DueOf(const Reply& r) const { return r.base + r.writes[r.next].at; }
    // The monitor whose first owed reply goes out next, when the line is free.
    std::optional<uint8_t> FirstReady() const;

    std::map<uint8_t, std::deque<Reply>> owed_;  // per monitor, oldest first; no empty queue
    std::optional<uint8_t> on_line_;             // the monitor whose front reply is partly written
    uint64_t next_id_ = 1;
};

}  // namespace monitor_sim
