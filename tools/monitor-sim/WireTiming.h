#pragma once
// When the bytes of a reply go onto the line.  Unpaced, each chunk is
// written as soon as its pause has passed: the fastest a master can be
// served, which is what unit and soak runs want.  Paced, the simulator
// behaves like a monitor on a real 8N1 line: the request is taken to have
// crossed the wire byte by byte, the monitor waits its turnaround time, and
// each reply byte then takes the line's byte time (start bit, 8 data bits,
// stop bit), so a pseudo-terminal carries a cycle no faster than the wire.
#include <chrono>
#include <vector>

#include "FaultPlan.h"

namespace monitor_sim {

class WireTiming {
public:
    struct Write {
        std::chrono::nanoseconds at{0};  // after the request was read
        Frame bytes;
    };


    WireTiming(bool paced, int baud, std::chrono::microseconds turnaround);

    std::chrono::nanoseconds ByteTime() const;

    // The writes that put the chunks of one reply on the line, in order.
    std::vector<Write> Schedule(const std::vector<FaultPlan::Decision::Chunk>& chunks) const;

    // Two monitors set to one address answer one request together, each
    // unaware of the other: their writes in time order, the earlier reply's
    // before the later's at the same moment, and writes due together joined
    // into one.  Unpaced, both replies are due at once and leave in one
    // write, one after the other, so no pause of the simulator's can come
    // between them; paced, their bytes interleave as they would collide on
    // the wire.
    static std::vector<Write> Merge(std::vector<Write> earlier, const std::vector<Write>& later);

private:
    bool paced_;
    int baud_;
    std::chrono::microseconds turnaround_;
};

}  // namespace monitor_sim
