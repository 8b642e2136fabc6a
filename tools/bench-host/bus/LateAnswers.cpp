#include "bus/LateAnswers.h"

LateAnswers::Overdue LateAnswers::AtDeadline(bool got_anything, bool answered_as_another) {
    if (got_anything) return Overdue::kQuietLine;
    // The answer came, under another address: no reply is owed, so no
    // guard needs to pass before the monitor is asked again.
    return answered_as_another ? Overdue::kAskAgain : Overdue::kTimedOut;
}

LateAnswers::SetApart LateAnswers::InExchange(ReplyAttribution::Kind verdict, std::size_t len, int reply_len) {
    // Only its timing can make it that monitor's late reply; by the
    // timeline it is the asked one's.
    if (verdict == ReplyAttribution::Kind::kLate) return SetApart::kOthersLateReply;
    return len == static_cast<std::size_t>(reply_len) ? SetApart::kAnswerAsAnother : SetApart::kWrongAddress;
}

bool LateAnswers::Kept(ReplyAttribution::Kind verdict, bool own, bool measured, bool ambiguous) {
    // A reply that could answer more than one request owed answers none
    // surely.
    return verdict == ReplyAttribution::Kind::kLateAnswer && own && measured && !ambiguous;
}

LateAnswers::Stray LateAnswers::Classify(bool quiet, bool timed_out, bool after_round, bool kept, bool paid) {
    // The line has to be quiet: whatever comes now answers a request already
    // given up, and must reach no device.
    if (quiet && timed_out) return Stray::kWhileTimedOut;
    if (after_round) return Stray::kAfterRound;
    if (kept) return Stray::kKept;
    if (quiet) return Stray::kAfterRefusal;
    return paid ? Stray::kLate : Stray::kUnasked;
}

const char* LateAnswers::Note(Stray s) {
    switch (s) {
        case Stray::kWhileTimedOut:
        case Stray::kLate:
            return "late reply, dropped";
        case Stray::kAfterRound:
            return "late reply after the round, dropped";
        case Stray::kKept:
            return "late reply, kept as the answer to its request";
        case Stray::kAfterRefusal:
            return "after a refused reply, dropped";
        case Stray::kUnasked:
            break;
    }
    return "unasked, dropped";
}
