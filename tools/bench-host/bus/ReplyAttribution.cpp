#include "bus/ReplyAttribution.h"

bool ReplyAttribution::TooSoon(Clock::time_point first_byte, Clock::time_point sent,
                               std::optional<Clock::duration> quickest) {
    // A clock that went back between request and reply says nothing of
    // the monitor.
    if (first_byte < sent) return false;
    return quickest && *quickest >= kTimedLine && first_byte - sent < *quickest / 2;
}

ReplyAttribution::Verdict ReplyAttribution::Decide(const Frame& frame, const Timeline& t) {
    const auto debt = frame.addr ? t.owed.find(*frame.addr) : t.owed.end();
    const bool owes = debt != t.owed.end() && debt->second.count > 0;

    if (t.awaited) {
        const Awaited& a = *t.awaited;
        const bool too_soon = TooSoon(frame.first_byte, a.sent, t.quickest);
        if (frame.addr && *frame.addr == a.addr) {
            if (too_soon) return Verdict{Kind::kDoubtful, Doubt::kTooSoon, a.addr};
            return Verdict{Kind::kAnswer, Doubt::kNone, a.addr};
        }
        // Begun before the monitor asked could answer, it cannot be its
        // answer: the monitor it names owes a reply of its length.
        if (too_soon && owes &&
            (debt->second.reply_len == 0 || static_cast<std::size_t>(debt->second.reply_len) == frame.len))
            return Verdict{Kind::kLate, Doubt::kNone, frame.addr};
        // In the asked monitor's time: its exchange, whatever it names.
        return Verdict{Kind::kDoubtful, Doubt::kAddress, a.addr};
    }

    if (!owes) return Verdict{Kind::kDoubtful, Doubt::kUnasked, frame.addr};
    if (t.quiet) return Verdict{Kind::kLate, Doubt::kNone, frame.addr};
    const Debt& d = debt->second;
    bool others_owe = false;
    for (const auto& o : t.owed) others_owe = others_owe || (o.first != *frame.addr && o.second.count > 0);
    const bool whole = frame.well_formed && d.reply_len > 0 && frame.len == static_cast<std::size_t>(d.reply_len);
    if (d.sole && d.resend_waits && whole && !others_owe) return Verdict{Kind::kLateAnswer, Doubt::kNone, frame.addr};
    return Verdict{Kind::kLate, Doubt::kNone, frame.addr};
}

const char* ReplyAttribution::DoubtName(Doubt why) {
    switch (why) {
        case Doubt::kTooSoon: return "too soon";
        case Doubt::kAddress: return "address";
        case Doubt::kUnasked: return "unasked";
        case Doubt::kNone: break;
    }
    return "";
}
