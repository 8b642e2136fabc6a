#pragma once
// Finds the master's request frames (FE FE addr cmd sum) in the bytes of the
// line, however they are chunked.  Bytes that are not part of a valid frame
// (line noise, another master's partial frame, a frame with a bad checksum)
// are skipped: the parser looks for the next pair of lead bytes and tries
// again, one byte further on each failure, so a good frame that follows a
// bad one is never lost.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace monitor_sim {

class RequestParser {
public:
    struct Request {
        uint8_t addr = 0;
        uint8_t command = 0;
        bool operator==(const Request& o) const { return addr == o.addr && command == o.command; }
    };

    // Adds received bytes; returns the requests completed by them, in order.
    // Any address and any command: which to answer is the caller's choice.
    std::vector<Request> Feed(const uint8_t* data, size_t len);

    // Bytes skipped since the previous call, for the hex trace.
    std::vector<uint8_t> TakeSkipped();

    uint64_t SkippedTotal() const { return skipped_total_; }
    // Bytes held back as the possible start of a frame (at most 4).
    size_t Pending() const { return buf_.size(); }

private:
    void Skip(size_t from, size_t to);

    std::vector<uint8_t> buf_;
    std::vector<uint8_t> skipped_;
    uint64_t skipped_total_ = 0;
};

}  // namespace monitor_sim
