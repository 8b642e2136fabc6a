#include "ReplySchedule.h"

namespace monitor_sim {

bool ReplySchedule::CanTake(uint8_t addr) const {
    const auto it = owed_.find(addr);
    return it == owed_.end() || it->second.size() < kMaxOwed;
}

bool ReplySchedule::Owes(uint8_t addr) const { return owed_.count(addr) > 0; }

std::optional<uint64_t> ReplySchedule::Add(uint8_t addr, Clock::time_point asked,
                                           std::vector<WireTiming::Write> writes) {
    if (!CanTake(addr)) return std::nullopt;
    const uint64_t id = next_id_++;
    if (writes.empty()) return id;  // nothing to put on the line
    // A reply queued behind another is re-based when that one is out.
    owed_[addr].push_back(Reply{id, asked, std::move(writes), 0});
    return id;
}

std::optional<uint8_t> ReplySchedule::FirstReady() const {
    std::optional<uint8_t> first;
    for (const auto& [addr, queue] : owed_) {
        const Reply& r = queue.front();
        if (!first) {
            first = addr;
            continue;
        }
        const Reply& best = owed_.at(*first).front();
        if (DueOf(r) < DueOf(best) || (DueOf(r) == DueOf(best) && r.id < best.id)) first = addr;
    }
    return first;
}

std::optional<ReplySchedule::Clock::time_point> ReplySchedule::NextDue() const {
    if (on_line_) return DueOf(owed_.at(*on_line_).front());
    const auto first = FirstReady();
    if (!first) return std::nullopt;
    return DueOf(owed_.at(*first).front());
}

std::optional<ReplySchedule::Write> ReplySchedule::TakeDue(Clock::time_point now) {
    const auto addr = on_line_ ? on_line_ : FirstReady();
    if (!addr) return std::nullopt;
    auto& queue = owed_.at(*addr);
    Reply& r = queue.front();
    if (DueOf(r) > now) return std::nullopt;
    Write w;
    w.reply = r.id;
    w.addr = *addr;
    w.first = r.next == 0;
    // A reply that waited for the line, or for the loop, keeps its own
    // spacing from the moment it starts.
    if (w.first) r.base = now - r.writes[0].at;
    w.bytes = std::move(r.writes[r.next].bytes);
    ++r.next;
    w.last = r.next == r.writes.size();
    if (!w.last) {
        on_line_ = addr;
        return w;
    }
    on_line_.reset();
    queue.pop_front();
    if (queue.empty()) {
        owed_.erase(*addr);
    } else if (queue.front().base < now) {
        // The monitor takes its next request now that this reply is out.
        queue.front().base = now;
    }
    return w;
}

std::vector<uint64_t> ReplySchedule::Clear() {
    std::vector<uint64_t> ids;
    for (const auto& [addr, queue] : owed_)
        for (const Reply& r : queue) ids.push_back(r.id);
    owed_.clear();
    on_line_.reset();
    return ids;
}

}  // namespace monitor_sim
