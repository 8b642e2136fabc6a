#include "basics/TimeStamp.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string OffsetText(long gmtoff_seconds) {
    const char sign = gmtoff_seconds < 0 ? '-' : '+';
    const long minutes = std::labs(gmtoff_seconds) / 60;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, minutes / 60, minutes % 60);
    return buf;
}

}  // namespace

TimeStamp TimeStamp::Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return FromMs(static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

TimeStamp TimeStamp::FromMs(int64_t ms) {
    // Floor division, so a moment before 1970 still has 0..999 ms.
    int64_t seconds = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s.%03d%s", date, static_cast<int>(millis), OffsetText(tm.tm_gmtoff).c_str());
    TimeStamp stamp;
    stamp.text_ = buf;
    stamp.ms_ = ms;
    return stamp;
}

std::string TimeStamp::OffsetOf(const std::string& text) {
    // ...T19:17:03.250+08:00: a sign six from the end, after the time.
    if (text.size() < 25) return {};
    const std::string tail = text.substr(text.size() - 6);
    if ((tail[0] != '+' && tail[0] != '-') || tail[3] != ':') return {};
    return tail;
}

std::string TimeStamp::FieldsText(const std::tm& f, const std::string& offset) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000%s", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
                  f.tm_hour, f.tm_min, f.tm_sec, offset.c_str());
    return buf;
}
