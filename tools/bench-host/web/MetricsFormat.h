#pragma once
// A LiveSnapshot in the Prometheus text exposition format (version 0.0.4),
// the body of /metrics.  Everything that varies per device or cell is a
// label (device = the data identifier, cell = 1-based position on the
// string); units are in the names, counters end in _total, and each family
// has one HELP and one TYPE line.
//
// The values of a round are exported only while the device is answering:
// a silent device's last values would otherwise be scraped again and again
// and draw a flat, healthy-looking line.  Its health state, the age of its
// values and its counters are always exported, so a dashboard shows the gap
// and the reason.
#include <string>

#include "web/LiveSnapshot.h"

class MetricsFormat {
public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    // now_ms: when the scrape is answered, which ages count to (a snapshot
    // is published once a round or a second, and not at all once a run
    // stops publishing: an age counted to it would stand still).
    static std::string Render(const LiveSnapshot& snapshot, int64_t now_ms);

    // A label value as the format wants it: backslash, double quote and
    // line feed escaped, other control characters written out (the format
    // has no escape for them, and a carriage return would break the line
    // for a person reading the page), UTF-8 passed through, a byte that is
    // not part of well-formed UTF-8 replaced by U+FFFD (one would make
    // Prometheus drop the whole page).
    static std::string EscapeLabel(const std::string& value);
};
