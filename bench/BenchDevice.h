#pragma once
// One configured 29-cell device with the replies of a healthy monitor ready
// in memory, and the operations the benchmarks measure.
#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

#include <json/value.h>

#include "models/UPSBattery29.h"

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class BenchDevice {
public:
    BenchDevice();

    // One poll cycle: a tick, the cell reply (whole, or in chunks of the
    // given size) and the three short replies that complete the round.
    void Cycle(std::size_t chunk);
    float GetCell() const;
    float GetTemperature() const;
    // The name no device knows: the answer is an exception.
    bool GetUnsupported() const;
    void Configure();
    bool Restore();

private:
    UPSBattery29 dev_;
    Json::Value config_;
    std::vector<uint8_t> cell_reply_;
    std::vector<uint8_t> short_replies_[3];
    std::string record_;
    const std::string cell_name_{"battery_17_value"};
    const std::string temperature_name_{"temperature"};
    const std::string unsupported_name_{"humidity"};
};

// Runs an operation n times; for instruction counts.  Returns 2 for an
// unknown operation.
int RunForInstructions(const std::string& op, long n);
