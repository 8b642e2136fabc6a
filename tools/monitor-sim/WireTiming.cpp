#include "WireTiming.h"

#include "protocol/MonitorProtocol.h"

namespace monitor_sim {

WireTiming::WireTiming(bool paced, int baud, std::chrono::microseconds turnaround)
    : paced_(paced), baud_(baud > 0 ? baud : 1), turnaround_(turnaround) {}

std::chrono::nanoseconds WireTiming::ByteTime() const {
    using std::chrono::nanoseconds;
    return nanoseconds(std::chrono::seconds(monitor::kBitsPerByte)) / baud_;
}

std::vector<WireTiming::Write> WireTiming::Schedule(const std::vector<FaultPlan::Decision::Chunk>& chunks) const {
    std::vector<Write> writes;
    std::chrono::nanoseconds t{0};
    if (!paced_) {
        for (const auto& c : chunks) {
            t += c.pause;
            writes.push_back(Write{t, c.bytes});
        }
        return writes;
    }
    // The request's bytes arrived at once over the pseudo-terminal; on the
    // wire its last byte would come a request's length later.
    t = ByteTime() * monitor::kRequestLen + turnaround_;
    // Each byte is handed over when its stop bit would have been received.
    for (const auto& c : chunks) {
        t += c.pause;
        for (const uint8_t b : c.bytes) {
            t += ByteTime();
            writes.push_back(Write{t, Frame{b}});
        }
    }
    return writes;
}

std::vector<WireTiming::Write> WireTiming::Merge(std::vector<Write> earlier, const std::vector<Write>& later) {
    std::vector<Write> merged;
    auto a = earlier.begin();
    auto b = later.begin();
    while (a != earlier.end() || b != later.end()) {
        const bool take_earlier = b == later.end() || (a != earlier.end() && a->at <= b->at);
        const Write& next = take_earlier ? *a++ : *b++;
        if (!merged.empty() && merged.back().at == next.at) {
            merged.back().bytes.insert(merged.back().bytes.end(), next.bytes.begin(), next.bytes.end());
        } else {
            merged.push_back(next);
        }
    }
    return merged;
}

}  // namespace monitor_sim
