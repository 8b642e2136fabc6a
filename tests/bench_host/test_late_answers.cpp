// What a reply after its deadline, or an answer naming another monitor,
// becomes: at the deadline, set apart in another's exchange, kept as its
// request's answer, or dropped with the note the line trace shows.
#include <gtest/gtest.h>

#include <cstring>

#include "bus/LateAnswers.h"

namespace {

using Kind = ReplyAttribution::Kind;
using Overdue = LateAnswers::Overdue;
using SetApart = LateAnswers::SetApart;
using Stray = LateAnswers::Stray;

TEST(LateAnswers, TheDeadlineOwesRefusesOrAsksAgain) {
    const struct {
        bool got_anything, as_another;
        Overdue fate;
    } rows[] = {
        {false, false, Overdue::kTimedOut},
        {false, true, Overdue::kAskAgain},
        {true, false, Overdue::kQuietLine},
        {true, true, Overdue::kQuietLine},  // the start of a reply still spoils the line
    };
    for (const auto& r : rows)
        EXPECT_EQ(LateAnswers::AtDeadline(r.got_anything, r.as_another), r.fate) << r.got_anything << r.as_another;
}

TEST(LateAnswers, AFrameSetApartInAnothersExchange) {
    const struct {
        Kind verdict;
        std::size_t len;
        SetApart taken_as;
    } rows[] = {
        {Kind::kLate, 5, SetApart::kOthersLateReply},  // sooner than the asked monitor answers
        {Kind::kLate, 67, SetApart::kOthersLateReply},
        {Kind::kDoubtful, 5, SetApart::kAnswerAsAnother},  // of the length asked
        {Kind::kDoubtful, 67, SetApart::kWrongAddress},
    };
    for (const auto& r : rows) EXPECT_EQ(LateAnswers::InExchange(r.verdict, r.len, 5), r.taken_as) << r.len;
}

TEST(LateAnswers, OnlyASureAnswerIsKept) {
    const struct {
        const char* what;
        Kind verdict;
        bool own, measured, ambiguous, kept;
    } rows[] = {
        {"the sole request owed", Kind::kLateAnswer, true, true, false, true},
        {"a late reply", Kind::kLate, true, true, false, false},
        {"no device of this bus", Kind::kLateAnswer, false, true, false, false},
        {"no debt paid", Kind::kLateAnswer, true, false, false, false},
        {"could answer two requests", Kind::kLateAnswer, true, true, true, false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(LateAnswers::Kept(r.verdict, r.own, r.measured, r.ambiguous), r.kept) << r.what;
}

TEST(LateAnswers, BytesNoExchangeAwaits) {
    const struct {
        bool quiet, timed_out, after_round, kept, paid;
        Stray kind;
        const char* note;
        bool counts_late;
    } rows[] = {
        {true, true, true, true, true, Stray::kWhileTimedOut, "late reply, dropped", false},
        {true, false, true, true, true, Stray::kAfterRound, "late reply after the round, dropped", false},
        {false, false, false, true, true, Stray::kKept, "late reply, kept as the answer to its request", false},
        {true, false, false, false, true, Stray::kAfterRefusal, "after a refused reply, dropped", false},
        {false, true, false, false, true, Stray::kLate, "late reply, dropped", true},  // no quiet: no guard
        {false, false, false, false, false, Stray::kUnasked, "unasked, dropped", true},
    };
    for (const auto& r : rows) {
        const Stray kind = LateAnswers::Classify(r.quiet, r.timed_out, r.after_round, r.kept, r.paid);
        EXPECT_EQ(kind, r.kind) << r.note;
        EXPECT_STREQ(LateAnswers::Note(kind), r.note);
        EXPECT_EQ(LateAnswers::CountsLate(kind), r.counts_late) << r.note;
    }
}

TEST(LateAnswers, AnAnswerAsAnotherLastsOneExchange) {
    LateAnswers l;
    l.AnsweredAsAnother();
    EXPECT_TRUE(l.AsAnother());
    l.ExchangeBegun();
    EXPECT_FALSE(l.AsAnother());
}

}  // namespace
