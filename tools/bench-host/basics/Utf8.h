#pragma once
// Text that comes from outside (a port path, a device label, a request) is
// bytes, not necessarily UTF-8.  Every output that promises UTF-8 (JSON,
// /metrics, the page) passes it through here, so one bad byte becomes a
// visible U+FFFD instead of making the whole document invalid.
#include <cstddef>
#include <string>
#include <string_view>

namespace utf8 {

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF,
// or a sequence cut short).
std::size_t SequenceLength(std::string_view text, std::size_t at);

// text with each byte that is not part of a well-formed sequence replaced by
// U+FFFD; valid text comes back unchanged.
std::string Valid(std::string_view text);

}  // namespace utf8
