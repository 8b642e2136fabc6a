#pragma once
// Decides, request by request, how a reply goes wrong on its way to the
// master: withheld (silence, a dropped reply), sent from another address,
// with a corrupted byte, behind garbage bytes, split into chunks that
// arrive with pauses between them, or late: after the master has given up
// waiting, so that it may take the reply for the answer to its next request.  All choices come from one generator
// seeded by the run's seed, so a run with the same seed and the same
// requests makes the same choices.
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ReplyFrame.h"

namespace monitor_sim {

class FaultPlan {
public:
    struct Settings {
        // Probabilities, 0..1, each drawn once per request.
        double silence = 0.0;     // start a stretch of unanswered requests
        double drop = 0.0;        // leave this one request unanswered
        double wrong_addr = 0.0;  // answer as another address (a valid frame)
        // Answer as another of the monitors answered (a valid frame of the
        // right length, carrying that monitor's address): a cross-wired or
        // misconfigured unit, which a master must not take for the other's.
        double wrong_monitor = 0.0;
        std::vector<uint8_t> monitors;  // the bus addresses answered
        double corrupt = 0.0;     // change one byte, so the frame fails its checks
        double garbage = 0.0;     // noise bytes before the reply
        double split = 0.0;       // deliver the reply in pieces, with pauses
        double late = 0.0;        // hold the whole reply back by late_delay

        int silence_requests = 4;  // length of a silent stretch
        int garbage_max_bytes = 8;
        bool garbage_any_byte = false;  // else noise never holds the start byte
        int split_max_chunks = 4;
        std::chrono::microseconds split_max_pause{20000};
        std::chrono::microseconds late_delay{0};
        std::optional<uint64_t> stop_after;  // answer nothing after this many requests...
        std::optional<uint64_t> stop_for;    // ...for this many, then answer again
    };

    struct Counts {
        uint64_t requests = 0;
        uint64_t silent = 0;
        uint64_t dropped = 0;
        uint64_t wrong_addr = 0;
        uint64_t wrong_monitor = 0;
        uint64_t corrupted = 0;
        uint64_t garbage = 0;
        uint64_t split = 0;
        uint64_t late = 0;
        uint64_t Injected() const {
            return silent + dropped + wrong_addr + wrong_monitor + corrupted + garbage + split + late;
        }
    };

    // What to put on the line for one request.
    struct Decision {
        struct Chunk {
            Frame bytes;
            std::chrono::microseconds pause{0};  // before this chunk, after the previous one
        };
        enum class Withheld { kNo, kSilent, kDropped };

        Withheld withheld = Withheld::kNo;
        std::vector<Chunk> chunks;  // empty when withheld
        bool wrong_addr = false;
        // The address of the other monitor it answers as, when it does.
        std::optional<uint8_t> as_monitor;
        bool corrupted = false;
        size_t garbage_bytes = 0;
        std::chrono::microseconds delay{0};  // before the first chunk, on top of the line's own timing

        bool Late() const { return delay.count() > 0; }
        bool Answered() const { return withheld == Withheld::kNo; }
        // The master receives the very frame the monitor built (noise and
        // pauses around it do not change its bytes), or, answering as
        // another monitor, that frame with the other's address.
        bool Intact() const { return Answered() && !wrong_addr && !corrupted; }
        // The injected faults in words, for the trace ("" when none).
        std::string Describe() const;
    };

    FaultPlan(Settings settings, uint32_t seed);

    // The decision for the reply to the next request; reply is the frame as
    // the monitor built it.
    Decision Decide(const Frame& reply);

    const Counts& Totals() const { return counts_; }

private:
    bool Chance(double p);
    void Corrupt(Frame& frame, uint8_t asked_addr);
    Frame Garbage();
    std::vector<Decision::Chunk> Split(Frame bytes);

    Settings settings_;
    std::mt19937 rng_;
    Counts counts_;
    int silent_left_ = 0;
};

// "--late P:MS": the probability (0..1) and the delay (milliseconds, more
// than 0).  Throws std::invalid_argument saying what is wrong.
struct LateFault {
    double probability = 0.0;
    std::chrono::microseconds delay{0};
};
LateFault ParseLate(const std::string& text);

// "--stop-after N[:M]": silent after N requests, for good or for M requests.
struct StopFault {
    uint64_t after = 0;
    std::optional<uint64_t> for_requests;
};
StopFault ParseStop(const std::string& text);

}  // namespace monitor_sim
