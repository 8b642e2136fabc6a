// A device's round from its hand-over to its storing or dropping: what the
// end of a cycle makes of it, what drops it while it is held, and that a
// held round is the one handed over, not the next cycle's.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "bus/RoundHold.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Fate = RoundHold::Fate;
using Touch = RoundHold::Touch;

TEST(RoundHold, TheEndOfACycleStoresHoldsOrDrops) {
    const struct {
        const char* what;
        bool out_of_step;
        int owed;
        Clock::duration hold;
        Fate fate;
    } rows[] = {
        {"in step, nothing more can come", false, 0, 0ms, Fate::kStore},
        {"in step, a second answer may still come", false, 0, 120ms, Fate::kHold},
        {"its monitor owes a reply", false, 1, 400ms, Fate::kHoldOwed},
        {"owes, whatever the account's hold", false, 2, 0ms, Fate::kHoldOwed},
        {"out of step", true, 0, 120ms, Fate::kDrop},
        {"out of step while it owes", true, 1, 400ms, Fate::kDrop},
    };
    for (const auto& r : rows) EXPECT_EQ(RoundHold::AtCycleEnd(r.out_of_step, r.owed, r.hold), r.fate) << r.what;
    EXPECT_EQ(RoundHold::DropReason(true), FailureReason::kTwoAnswers);
    EXPECT_EQ(RoundHold::DropReason(false), FailureReason::kLateDiscarded);
}

TEST(RoundHold, WhatDropsARoundHeld) {
    const auto two = FailureReason::kTwoAnswers;
    const auto late = FailureReason::kLateDiscarded;
    const struct {
        const char* what;
        Touch touch;
        bool holding, owed, owes_nothing_lately;
        std::optional<FailureReason> dropped;
    } rows[] = {
        {"nothing held", Touch::kOutOfStep, false, false, true, std::nullopt},
        {"unexplained bytes, owing nothing: a second answer", Touch::kUnexplained, true, false, true, two},
        {"unexplained bytes while a reply may be late", Touch::kUnexplained, true, false, false, std::nullopt},
        {"its reply, held owing: the owed reply came", Touch::kItsReply, true, true, false, late},
        {"its reply, held owing nothing", Touch::kItsReply, true, false, true, std::nullopt},
        {"its next cycle out of step, held owing nothing", Touch::kOutOfStep, true, false, true, two},
        {"its next cycle out of step, held owing", Touch::kOutOfStep, true, true, false, late},
    };
    for (const auto& r : rows)
        EXPECT_EQ(RoundHold::Spoiled(r.touch, r.holding, r.owed, r.owes_nothing_lately), r.dropped) << r.what;
}

TEST(RoundHold, AHeldRoundIsTheOneHandedOver) {
    const Clock::time_point t0 = Clock::time_point{} + 1h;
    RoundHold h;
    h.Open().record = {1, 2};
    h.Hold(t0 + 100ms, true);
    EXPECT_TRUE(h.Open().record.empty()) << "the next cycle starts empty";
    h.Open().record = {3};
    EXPECT_TRUE(h.Owed());
    EXPECT_FALSE(h.Due(t0 + 99ms));
    EXPECT_TRUE(h.Due(t0 + 100ms));
    EXPECT_EQ(h.TakeHeld().record, (std::vector<uint8_t>{1, 2}));
    EXPECT_FALSE(h.Holding());
    EXPECT_FALSE(h.Owed());
    EXPECT_EQ(h.TakeOpen().record, (std::vector<uint8_t>{3}));
    EXPECT_TRUE(h.Open().record.empty());
}

}  // namespace
