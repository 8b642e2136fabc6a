#pragma once
// `bench-host baseline`: what a string's baseline holds, taken from the
// verdict figures of a period (each block's mean float voltage on the rounds
// judged on float, its resistance from load steps, the string's float
// voltage, the temperature, the capacity of the period's last complete
// test), and how --show prints one.
#include <string>

#include "history/BaselineStore.h"
#include "report/StringVerdict.h"

namespace report {

class StringBaseline {
public:
    // From the figures of device v over the period [from_ms, to_ms];
    // taken_at is the period's last round, set_at/set_ms now.
    static history::Baseline From(const StringVerdict& v, int64_t from_ms, int64_t to_ms, const std::string& taken_at,
                                  const std::string& set_at, int64_t set_ms);
    // Whether it holds anything to compare with (a float voltage or a
    // resistance of some block, or a capacity).
    static bool HoldsAnything(const history::Baseline& b);
    // Why a period gave nothing to keep, for the person who asked: what
    // each figure needed, and where a float voltage was missing for want
    // of time settled on float, the setting that asks for that time.
    static std::string NothingKept(const StringVerdict& v);
    // Lines for a person: the period, the string, a row per block.
    static std::string Text(const history::Baseline& b);
};

}  // namespace report
