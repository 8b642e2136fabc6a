#include "record/FailureReason.h"

#include <algorithm>

#include "protocol/MonitorProtocol.h"

const char* FailureName(FailureReason reason) {
    switch (reason) {
        case FailureReason::kTimeout: return "timeout";
        case FailureReason::kPartial: return monitor::ReplyFaultName(monitor::ReplyFault::kShort);
        case FailureReason::kStartByte: return monitor::ReplyFaultName(monitor::ReplyFault::kNoStartByte);
        case FailureReason::kAddress: return monitor::ReplyFaultName(monitor::ReplyFault::kAddress);
        case FailureReason::kChecksum: return monitor::ReplyFaultName(monitor::ReplyFault::kChecksum);
        case FailureReason::kRefused: return "refused";
        case FailureReason::kPortLost: return "port lost";
        case FailureReason::kLateReply: return "late reply";
        case FailureReason::kLateDiscarded: return "late, discarded";
        case FailureReason::kTwoAnswers: return "two answers";
    }
    return "?";
}

FailureReason JudgeRefusal(const uint8_t* bytes, std::size_t len, int reply_len, uint8_t addr) {
    // More than the device gathers is dropped whole, whatever it holds.
    if (len > static_cast<std::size_t>(monitor::kReplyCapacity)) return FailureReason::kRefused;
    const uint8_t* end = bytes + len;
    const uint8_t* start = monitor::FindStartByte(bytes, len);
    if (start == end) start = bytes;  // no start byte anywhere: judged as it came
    switch (monitor::CheckReply(start, static_cast<int>(end - start), reply_len, addr)) {
        case monitor::ReplyFault::kShort: return FailureReason::kPartial;
        case monitor::ReplyFault::kNoStartByte: return FailureReason::kStartByte;
        case monitor::ReplyFault::kAddress: return FailureReason::kAddress;
        case monitor::ReplyFault::kChecksum: return FailureReason::kChecksum;
        case monitor::ReplyFault::kNone: break;
    }
    return FailureReason::kRefused;
}
