#include "ReplyFrame.h"

namespace monitor_sim {

namespace {

void PutU16(Frame& frame, int offset, uint16_t value) {
    frame[offset] = static_cast<uint8_t>(value >> 8);
    frame[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

// The last byte is the checksum of the bytes from the address up to it.
void Seal(Frame& frame) {
    const int sum_at = static_cast<int>(frame.size()) - 1;
    frame[sum_at] = monitor::Checksum(frame.data() + kReplySumFirst, sum_at - kReplySumFirst);
}

}  // namespace

Frame BuildLongReply(uint8_t addr, const CellSlots& slots) {
    Frame frame(monitor::kLongReplyLen, 0);
    frame[kReplyStartOffset] = monitor::kStartByte;
    frame[kReplyAddrOffset] = addr;
    for (int slot = 0; slot < monitor::kCellSlots; ++slot)
        PutU16(frame, monitor::CellSlotOffset(slot), slots[slot]);
    Seal(frame);
    return frame;
}

Frame BuildShortReply(uint8_t addr, uint16_t value) {
    Frame frame(monitor::kShortReplyLen, 0);
    frame[kReplyStartOffset] = monitor::kStartByte;
    frame[kReplyAddrOffset] = addr;
    PutU16(frame, kShortValueOffset, value);
    Seal(frame);
    return frame;
}

void SetReplyAddress(Frame& frame, uint8_t addr) {
    if (frame.size() <= static_cast<size_t>(kReplyAddrOffset + 1)) return;
    frame[kReplyAddrOffset] = addr;
    Seal(frame);
}

}  // namespace monitor_sim
