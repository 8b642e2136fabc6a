#pragma once
// The replies a monitor puts on the bus.  The frame layouts, with their
// diagrams, are in protocol/MonitorProtocol.h; this adds the monitor's side:
// building a reply from readings.
//
//   short reply (0xA2..0xA4):  ED addr hi lo sum          sum over addr, hi, lo
//   long reply (0xA1):         ED addr s0hi s0lo .. s31lo sum
//                                                         sum over addr and 64 bytes
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/MonitorProtocol.h"

namespace monitor_sim {

using Frame = std::vector<uint8_t>;
using CellSlots = std::array<uint16_t, monitor::kCellSlots>;

// Byte positions shared by both replies.
constexpr int kReplyStartOffset = 0;
constexpr int kReplyAddrOffset = 1;
constexpr int kShortValueOffset = 2;
// The checksum covers everything after the start byte up to itself.
constexpr int kReplySumFirst = kReplyAddrOffset;

// The 67-byte reply to 0xA1: the 32 slots, high byte first.
Frame BuildLongReply(uint8_t addr, const CellSlots& slots);

// The 5-byte reply to 0xA2, 0xA3 or 0xA4: one reading, high byte first.
Frame BuildShortReply(uint8_t addr, uint16_t value);

// Rewrites the address of a built reply and its checksum, as if another
// monitor had sent the same readings.
void SetReplyAddress(Frame& frame, uint8_t addr);

}  // namespace monitor_sim
