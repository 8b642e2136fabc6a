#pragma once
// The battery monitor's bus protocol, in one place.  Pure functions over
// bytes: no I/O, no device state, no dependency on the host framework or the
// plug-in, so the plug-in, the bench tools, the tests, the fuzz harnesses
// and the benchmarks all speak the same frames.  Valid C++11.
//
// Request, master -> monitor (5 bytes):
//
//   +------+------+------+---------+-----+
//   | 0xFE | 0xFE | addr | command | sum |     sum = checksum(addr, command)
//   +------+------+------+---------+-----+
//      0      1      2       3        4
//
// Short reply to 0xA2/0xA3/0xA4, monitor -> master (5 bytes):
//
//   +------+------+---------+---------+-----+
//   | 0xED | addr | value hi| value lo| sum |  sum = checksum(bytes 1..3)
//   +------+------+---------+---------+-----+
//      0      1       2         3        4
//
// Long reply to 0xA1 (67 bytes): 32 cell slots of 16 bits each.
//
//   +------+------+-----------+-----------+-----+-----------+-----+
//   | 0xED | addr | slot0 hi  | slot0 lo  | ... | slot31 lo | sum |
//   +------+------+-----------+-----------+-----+-----------+-----+
//      0      1        2           3              65         66
//   sum = checksum(bytes 1..65): the address and all 64 reading bytes.
//
// Readings are unsigned 16-bit, high byte first.  Neither the lead bytes of a
// request nor the start byte of a reply is covered by a checksum.  A reply
// does not repeat the command: the master knows what it asked for, so only
// the master's timing tells a late reply from the answer to a newer request.
//
// Checksum: the byte sum wrapped to 8 bits, then taken modulo 254, so the
// result lies in 0..253 (a wrapped sum of 0xFE gives 0, 0xFF gives 1).
//
//   command  asks for              reply bytes
//   0xA1     the 32 cell slots     67
//   0xA2     the string voltage     5
//   0xA3     the string current     5
//   0xA4     the temperature        5
//
// A poll cycle asks A1, A2, A3, A4 in that order; a missing reply is asked
// again up to kResendsPerCycle times in one cycle.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace monitor {

constexpr uint8_t kLeadByte = 0xFE;
constexpr uint8_t kStartByte = 0xED;

constexpr uint8_t kCmdCellVoltages = 0xA1;
constexpr uint8_t kCmdStringVoltage = 0xA2;
constexpr uint8_t kCmdCurrent = 0xA3;
constexpr uint8_t kCmdTemperature = 0xA4;

// Request layout.
constexpr int kRequestLen = 5;
constexpr int kRequestAddrOffset = 2;
constexpr int kRequestCommandOffset = 3;
constexpr int kRequestSumOffset = 4;

// Reply layout, shared by both replies.
constexpr int kReplyStartOffset = 0;
constexpr int kReplyAddrOffset = 1;
constexpr int kShortValueOffset = 2;
constexpr int kShortReplyLen = 5;
constexpr int kCellSlots = 32;
constexpr int kLongReplyLen = 2 + 2 * kCellSlots + 1;  // 67

// Bytes of a reply the master gathers before it gives up on the frame: the
// longest reply with room for a split chunk's spill-over.
constexpr int kReplyCapacity = 80;
static_assert(kLongReplyLen <= kReplyCapacity && kShortReplyLen <= kReplyCapacity,
              "every reply must fit in what the master gathers");

// The line carries 8N1 characters: a start bit, 8 data bits and a stop bit
// for every byte, so a byte takes this many bit times on the wire.
constexpr int kBitsPerByte = 10;

// Resends of a missing reply in one poll cycle before a new cycle starts.
constexpr int kResendsPerCycle = 3;

// The monitor answers at the configured address with its highest bit
// inverted (configured 1 is 0x81 on the bus, and back).
constexpr uint8_t kAddressFlip = 0x80;
constexpr uint8_t BusAddress(uint8_t configured) { return static_cast<uint8_t>(configured ^ kAddressFlip); }

using Request = std::array<uint8_t, kRequestLen>;
using ShortReply = std::array<uint8_t, kShortReplyLen>;
using LongReply = std::array<uint8_t, kLongReplyLen>;
using CellSlots = std::array<uint16_t, kCellSlots>;

// Checksum of len bytes from data; 0 for an empty (or negative) range.
uint8_t Checksum(const uint8_t* data, int len);

// The request frame for one command at one bus address.
Request BuildRequest(uint8_t addr, uint8_t command);

// Whether buf[0..kRequestLen) is a request frame: both lead bytes and a
// checksum that matches.  On success *addr and *command are set.
bool ParseRequest(const uint8_t* buf, int len, uint8_t* addr, uint8_t* command);

// Reply bytes for a command; 0 for a code the monitor does not know.
int ReplyLength(uint8_t command);

// The 5-byte reply carrying one reading.
ShortReply BuildShortReply(uint8_t addr, uint16_t value);
// The 67-byte reply carrying the 32 cell slots.
LongReply BuildLongReply(uint8_t addr, const CellSlots& slots);
// Rewrites a built reply's address and checksum, as if another monitor had
// sent the same readings.
void SetReplyAddress(uint8_t* frame, int frame_len, uint8_t addr);

// Why a reply is refused, checked in this order.
enum class ReplyFault {
    kNone = 0,    // acceptable
    kShort,       // fewer bytes than the reply's length (a partial reply)
    kNoStartByte, // the first byte is not kStartByte
    kAddress,     // another address answered
    kChecksum,    // the checksum does not match
};
// A short name for traces and counts: "ok", "partial", "start byte",
// "address", "checksum".
const char* ReplyFaultName(ReplyFault fault);

// Checks the first frame_len bytes of buf as a reply from addr: enough
// bytes, the start byte, the address, and the checksum over bytes
// 1..frame_len-2 equal to the last byte.  Bytes beyond frame_len play no part.
ReplyFault CheckReply(const uint8_t* buf, int buffered, int frame_len, uint8_t addr);
inline bool AcceptReply(const uint8_t* buf, int buffered, int frame_len, uint8_t addr) {
    return CheckReply(buf, buffered, frame_len, addr) == ReplyFault::kNone;
}

// The first start byte among the len bytes at data, or data + len when there
// is none.  What comes before it is line noise, not part of a reply.
inline const uint8_t* FindStartByte(const uint8_t* data, std::size_t len) {
    if (data == nullptr || len == 0) return data;
    const void* at = std::memchr(data, kStartByte, len);
    return at != nullptr ? static_cast<const uint8_t*>(at) : data + len;
}

// The 16-bit big-endian reading at buf[offset], buf[offset + 1].
inline uint16_t ReadU16(const uint8_t* buf, int offset) {
    return static_cast<uint16_t>((buf[offset] << 8) | buf[offset + 1]);
}

// Offset of cell slot i (0..31) in the long reply.
constexpr int CellSlotOffset(int slot) { return 2 + 2 * slot; }

}  // namespace monitor
