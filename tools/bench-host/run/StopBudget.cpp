#include "run/StopBudget.h"

#include <algorithm>

StopBudget::StopBudget(Clock::time_point polling_ended, Clock::duration total, Clock::duration end_reserve)
    : polling_ended_(polling_ended),
      // A reserve larger than the whole leaves the drain nothing, never a
      // drain that ends before polling did.
      drain_until_(polling_ended + std::max(Clock::duration::zero(), total - end_reserve)),
      end_by_(polling_ended + std::max(Clock::duration::zero(), total)) {}
