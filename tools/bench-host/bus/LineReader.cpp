#include "bus/LineReader.h"

#include <algorithm>

#include "protocol/MonitorProtocol.h"

void LineReader::Expect(const uint8_t* request, std::size_t len, int reply_len, std::map<uint8_t, Owed> owed) {
    expecting_ = true;
    whole_ = false;
    reply_len_ = reply_len;
    owed_ = std::move(owed);
    // The monitor asked answers for itself.
    uint8_t addr = 0;
    uint8_t command = 0;
    if (monitor::ParseRequest(request, static_cast<int>(len), &addr, &command)) owed_.erase(addr);
    echo_.assign(request, request + len);
    echo_pos_ = options_.echo ? 0 : echo_.size();
    gathered_.clear();
    begun_ = false;
}

void LineReader::Forget() {
    expecting_ = false;
    whole_ = false;
    begun_ = false;
    gathered_.clear();
    echo_pos_ = echo_.size();
}

LineReader::Out LineReader::Feed(const uint8_t* data, std::size_t len, Clock::time_point now) {
    Out out;
    std::size_t i = 0;
    while (i < len && echo_pos_ < echo_.size()) {
        if (data[i] != echo_[echo_pos_]) {
            echo_pos_ = echo_.size();  // not the echo: a reply, or noise
            break;
        }
        out.echo.push_back(data[i]);
        ++i;
        ++echo_pos_;
    }
    if (i == len) return out;
    last_rx_ = now;
    if (!expecting_) {
        // Nothing asked for these, so only the frame gap tells where one
        // reply ends.
        out.stray.assign(data + i, data + len);
        out.stray_rest = out.stray[0] != monitor::kStartByte && last_stray_ && now - *last_stray_ < options_.frame_gap;
        last_stray_ = now;
        return out;
    }
    if (whole_) {
        out.surplus.assign(data + i, data + len);
        return out;
    }
    gathered_.insert(gathered_.end(), data + i, data + len);
    if (reply_len_ <= 0) {
        out.first_byte = Begins();
        return out;  // ends at the frame gap
    }
    const uint8_t* first = gathered_.data();
    const uint8_t* last = first + gathered_.size();
    const uint8_t* start = monitor::FindStartByte(first, gathered_.size());
    if (last - start >= 2) {
        const auto owing = owed_.find(start[1]);
        if (owing != owed_.end() && owing->second.count > 0) {
            // A late reply of another monitor: whole, it is set apart and
            // what follows it is gathered afresh.  Its first byte is not the
            // first of the reply awaited, which begins after it.
            if (last - start < owing->second.reply_len) return out;
            const auto end = gathered_.begin() + (start - first) + owing->second.reply_len;
            out.owed.emplace_back(gathered_.begin(), end);
            const Bytes rest(end, gathered_.end());
            gathered_.clear();
            --owing->second.count;
            if (rest.empty()) return out;
            Out more = Feed(rest.data(), rest.size(), now);
            out.owed.insert(out.owed.end(), more.owed.begin(), more.owed.end());
            out.reply = std::move(more.reply);
            out.surplus = std::move(more.surplus);
            out.first_byte = more.first_byte;
            return out;
        }
    }
    std::size_t end = 0;
    if (start != last && last - start >= reply_len_) {
        end = static_cast<std::size_t>(start - first) + static_cast<std::size_t>(reply_len_);
    } else if (gathered_.size() > static_cast<std::size_t>(monitor::kReplyCapacity)) {
        // Noise without a frame: more than the device gathers, handed over
        // for it to refuse rather than kept growing.
        end = gathered_.size();
    } else {
        out.first_byte = Begins();
        return out;
    }
    out.first_byte = Begins();
    out.reply.assign(gathered_.begin(), gathered_.begin() + static_cast<std::ptrdiff_t>(end));
    out.surplus.assign(gathered_.begin() + static_cast<std::ptrdiff_t>(end), gathered_.end());
    gathered_.clear();
    whole_ = true;
    return out;
}

bool LineReader::Begins() {
    if (begun_) return false;
    begun_ = true;
    return true;
}

LineReader::Out LineReader::Poll(Clock::time_point now) {
    Out out;
    if (expecting_ && !whole_ && reply_len_ <= 0 && !gathered_.empty() && now - last_rx_ >= options_.frame_gap) {
        out.reply.swap(gathered_);
        whole_ = true;
    }
    return out;
}

std::optional<LineReader::Clock::time_point> LineReader::NextWake() const {
    if (expecting_ && !whole_ && reply_len_ <= 0 && !gathered_.empty()) return last_rx_ + options_.frame_gap;
    return std::nullopt;
}

std::optional<uint8_t> LineReader::ReplyAddress(const Bytes& bytes) {
    const uint8_t* last = bytes.data() + bytes.size();
    const uint8_t* start = monitor::FindStartByte(bytes.data(), bytes.size());
    if (start == last || start + 1 == last) return std::nullopt;
    return *(start + 1);
}

std::vector<LineReader::Bytes> LineReader::ByMonitor(const Bytes& bytes, std::map<uint8_t, Owed> owed) {
    std::vector<Bytes> out;
    const auto start_at = [&](std::size_t from) {
        return static_cast<std::size_t>(monitor::FindStartByte(bytes.data() + from, bytes.size() - from) - bytes.data());
    };
    std::size_t from = 0;
    for (std::size_t at = start_at(0); at + 1 < bytes.size();) {
        const auto owing = owed.find(bytes[at + 1]);
        if (owing == owed.end() || owing->second.count <= 0) break;
        const std::size_t end = at + static_cast<std::size_t>(owing->second.reply_len);
        if (end >= bytes.size()) break;
        --owing->second.count;
        // Replies of one monitor stay together: they pay its requests as a
        // burst, oldest first.
        const std::size_t next = start_at(end);
        if (next + 1 >= bytes.size() || bytes[next + 1] != bytes[at + 1]) {
            out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(end));
            from = end;
        }
        at = next;
    }
    out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
    return out;
}

int LineReader::Replies(const Bytes& bytes) {
    const auto addr = ReplyAddress(bytes);
    if (!addr) return 1;
    int replies = 0;
    for (std::size_t i = 0; i + 1 < bytes.size();) {
        if (bytes[i] == monitor::kStartByte && bytes[i + 1] == *addr) {
            ++replies;
            i += monitor::kShortReplyLen;
        } else {
            ++i;
        }
    }
    return std::max(replies, 1);
}
