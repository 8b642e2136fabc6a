#include "ConfigText.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace config {

int32_t TextToInt(const std::string& text) {
    // strtoll saturates at the 64-bit limits; clamping that to 32 bits gives
    // the 32-bit target's atoi/atol for every input.
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

double TextToReal(const std::string& text) { return std::atof(text.c_str()); }

int32_t TruncateToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace config
