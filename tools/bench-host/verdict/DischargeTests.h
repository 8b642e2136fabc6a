#pragma once
// The capacity tests in a string's rounds, fed in the order of time with
// the charge state each round was found in: a test is the part of a
// discharge at one current (within 10 % of where it began); where the load
// changes, a new one begins, and a part too short or not reaching the end
// voltage within kTestMinMs is a load step, not a test.  In a run the
// operator marked as a capacity test the whole discharge is one test.
// A test is given once, as soon as it is over: at its end voltage, or
// where its discharge or its current stopped (then a lower bound).  The
// report over a period and the live figures of a run read tests alike
// through this class; one open test is held at a time, bounded by
// CapacityTest, and a round costs that test's Add alone.
//
// Each test is told how long the string had been on float before it: the
// time on float since the string last recharged, rested or gave a test
// (load steps do not end it).  A run marked as a test whose rounds never
// read a discharge current (a current sensor stuck at 0 A) gives, once its
// rounds end, a result without a capacity that says so.
#include <cstdint>
#include <optional>

#include "site/BatteryData.h"
#include "verdict/CapacityTest.h"
#include "verdict/ChargeNow.h"
#include "verdict/Reading.h"

namespace verdict {

class DischargeTests {
public:
    // A discharge shorter than this is a load step, not a test.
    static constexpr int64_t kTestMinMs = 5 * 60 * 1000;

    DischargeTests(const BatteryData& spec, int blocks) : spec_(spec), blocks_(blocks) {}

    // marked_test: the round belongs to a run the operator marked as a
    // capacity test.  Its discharge is then one test from its first round to
    // its last, kept though its current changed by more than 10 % or was not
    // steady, and though it was shorter than kTestMinMs.  Gives the test
    // this round ended or closed, if it is one.
    std::optional<CapacityResult> Add(const Reading& r, Charge state, bool marked_test = false);
    // The open test is over here (the rounds stop, or stand for many); so
    // is a marked run's stretch of rounds.
    std::optional<CapacityResult> Close();
    // Rounds that stand for many (a summarised minute's), all in one state,
    // over `seconds` up to last_ms: they count for the float before a test.
    // Close first.
    void Summarised(Charge state, double seconds, int64_t last_ms);
    // What the open test would give if it stopped now; none without one,
    // or with one already given.
    std::optional<CapacityResult> IfStoppedNow() const;

private:
    std::optional<CapacityResult> CloseTest();
    // The marked rounds so far read no discharge: the result that says so.
    std::optional<CapacityResult> EndMarked();

    BatteryData spec_;
    int blocks_;
    std::optional<int64_t> prev_ms_;
    double float_s_ = 0;  // on float since the last recharge, rest or test
    // The marked rounds in a row: their span, whether one discharged, the
    // largest current read and the mean block at the first and lowest.
    struct Marked {
        int64_t first_ms = 0, last_ms = 0;
        long rounds = 0;
        bool discharged = false;
        double most_a = 0, first_v = 0, low_v = 0, temperature = 0;
    };
    std::optional<Marked> marked_run_;
    std::optional<CapacityTest> test_;
    int64_t start_ms_ = 0, last_ms_ = 0;
    bool marked_ = false;
    bool given_ = false;  // the open test reached its end and was given then
};

}  // namespace verdict
