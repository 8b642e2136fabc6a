#pragma once
// The hex trace: one line per request received and per reply sent (or
// withheld), stamped with the local time to the microsecond, as engineers
// read a bus capture.
//
//   14:03:21.512034 rx FE FE 81 A1 22
//   14:03:21.512101 tx ED 81 05 46 05 46 ... 00 00 19
//   14:03:21.530377 rx 00 13 (skipped)
//   14:03:21.530392 rx FE FE 81 A2 23
//   14:03:21.530398 -- 81 A2 no reply (dropped)
//   14:03:21.641120 rx FE FE 82 A1 23 (not ours)
//   14:03:21.702511 tx 5A ED 81 0F 34 C4 [1 garbage bytes, split in 2]
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace monitor_sim {

class TraceLog {
public:
    // Writes to out when enabled; a disabled trace costs nothing.
    TraceLog(std::FILE* out, bool enabled) : out_(out), enabled_(enabled) {}

    bool Enabled() const { return enabled_; }
    void Line(const std::string& text) const;

    // Upper-case hex, one space between bytes.
    static std::string Hex(const uint8_t* data, size_t len);
    static std::string Hex(const std::vector<uint8_t>& bytes) { return Hex(bytes.data(), bytes.size()); }

private:
    std::FILE* out_;
    bool enabled_;
};

}  // namespace monitor_sim
