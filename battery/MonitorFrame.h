#pragma once
// The battery monitor's bus format.  Pure functions over bytes: no I/O, no
// device state, so the format can be tested frame by frame.
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
// does not repeat the command: the master knows what it asked for.
//
// Checksum: the byte sum wrapped to 8 bits, then taken modulo 254, so the
// result lies in 0..253 (a wrapped sum of 0xFE gives 0, 0xFF gives 1).
#include <array>
#include <cstdint>

namespace monitor {

constexpr uint8_t kLeadByte = 0xFE;
constexpr uint8_t kStartByte = 0xED;

constexpr uint8_t kCmdCellVoltages = 0xA1;
constexpr uint8_t kCmdStringVoltage = 0xA2;
constexpr uint8_t kCmdCurrent = 0xA3;
constexpr uint8_t kCmdTemperature = 0xA4;

constexpr int kRequestLen = 5;
constexpr int kShortReplyLen = 5;
constexpr int kCellSlots = 32;
constexpr int kLongReplyLen = 2 + 2 * kCellSlots + 1;  // 67

using Request = std::array<uint8_t, kRequestLen>;

// Checksum of len bytes from data; 0 for an empty (or negative) range.
uint8_t Checksum(const uint8_t* data, int len);

// The request frame for one command at one bus address.
Request BuildRequest(uint8_t addr, uint8_t command);

// Whether the first frame_len bytes of buf are an acceptable reply from addr:
// enough bytes, the start byte, the address, and the checksum over bytes
// 1..frame_len-2 equal to the last byte.  Bytes beyond frame_len play no part.
bool AcceptReply(const uint8_t* buf, int buffered, int frame_len, uint8_t addr);

// The 16-bit big-endian reading at buf[offset], buf[offset + 1].
inline uint16_t ReadU16(const uint8_t* buf, int offset) {
    return static_cast<uint16_t>((buf[offset] << 8) | buf[offset + 1]);
}

// Offset of cell slot i (0..31) in the long reply.
constexpr int CellSlotOffset(int slot) { return 2 + 2 * slot; }

}  // namespace monitor
