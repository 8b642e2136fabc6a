#include "FaultPlan.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "protocol/MonitorProtocol.h"

namespace monitor_sim {

namespace {

// Seed stream of the fault decisions; the readings use another.
constexpr uint32_t kFaultStream = 2;
// Tries at a corruption that the receiver's checks must catch; a byte change
// can slip through the checksum (a wrapped sum of 0 vs 254, or 1 vs 255).
constexpr int kCorruptTries = 16;
constexpr int kByteValues = 256;

}  // namespace

std::string FaultPlan::Decision::Describe() const {
    switch (withheld) {
        case Withheld::kSilent:
            return "silent";
        case Withheld::kDropped:
            return "dropped";
        case Withheld::kNo:
            break;
    }
    std::string out;
    auto add = [&out](const std::string& what) { out += (out.empty() ? "" : ", ") + what; };
    if (wrong_addr) add("wrong address");
    if (as_monitor) {
        char text[40];
        std::snprintf(text, sizeof text, "answered as monitor 0x%02X", *as_monitor);
        add(text);
    }
    if (corrupted) add("corrupted");
    if (garbage_bytes > 0) add(std::to_string(garbage_bytes) + " garbage bytes");
    if (chunks.size() > 1) add("split in " + std::to_string(chunks.size()));
    if (Late()) add("late by " + std::to_string(delay.count() / 1000) + " ms");
    return out;
}

FaultPlan::FaultPlan(Settings settings, uint32_t seed) : settings_(std::move(settings)) {
    std::seed_seq seq{seed, kFaultStream};
    rng_.seed(seq);
}

bool FaultPlan::Chance(double p) {
    // No draw for a fault that is off, so turning one fault on does not
    // reshuffle a run that had none.
    if (p <= 0.0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p;
}

FaultPlan::Decision FaultPlan::Decide(const Frame& reply) {
    Decision d;
    ++counts_.requests;
    if (settings_.stop_after && counts_.requests > *settings_.stop_after &&
        (!settings_.stop_for || counts_.requests <= *settings_.stop_after + *settings_.stop_for)) {
        d.withheld = Decision::Withheld::kSilent;
    } else if (silent_left_ > 0) {
        --silent_left_;
        d.withheld = Decision::Withheld::kSilent;
    } else if (Chance(settings_.silence)) {
        silent_left_ = std::max(settings_.silence_requests, 1) - 1;
        d.withheld = Decision::Withheld::kSilent;
    } else if (Chance(settings_.drop)) {
        d.withheld = Decision::Withheld::kDropped;
    }
    if (d.withheld == Decision::Withheld::kSilent) {
        ++counts_.silent;
        return d;
    }
    if (d.withheld == Decision::Withheld::kDropped) {
        ++counts_.dropped;
        return d;
    }

    Frame bytes = reply;
    const uint8_t asked = reply.size() > monitor::kReplyAddrOffset ? reply[monitor::kReplyAddrOffset] : 0;
    if (Chance(settings_.wrong_addr)) {
        // Any other address; the frame stays valid, only not for the asker.
        const int other = std::uniform_int_distribution<int>(1, kByteValues - 1)(rng_);
        monitor::SetReplyAddress(bytes.data(), static_cast<int>(bytes.size()), static_cast<uint8_t>(asked + other));
        d.wrong_addr = true;
        ++counts_.wrong_addr;
    }
    std::vector<uint8_t> others;
    for (const uint8_t m : settings_.monitors)
        if (m != asked) others.push_back(m);
    if (!d.wrong_addr && !others.empty() && Chance(settings_.wrong_monitor)) {
        const uint8_t as = others[std::uniform_int_distribution<std::size_t>(0, others.size() - 1)(rng_)];
        monitor::SetReplyAddress(bytes.data(), static_cast<int>(bytes.size()), as);
        d.as_monitor = as;
        ++counts_.wrong_monitor;
    }
    if (Chance(settings_.corrupt)) {
        Corrupt(bytes, asked);
        d.corrupted = true;
        ++counts_.corrupted;
    }
    if (Chance(settings_.garbage)) {
        Frame noise = Garbage();
        d.garbage_bytes = noise.size();
        bytes.insert(bytes.begin(), noise.begin(), noise.end());
        ++counts_.garbage;
    }
    if (Chance(settings_.split) && bytes.size() > 1 && settings_.split_max_chunks > 1) {
        d.chunks = Split(std::move(bytes));
        ++counts_.split;
    } else {
        d.chunks.push_back(Decision::Chunk{std::move(bytes), {}});
    }
    if (Chance(settings_.late) && settings_.late_delay.count() > 0) {
        d.delay = settings_.late_delay;
        ++counts_.late;
    }
    return d;
}

void FaultPlan::Corrupt(Frame& frame, uint8_t asked_addr) {
    if (frame.empty()) return;
    const int len = static_cast<int>(frame.size());
    std::uniform_int_distribution<int> pick_byte(0, len - 1);
    std::uniform_int_distribution<int> pick_flip(1, kByteValues - 1);
    for (int attempt = 0; attempt < kCorruptTries; ++attempt) {
        const int at = pick_byte(rng_);
        const uint8_t was = frame[at];
        frame[at] = static_cast<uint8_t>(was ^ pick_flip(rng_));
        if (!monitor::AcceptReply(frame.data(), len, len, asked_addr)) return;
        frame[at] = was;
    }
    // A changed checksum byte can never match the bytes it covers.
    frame[len - 1] = static_cast<uint8_t>(frame[len - 1] ^ pick_flip(rng_));
}

Frame FaultPlan::Garbage() {
    const int n = std::uniform_int_distribution<int>(1, std::max(settings_.garbage_max_bytes, 1))(rng_);
    std::uniform_int_distribution<int> pick(0, kByteValues - 1);
    Frame noise;
    while (static_cast<int>(noise.size()) < n) {
        const auto b = static_cast<uint8_t>(pick(rng_));
        // Noise holding the start byte can pass for the beginning of a reply;
        // kept out unless asked for, so a test sees the reply behind it.
        if (b == monitor::kStartByte && !settings_.garbage_any_byte) continue;
        noise.push_back(b);
    }
    return noise;
}

std::vector<FaultPlan::Decision::Chunk> FaultPlan::Split(Frame bytes) {
    const int len = static_cast<int>(bytes.size());
    const int pieces = std::uniform_int_distribution<int>(2, std::min(settings_.split_max_chunks, len))(rng_);
    // Distinct cut points inside the frame, in order.
    std::vector<int> cuts(len - 1);
    for (int i = 0; i < len - 1; ++i) cuts[i] = i + 1;
    std::shuffle(cuts.begin(), cuts.end(), rng_);
    cuts.resize(pieces - 1);
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(len);

    std::uniform_int_distribution<long> pause(0, std::max<long>(settings_.split_max_pause.count(), 0));
    std::vector<Decision::Chunk> chunks;
    int from = 0;
    for (const int to : cuts) {
        Decision::Chunk c;
        c.bytes.assign(bytes.begin() + from, bytes.begin() + to);
        if (!chunks.empty()) c.pause = std::chrono::microseconds(pause(rng_));
        chunks.push_back(std::move(c));
        from = to;
    }
    return chunks;
}

LateFault ParseLate(const std::string& text) {
    const auto colon = text.find(':');
    const std::string bad = text + ": expected P:MS, a probability 0..1 and a delay in ms";
    if (colon == std::string::npos) throw std::invalid_argument(bad);
    LateFault late;
    try {
        std::size_t used = 0;
        late.probability = std::stod(text.substr(0, colon), &used);
        if (used != colon) throw std::invalid_argument(bad);
        const std::string ms = text.substr(colon + 1);
        const double delay_ms = std::stod(ms, &used);
        if (used != ms.size()) throw std::invalid_argument(bad);
        if (!(late.probability >= 0.0 && late.probability <= 1.0) || !(delay_ms > 0.0 && delay_ms <= 60000.0))
            throw std::invalid_argument(bad);
        late.delay = std::chrono::microseconds(static_cast<long>(delay_ms * 1000.0));
    } catch (const std::logic_error&) {
        throw std::invalid_argument(bad);
    }
    return late;
}

StopFault ParseStop(const std::string& text) {
    const std::string bad = text + ": expected N or N:M, whole numbers of requests";
    auto whole = [&bad](const std::string& digits) {
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) throw std::invalid_argument(bad);
        try {
            return static_cast<uint64_t>(std::stoull(digits));
        } catch (const std::out_of_range&) {
            throw std::invalid_argument(bad);
        }
    };
    const auto colon = text.find(':');
    StopFault stop;
    stop.after = whole(text.substr(0, colon));
    if (colon != std::string::npos) stop.for_requests = whole(text.substr(colon + 1));
    return stop;
}

}  // namespace monitor_sim
