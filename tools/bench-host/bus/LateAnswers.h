#pragma once
// Replies that come after their request's deadline, and answers that name
// another monitor.  ReplyAttribution says which request a frame answers;
// this says what the bus then does with it.
//
// An exchange whose deadline passes:
//
//   came in the reply's time            the exchange
//   nothing                             timed out: the request is owed, its
//                                       monitor kept quiet for the guard
//   only a frame naming another         refused as an address: nothing is
//   monitor, of the length asked        owed (that frame was the answer under
//                                       a wrong address), asked again at once
//   the start of a reply                refused: the whole line kept quiet
//
// A frame set apart in the asked monitor's time, of the length another
// monitor owes, is that monitor's late reply when it began sooner than the
// asked one answers; else it counts as an address failure of the exchange,
// and, of the length asked, as the asked monitor answering as another.
//
// Bytes off the line that no exchange awaits:
//
//   while / when                        they are
//   the line is quiet for a timeout     the late reply of the device timed
//                                       out, counted once, and dropped
//   its monitor's round is held owing   a late reply after the round: the
//                                       round is dropped with them
//   the sole reply its monitor owes,    kept as the answer to that request,
//   whole (ReplyAttribution)            handed over at its device's next
//                                       turn in the place of a resend
//   the line is quiet after a refusal   dropped
//   paying a debt                       a late reply, counted, dropped
//   otherwise                           unasked, counted late, dropped
//
// No I/O and no clock of its own.
#include <cstddef>

#include "bus/ReplyAttribution.h"

class LateAnswers {
public:
    // What an exchange whose deadline passed becomes.
    enum class Overdue {
        kTimedOut,   // nothing came: owed
        kAskAgain,   // only an answer under another's address: refused, asked again at once
        kQuietLine,  // the start of a reply: refused, the whole line quiet
    };
    static Overdue AtDeadline(bool got_anything, bool answered_as_another);

    // A frame set apart in the asked monitor's time by the length another
    // monitor owes, of len bytes while reply_len are awaited.
    enum class SetApart {
        kOthersLateReply,  // the monitor it names: its late reply
        kWrongAddress,     // the exchange's address failure
        kAnswerAsAnother,  // that, and most likely the answer under a wrong address
    };
    static SetApart InExchange(ReplyAttribution::Kind verdict, std::size_t len, int reply_len);

    // A whole reply no exchange awaits is kept as its request's answer.
    // own: it names a device of this bus; measured: it paid a debt, whose
    // lateness it measured; ambiguous: it could answer more than one.
    static bool Kept(ReplyAttribution::Kind verdict, bool own, bool measured, bool ambiguous);

    // What bytes no exchange awaits are taken for.
    enum class Stray {
        kWhileTimedOut,  // late reply of the device timed out
        kAfterRound,     // late reply after a round held owing
        kKept,           // kept as the answer to its request
        kAfterRefusal,   // in the quiet after a refusal
        kLate,           // paid a debt: late
        kUnasked,        // nobody asked
    };
    static Stray Classify(bool quiet, bool timed_out, bool after_round, bool kept, bool paid);
    // The line trace's note for them.
    static const char* Note(Stray s);
    // They count as a late reply of the device they name.
    static bool CountsLate(Stray s) { return s == Stray::kLate || s == Stray::kUnasked; }

    // The exchange in progress, and whether a frame of the length asked
    // naming another monitor came in its time.
    void ExchangeBegun() { as_another_ = false; }
    void AnsweredAsAnother() { as_another_ = true; }
    bool AsAnother() const { return as_another_; }

private:
    bool as_another_ = false;
};
