#pragma once
// The bytes of one bus as they arrive, sorted by what the host asked for.
// No I/O and no clock of its own: bytes and the time they came go in, and
// out comes what they are.
//
// After a request the reader knows how long the reply must be (the command
// says so).  It takes off the adapter's echo of the request, then gathers
// the reply however it is cut and however long its pieces pause, until the
// frame is whole counting from its start byte; the bytes before the start
// byte go with it, as the device skips them itself.  Bytes beyond the whole
// frame are surplus: more than one reply to one request, so the line is out
// of step.  Bytes while nothing is asked are stray.  Only a reply of unknown
// length ends at the frame gap.  A frame from a monitor that owes the host
// replies of a known length, where another's reply is awaited, is one of
// those replies, late: it is gathered by that length and set apart, and the
// reply awaited is gathered after it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

class LineReader {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<uint8_t>;

    struct Options {
        bool echo = false;  // a half-duplex adapter hears its own request first
        Clock::duration frame_gap = std::chrono::milliseconds(20);
    };

    // What one feed (or time passing) made of the bytes.
    struct Out {
        Bytes echo;     // the request heard back, taken off
        Bytes reply;    // a reply whole, with any bytes before its start byte
        Bytes surplus;  // bytes past the whole reply
        Bytes stray;    // bytes while nothing is asked
        std::vector<Bytes> owed;  // whole replies of monitors that owed them, before the reply
        // The stray bytes are the rest of the stray reply before them: they
        // came within the frame gap and do not begin a reply.
        bool stray_rest = false;
        // The first byte of the reply awaited came with this feed: the first
        // not of a frame set apart (a lone start byte is taken as the
        // reply's, as nothing yet tells it from one).
        bool first_byte = false;
    };

    explicit LineReader(Options options) : options_(options) {}

    // A request went out; reply_len is the reply it asks for, 0 when not
    // known (that reply ends at the frame gap).  owed: other monitors, by
    // the address their replies carry, each with the length and number of
    // the replies it owes.
    struct Owed {
        int reply_len = 0;
        int count = 0;
    };
    void Expect(const uint8_t* request, std::size_t len, int reply_len, std::map<uint8_t, Owed> owed = {});
    // Nothing is asked any more: what comes from now on is stray.
    void Forget();

    Out Feed(const uint8_t* data, std::size_t len, Clock::time_point now);
    // Time passing: a reply of unknown length ends when the line has been
    // quiet for the frame gap.
    Out Poll(Clock::time_point now);
    std::optional<Clock::time_point> NextWake() const;

    // A reply is awaited and not yet whole.
    bool Awaiting() const { return expecting_ && !whole_; }
    // The bytes gathered for the reply awaited: judged when it is overdue.
    const Bytes& Gathered() const { return gathered_; }

    // The monitor that bytes nobody asked for come from: the byte after
    // their first start byte.
    static std::optional<uint8_t> ReplyAddress(const Bytes& bytes);
    // How many replies such bytes hold: each begins with the start byte and
    // that address, and is at least a short reply long.
    static int Replies(const Bytes& bytes);
    // Such bytes cut where the replies of a monitor that owes replies of a
    // known length end and another monitor's begin: the replies of monitors
    // that queued behind a late one come together, and each pays its own.
    static std::vector<Bytes> ByMonitor(const Bytes& bytes, std::map<uint8_t, Owed> owed);

private:
    Options options_;
    bool expecting_ = false;
    bool whole_ = false;
    int reply_len_ = 0;
    std::map<uint8_t, Owed> owed_;
    Bytes echo_;
    std::size_t echo_pos_ = 0;
    Bytes gathered_;
    bool begun_ = false;  // the reply awaited has begun
    Clock::time_point last_rx_{};
    // The reply awaited begins now, unless it had already.
    bool Begins();
    std::optional<Clock::time_point> last_stray_;
};
