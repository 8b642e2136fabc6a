#include "host/get_ttime.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>

TTime get_ttime(const boost::posix_time::ptime& t) {
    TTime out{};
    if (t.is_special()) return out;
    const auto date = t.date();
    const auto tod = t.time_of_day();
    const unsigned year = static_cast<unsigned>(date.year());
    out[0] = static_cast<uint8_t>(year & 0xFF);
    out[1] = static_cast<uint8_t>(year >> 8);
    out[2] = static_cast<uint8_t>(date.month().as_number());
    out[3] = static_cast<uint8_t>(date.day());
    out[4] = static_cast<uint8_t>(tod.hours());
    out[5] = static_cast<uint8_t>(tod.minutes());
    out[6] = static_cast<uint8_t>(tod.seconds());
    return out;
}
