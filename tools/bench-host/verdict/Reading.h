#pragma once
// One round as the string's verdict reads it: the blocks' voltages (0 for
// a block the round did not read), the string's voltage, current (below 0:
// discharge) and temperature.
#include <cstdint>
#include <vector>

namespace verdict {

struct Reading {
    int64_t ms = 0;
    std::vector<double> blocks;
    double voltage = 0, current = 0, temperature = 0;

    // The mean of the blocks read; 0 when none was.
    double MeanBlock() const {
        double sum = 0;
        int n = 0;
        for (const double v : blocks)
            if (v > 0) sum += v, ++n;
        return n ? sum / n : 0.0;
    }
};

}  // namespace verdict
