#include "TraceLog.h"

#include <ctime>

namespace monitor_sim {

namespace {
constexpr long kNanosPerMicro = 1000;
}

void TraceLog::Line(const std::string& text) const {
    if (!enabled_ || out_ == nullptr) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(out_, "%s.%06ld %s\n", stamp, now.tv_nsec / kNanosPerMicro, text.c_str());
    std::fflush(out_);
}

std::string TraceLog::Hex(const uint8_t* data, size_t len) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 3);
    for (size_t i = 0; i < len; ++i) {
        if (i > 0) out += ' ';
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

}  // namespace monitor_sim
