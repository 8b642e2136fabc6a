#pragma once
#include <array>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "HostApi.h"

// The host's 7-byte time stamp, as stored at the end of every data record:
//
//   byte 0-1  year, 16-bit little-endian (e.g. 2026 -> EA 07)
//   byte 2    month   1..12
//   byte 3    day     1..31
//   byte 4    hour    0..23
//   byte 5    minute  0..59
//   byte 6    second  0..59
//
// A time that is not a date (not_a_date_time, infinities) encodes as seven
// zero bytes.
using TTime = std::array<uint8_t, 7>;

HLX_API TTime get_ttime(const boost::posix_time::ptime& t);
