#include "verdict/DischargeTests.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace verdict {

std::optional<CapacityResult> DischargeTests::Add(const Reading& r, Charge state, bool marked_test) {
    const double seconds = prev_ms_ ? static_cast<double>(r.ms - *prev_ms_) / 1000.0 : 0.0;
    prev_ms_ = r.ms;
    std::optional<CapacityResult> ended = marked_test ? std::nullopt : EndMarked();
    if (marked_test) {
        if (!marked_run_) marked_run_ = Marked{r.ms, r.ms, 0, false, 0, r.MeanBlock(), r.MeanBlock(), r.temperature};
        Marked& m = *marked_run_;
        m.last_ms = r.ms;
        ++m.rounds;
        m.discharged = m.discharged || state == Charge::discharge;
        m.most_a = std::max(m.most_a, std::fabs(r.current));
        if (r.MeanBlock() > 0) m.low_v = std::min(m.low_v, r.MeanBlock());
    }
    if (state == Charge::floating) float_s_ += seconds;
    if (state == Charge::recharge || state == Charge::rest) float_s_ = 0;
    if (state != Charge::discharge) {
        auto out = CloseTest();
        return out ? out : ended;
    }
    std::optional<CapacityResult> out;
    // A test runs at one current: where the load changes, the one so far is
    // over and a new one may begin.
    if (test_ && (marked_test != marked_ || (!marked_test && !test_->Ended() && !test_->Fits(r.current))))
        out = CloseTest();
    if (!test_) {
        test_.emplace(spec_, blocks_);
        test_->FloatBefore(float_s_);
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
    return out ? out : ended;
}

std::optional<CapacityResult> DischargeTests::IfStoppedNow() const {
    if (!test_ || given_) return std::nullopt;
    auto result = test_->Result();
    const bool long_enough = last_ms_ - start_ms_ >= kTestMinMs;
    if (!result || (!marked_ && (!result->steady || (!long_enough && result->lower_bound)))) return std::nullopt;
    result->marked = marked_;
    return result;
}

std::optional<CapacityResult> DischargeTests::CloseTest() {
    if (!test_) return std::nullopt;
    auto out = IfStoppedNow();
    // A test drew the charge the float had put back; a load step did not.
    if (out || given_ || last_ms_ - start_ms_ >= kTestMinMs) float_s_ = 0;
    test_.reset();
    return out;
}

std::optional<CapacityResult> DischargeTests::EndMarked() {
    if (!marked_run_) return std::nullopt;
    const Marked m = *marked_run_;
    marked_run_.reset();
    if (m.discharged || m.rounds < 2) return std::nullopt;
    CapacityResult c;
    c.start_ms = m.first_ms;
    c.end_ms = m.last_ms;
    c.marked = true;
    c.current_read = false;
    c.actual_min = static_cast<double>(m.last_ms - m.first_ms) / 60000.0;
    c.current_max_a = m.most_a;
    c.temperature_c = c.temperature_min_c = c.temperature_max_c = m.temperature;
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "no discharge current read: at most %.1f A through the %.0f s of rounds marked as a test, while "
                  "the mean block went from %.2f V to %.2f V",
                  m.most_a, c.actual_min * 60.0, m.first_v, m.low_v);
    c.conditions.push_back(buf);
    return c;
}

void DischargeTests::Summarised(Charge state, double seconds, int64_t last_ms) {
    prev_ms_ = last_ms;
    if (state == Charge::floating) float_s_ += seconds;
    if (state == Charge::recharge || state == Charge::rest) float_s_ = 0;
}

std::optional<CapacityResult> DischargeTests::Close() {
    auto out = CloseTest();
    auto ended = EndMarked();
    return out ? out : ended;
}

}  // namespace verdict
