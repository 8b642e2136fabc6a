#pragma once
// Why one exchange of a poll cycle (a request and its reply) failed, as the
// host sees it.  The plug-in only says that it refused a reply; the host
// judges the bytes it handed over with the same frame checks the plug-in
// applies (protocol/MonitorProtocol.h), so the reasons are the plug-in's
// own: a partial reply, a wrong start byte or address, a checksum.
#include <array>
#include <cstddef>
#include <cstdint>

enum class FailureReason {
    kTimeout,    // no answer before the reply was due
    kPartial,    // fewer bytes than the reply's length
    kStartByte,  // the bytes do not begin a reply
    kAddress,    // another monitor answered
    kChecksum,   // the checksum does not match
    kRefused,    // refused by the plug-in for another reason (too many bytes, values it rejects)
    kPortLost,   // the serial port went away during the exchange
    kLateReply,  // bytes after a reply timeout, while the line had to be quiet
    // A round completed while the line was out of step (a reply came that no
    // request explains), so its values may answer other requests: neither
    // stored nor shown.
    kLateDiscarded,
    // A round completed, and then a second answer to one of its requests
    // came, or bytes while another answer to its last request could still
    // come: two monitors may share the address, and its values may be both
    // monitors'.  Neither stored nor shown.
    kTwoAnswers,
};
constexpr std::size_t kFailureReasons = 10;

// "timeout", "partial", "start byte", "address", "checksum", "refused",
// "port lost", "late reply", "late, discarded", "two answers".
const char* FailureName(FailureReason reason);

// Exchanges failed, per reason.
using FailureCounts = std::array<long, kFailureReasons>;
inline long& At(FailureCounts& counts, FailureReason r) { return counts[static_cast<std::size_t>(r)]; }

// Why a device refused the bytes handed to it for one reply: reply_len and
// addr are what its request asked for.  The plug-in takes the reply from
// the first start byte; a frame that passes every check was refused for a
// reason of the plug-in's own.
FailureReason JudgeRefusal(const uint8_t* bytes, std::size_t len, int reply_len, uint8_t addr);
