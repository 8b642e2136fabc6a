#include "MonitorProtocol.h"

namespace monitor {

namespace {

void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value & 0xFF);
}

// The last byte of a reply sums everything after the start byte.
void SealReply(uint8_t* frame, int frame_len) {
    frame[frame_len - 1] = Checksum(frame + kReplyAddrOffset, frame_len - 2);
}

}  // namespace

uint8_t Checksum(const uint8_t* data, int len) {
    uint8_t sum = 0;
    for (int i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(sum % 254);
}

Request BuildRequest(uint8_t addr, uint8_t command) {
    Request frame = {{kLeadByte, kLeadByte, addr, command, 0}};
    // The two lead bytes are outside the checksum.
    frame[kRequestSumOffset] = Checksum(frame.data() + kRequestAddrOffset, 2);
    return frame;
}

bool ParseRequest(const uint8_t* buf, int len, uint8_t* addr, uint8_t* command) {
    if (buf == nullptr || len < kRequestLen) return false;
    if (buf[0] != kLeadByte || buf[1] != kLeadByte) return false;
    if (Checksum(buf + kRequestAddrOffset, 2) != buf[kRequestSumOffset]) return false;
    if (addr != nullptr) *addr = buf[kRequestAddrOffset];
    if (command != nullptr) *command = buf[kRequestCommandOffset];
    return true;
}

int ReplyLength(uint8_t command) {
    switch (command) {
        case kCmdCellVoltages: return kLongReplyLen;
        case kCmdStringVoltage:
        case kCmdCurrent:
        case kCmdTemperature: return kShortReplyLen;
        default: return 0;
    }
}

ShortReply BuildShortReply(uint8_t addr, uint16_t value) {
    ShortReply frame = {{kStartByte, addr, 0, 0, 0}};
    PutU16(frame.data() + kShortValueOffset, value);
    SealReply(frame.data(), kShortReplyLen);
    return frame;
}

LongReply BuildLongReply(uint8_t addr, const CellSlots& slots) {
    LongReply frame = {};
    frame[kReplyStartOffset] = kStartByte;
    frame[kReplyAddrOffset] = addr;
    for (int i = 0; i < kCellSlots; ++i) PutU16(frame.data() + CellSlotOffset(i), slots[static_cast<unsigned>(i)]);
    SealReply(frame.data(), kLongReplyLen);
    return frame;
}

void SetReplyAddress(uint8_t* frame, int frame_len, uint8_t addr) {
    if (frame == nullptr || frame_len < 3) return;
    frame[kReplyAddrOffset] = addr;
    SealReply(frame, frame_len);
}

const char* ReplyFaultName(ReplyFault fault) {
    switch (fault) {
        case ReplyFault::kNone: return "ok";
        case ReplyFault::kShort: return "partial";
        case ReplyFault::kNoStartByte: return "start byte";
        case ReplyFault::kAddress: return "address";
        case ReplyFault::kChecksum: return "checksum";
    }
    return "?";
}

ReplyFault CheckReply(const uint8_t* buf, int buffered, int frame_len, uint8_t addr) {
    if (buffered < frame_len || frame_len < 3) return ReplyFault::kShort;
    if (buf[kReplyStartOffset] != kStartByte) return ReplyFault::kNoStartByte;
    if (buf[kReplyAddrOffset] != addr) return ReplyFault::kAddress;
    if (Checksum(buf + kReplyAddrOffset, frame_len - 2) != buf[frame_len - 1]) return ReplyFault::kChecksum;
    return ReplyFault::kNone;
}

}  // namespace monitor
