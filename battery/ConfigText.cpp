#include "ConfigText.h"

#include <locale.h>  // newlocale, strtod_l

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

double TextToReal(const std::string& text) {
    // atof follows the process's C locale, which a host localising its own
    // screens may have set to one with a decimal comma: "0.3" would then read
    // as 0.  The configuration's numbers are JSON's, with a decimal point,
    // whatever the host's locale, so they are read in the C locale.  Made on
    // the first reading, not when the library is loaded.
    static const locale_t c_numbers = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (c_numbers == static_cast<locale_t>(0)) return std::atof(text.c_str());
    return strtod_l(text.c_str(), nullptr, c_numbers);
}

int32_t TruncateToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace config
