// The bus's line reader under arbitrary traffic: requests with any reply
// length and any replies other monitors owe, bytes in chunks of any size at
// any pace, time passing, requests forgotten.  Every byte fed comes out
// exactly once and in order: taken off as the echo, set apart as an owed
// reply, in the reply, as surplus or stray, or still gathered (the caller
// judges Gathered() when a new request or Forget() drops it).  Each output
// is what the reader's header says it is, and what it gathers for a reply
// of known length never outgrows the reply buffer unless an owed reply is
// half-way in.
//
// The input is read as operations, so that seeds hold requests and replies
// as they are on the wire:
//   byte 0      bit 0 the adapter's echo, the other bits the frame gap in ms
//   then, each operation a byte whose low two bits say which:
//   0 Expect    n (a byte, low 4 bits), n request bytes; the reply length
//               (two bytes, signed, high first); k (a byte, 0..4) monitors
//               that owe replies, each its address, reply length (a byte,
//               from 2) and count (a byte, 0..16)
//   1 Forget
//   2 Feed      after op>>2 ms: n (a byte), then n bytes
//   3 Poll      after op>>2 ms
// An operation cut short by the end of the input is not done.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "bus/LineReader.h"
#include "fuzz/FuzzCheck.h"
#include "protocol/MonitorProtocol.h"

namespace {

using Bytes = LineReader::Bytes;
using Clock = LineReader::Clock;
using Owed = std::map<uint8_t, LineReader::Owed>;

class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Byte(uint8_t* b) {
        if (at_ >= size_) return false;
        *b = data_[at_++];
        return true;
    }
    bool Take(std::size_t n, Bytes* out) {
        if (size_ - at_ < n) return false;
        out->assign(data_ + at_, data_ + at_ + n);
        at_ += n;
        return true;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

std::size_t FirstStart(const Bytes& b) {
    return static_cast<std::size_t>(monitor::FindStartByte(b.data(), b.size()) - b.data());
}

void Append(Bytes& to, const Bytes& b) { to.insert(to.end(), b.begin(), b.end()); }

// What a reader's caller knows: what it asked, what it fed, what it got.
class Model {
public:
    Model(bool echo, Clock::duration gap) : echo_(echo), gap_(gap) {}

    void Expect(LineReader& reader, const Bytes& request, int reply_len, const Owed& owed) {
        Append(emitted_, reader.Gathered());  // judged by the caller, then dropped
        reader.Expect(request.data(), request.size(), reply_len, owed);
        expecting_ = true;
        whole_ = false;
        reply_len_ = reply_len;
        owed_ = owed;
        begun_ = false;
        uint8_t addr = 0, command = 0;
        if (monitor::ParseRequest(request.data(), static_cast<int>(request.size()), &addr, &command)) owed_.erase(addr);
        echo_rest_ = echo_ ? request : Bytes();
        Check(reader);
    }

    void Forget(LineReader& reader) {
        Append(emitted_, reader.Gathered());
        reader.Forget();
        expecting_ = false;
        whole_ = false;
        begun_ = false;
        echo_rest_.clear();
        Check(reader);
    }

    void Feed(LineReader& reader, const Bytes& chunk) {
        const LineReader::Out out = reader.Feed(chunk.data(), chunk.size(), now_);
        Append(fed_, chunk);

        // The echo: as much of the request as the chunk repeats from where
        // the echo stands; the first byte that differs ends it.
        std::size_t k = 0;
        while (k < chunk.size() && k < echo_rest_.size() && chunk[k] == echo_rest_[k]) ++k;
        FUZZ_CHECK(out.echo == Bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(k)));
        if (k == chunk.size())
            echo_rest_.erase(echo_rest_.begin(), echo_rest_.begin() + static_cast<std::ptrdiff_t>(k));
        else
            echo_rest_.clear();
        const Bytes rest(chunk.begin() + static_cast<std::ptrdiff_t>(k), chunk.end());
        Emit(out);

        if (rest.empty()) {
            FUZZ_CHECK(out.reply.empty() && out.surplus.empty() && out.stray.empty() && out.owed.empty());
            FUZZ_CHECK(!out.first_byte && !out.stray_rest);
        } else if (!expecting_) {
            FUZZ_CHECK(out.stray == rest && out.reply.empty() && out.surplus.empty() && out.owed.empty());
            // The rest of a stray reply: within the frame gap, not a start.
            if (out.stray_rest)
                FUZZ_CHECK(rest[0] != monitor::kStartByte && last_stray_ && now_ - *last_stray_ < gap_);
            last_stray_ = now_;
        } else if (whole_) {
            FUZZ_CHECK(out.surplus == rest && out.reply.empty() && out.owed.empty() && !out.first_byte);
        } else {
            FUZZ_CHECK(out.stray.empty() && !out.stray_rest);
            // The first byte is the reply awaited beginning, once: something
            // of it is gathered now that is no frame an owing monitor has
            // begun (those are set apart once whole).
            Gathering(reader, out);
            const Bytes& g = reader.Gathered();
            const bool begun_now = !out.reply.empty() || (!g.empty() && !OwedBegun(g));
            FUZZ_CHECK(out.first_byte == (!begun_ && begun_now));
            begun_ = begun_ || out.first_byte;
        }
        if (!rest.empty()) last_rx_ = now_;
        Check(reader);
    }

    void Poll(LineReader& reader) {
        const auto wake = reader.NextWake();
        const Bytes before = reader.Gathered();
        const LineReader::Out out = reader.Poll(now_);
        Emit(out);
        FUZZ_CHECK(out.echo.empty() && out.surplus.empty() && out.stray.empty() && out.owed.empty());
        // Only a reply of unknown length waits for the frame gap.
        const bool waits = expecting_ && !whole_ && reply_len_ <= 0 && !before.empty();
        FUZZ_CHECK(wake.has_value() == waits);
        if (waits) FUZZ_CHECK(*wake == *last_rx_ + gap_);
        if (waits && now_ >= *wake) {
            FUZZ_CHECK(out.reply == before);
            whole_ = true;
        } else {
            FUZZ_CHECK(out.reply.empty());
        }
        Check(reader);
    }

    void Pass(Clock::duration d) { now_ += d; }

private:
    // The bytes of a reply awaited, not yet whole, came in.
    void Gathering(const LineReader& reader, const LineReader::Out& out) {
        if (reply_len_ <= 0) {
            FUZZ_CHECK(out.reply.empty() && out.surplus.empty() && out.owed.empty());
            return;
        }
        // Each reply set apart is one whole frame of a monitor that owed
        // one, after bytes that hold no start byte.
        for (const Bytes& frame : out.owed) {
            const std::size_t s = FirstStart(frame);
            FUZZ_CHECK(s + 1 < frame.size());
            const auto owing = owed_.find(frame[s + 1]);
            FUZZ_CHECK(owing != owed_.end() && owing->second.count > 0);
            FUZZ_CHECK(frame.size() - s == static_cast<std::size_t>(owing->second.reply_len));
            --owing->second.count;
        }
        if (!out.reply.empty()) {
            // Whole counting from its start byte, and not one an owing
            // monitor sent; or noise beyond what the device gathers.
            const Bytes& r = out.reply;
            const std::size_t s = FirstStart(r);
            const bool frame = s < r.size() && r.size() - s == static_cast<std::size_t>(reply_len_);
            FUZZ_CHECK(frame || r.size() > static_cast<std::size_t>(monitor::kReplyCapacity));
            if (frame && r.size() - s >= 2) FUZZ_CHECK(!Owing(r[s + 1]));
            whole_ = true;
        } else {
            FUZZ_CHECK(out.surplus.empty());
        }
        // More than the buffer is kept only while an owed reply is cut short.
        const Bytes& g = reader.Gathered();
        if (g.size() > static_cast<std::size_t>(monitor::kReplyCapacity)) {
            const std::size_t s = FirstStart(g);
            FUZZ_CHECK(s + 1 < g.size() && Owing(g[s + 1]));
            FUZZ_CHECK(g.size() - s < static_cast<std::size_t>(owed_.at(g[s + 1]).reply_len));
        }
    }

    // Bytes gathered that begin a frame of a monitor owing one of a known
    // length, not yet whole: they are set apart once it is.
    bool OwedBegun(const Bytes& b) const {
        if (reply_len_ <= 0) return false;
        const std::size_t s = FirstStart(b);
        if (s + 1 >= b.size() || !Owing(b[s + 1])) return false;
        return b.size() - s < static_cast<std::size_t>(owed_.at(b[s + 1]).reply_len);
    }

    bool Owing(uint8_t addr) const {
        const auto it = owed_.find(addr);
        return it != owed_.end() && it->second.count > 0;
    }

    void Emit(const LineReader::Out& out) {
        Append(emitted_, out.echo);
        for (const Bytes& frame : out.owed) Append(emitted_, frame);
        Append(emitted_, out.reply);
        Append(emitted_, out.surplus);
        Append(emitted_, out.stray);
        // No feed is both stray and asked for.
        FUZZ_CHECK(out.stray.empty() || (out.reply.empty() && out.surplus.empty() && out.owed.empty()));
        for (const Bytes* unasked : {&out.stray, &out.surplus})
            if (!unasked->empty()) Unasked(*unasked);
    }

    // Bytes nobody asked for, as the scheduler reads them.
    void Unasked(const Bytes& bytes) const {
        const auto parts = LineReader::ByMonitor(bytes, owed_);
        Bytes joined;
        for (const Bytes& part : parts) Append(joined, part);
        FUZZ_CHECK(joined == bytes);
        std::size_t owed_count = 0;
        for (const auto& o : owed_) owed_count += static_cast<std::size_t>(std::max(o.second.count, 0));
        FUZZ_CHECK(parts.size() <= 1 + owed_count);
        FUZZ_CHECK(LineReader::Replies(bytes) >= 1);
        const std::size_t s = FirstStart(bytes);
        const auto addr = LineReader::ReplyAddress(bytes);
        FUZZ_CHECK(addr.has_value() == (s + 1 < bytes.size()));
        if (addr) FUZZ_CHECK(*addr == bytes[s + 1]);
    }

    void Check(const LineReader& reader) const {
        FUZZ_CHECK(reader.Awaiting() == (expecting_ && !whole_));
        // Every byte fed is out, once and in order, or still gathered.
        const Bytes& g = reader.Gathered();
        FUZZ_CHECK(emitted_.size() + g.size() == fed_.size());
        FUZZ_CHECK(std::equal(emitted_.begin(), emitted_.end(), fed_.begin()));
        FUZZ_CHECK(std::equal(g.begin(), g.end(), fed_.begin() + static_cast<std::ptrdiff_t>(emitted_.size())));
    }

    const bool echo_;
    const Clock::duration gap_;
    Clock::time_point now_ = Clock::time_point() + std::chrono::hours(1);
    std::optional<Clock::time_point> last_rx_;
    std::optional<Clock::time_point> last_stray_;
    bool expecting_ = false;
    bool whole_ = false;
    bool begun_ = false;  // the reply awaited has begun
    int reply_len_ = 0;
    Owed owed_;
    Bytes echo_rest_;
    Bytes fed_;
    Bytes emitted_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    uint8_t options = 0;
    if (!in.Byte(&options)) return 0;
    const bool echo = (options & 1) != 0;
    const auto gap = std::chrono::milliseconds(options >> 1);
    LineReader reader(LineReader::Options{echo, gap});
    Model model(echo, gap);

    uint8_t op = 0;
    while (in.Byte(&op)) {
        switch (op & 3) {
            case 0: {
                uint8_t n = 0, hi = 0, lo = 0, k = 0;
                Bytes request;
                if (!in.Byte(&n) || !in.Take(n & 15u, &request) || !in.Byte(&hi) || !in.Byte(&lo) || !in.Byte(&k))
                    return 0;
                const int reply_len = static_cast<int16_t>(static_cast<uint16_t>(hi << 8 | lo));
                Owed owed;
                for (int m = 0; m < k % 5; ++m) {
                    uint8_t addr = 0, len = 0, count = 0;
                    if (!in.Byte(&addr) || !in.Byte(&len) || !in.Byte(&count)) return 0;
                    // The bus owes whole replies: at least a start byte and
                    // an address, at most the last ExchangeTracker::kMaxOwed.
                    owed[addr] = LineReader::Owed{len < 2 ? 2 : len, count % 17};
                }
                model.Expect(reader, request, reply_len, owed);
                break;
            }
            case 1:
                model.Forget(reader);
                break;
            case 2: {
                uint8_t n = 0;
                Bytes chunk;
                if (!in.Byte(&n) || !in.Take(n, &chunk)) return 0;
                model.Pass(std::chrono::milliseconds(op >> 2));
                model.Feed(reader, chunk);
                break;
            }
            default:
                model.Pass(std::chrono::milliseconds(op >> 2));
                model.Poll(reader);
                break;
        }
    }
    return 0;
}
