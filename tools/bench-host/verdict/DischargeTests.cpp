#include "verdict/DischargeTests.h"

namespace verdict {

std::optional<CapacityResult> DischargeTests::Add(const Reading& r, Charge state, bool marked_test) {
    if (state != Charge::discharge) return Close();
    std::optional<CapacityResult> out;
    // A test runs at one current: where the load changes, the one so far is
    // over and a new one may begin.
    if (test_ && (marked_test != marked_ || (!marked_test && !test_->Ended() && !test_->Fits(r.current))))
        out = Close();
    if (!test_) {
        test_.emplace(spec_, blocks_);
        start_ms_ = r.ms;
        marked_ = marked_test;
        given_ = false;
    }
    const bool was_ended = test_->Ended();
    test_->Add(r);
    last_ms_ = r.ms;
    // Rounds after the end voltage change nothing of the result, so it is
    // given as soon as the end is reached, not when the load comes off.
    if (!was_ended && test_->Ended() && !out) {
        out = IfStoppedNow();
        given_ = true;
    }
    return out;
}

std::optional<CapacityResult> DischargeTests::IfStoppedNow() const {
    if (!test_ || given_) return std::nullopt;
    auto result = test_->Result();
    const bool long_enough = last_ms_ - start_ms_ >= kTestMinMs;
    if (!result || (!marked_ && (!result->steady || (!long_enough && result->lower_bound)))) return std::nullopt;
    result->marked = marked_;
    return result;
}

std::optional<CapacityResult> DischargeTests::Close() {
    auto out = IfStoppedNow();
    test_.reset();
    return out;
}

}  // namespace verdict
