#pragma once
// Waiting in a real-time test for something the code under test will do:
// the outcome is judged after the wait, never how long it took.  The only
// bound is a guard against a hang, far beyond what any machine, however
// loaded, takes for work that is coming.
#include <chrono>
#include <thread>

namespace test_support {

constexpr std::chrono::seconds kHangGuard{30};

// True once done() holds; false only after the guard ran out.
template <class Done>
bool Await(Done done, std::chrono::milliseconds step = std::chrono::milliseconds(10),
           std::chrono::seconds guard = kHangGuard) {
    const auto end = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace test_support
