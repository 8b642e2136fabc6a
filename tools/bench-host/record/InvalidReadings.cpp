#include "record/InvalidReadings.h"

#include "protocol/MonitorProtocol.h"

static_assert(monitor::kCellSlots <= 32, "a bit per cell slot");
static_assert(monitor::kCellSlots <= BatteryRecord::kCells, "every slot has a cell in the record");

bool InvalidReadings::Took(uint8_t command, const uint8_t* bytes, std::size_t len) {
    const int frame_len = monitor::ReplyLength(command);
    if (bytes == nullptr || frame_len == 0) return false;
    const uint8_t* frame = monitor::FindStartByte(bytes, len);
    const int left = static_cast<int>(bytes + len - frame);
    if (left < frame_len || !monitor::AcceptReply(frame, left, frame_len, frame[monitor::kReplyAddrOffset]))
        return false;
    if (command == monitor::kCmdCellVoltages) {
        slots_ = 0;
        for (int i = 0; i < monitor::kCellSlots; ++i)
            if (monitor::ReadU16(frame, monitor::kShortValueOffset + 2 * i) == kInvalid) slots_ |= uint32_t{1} << i;
        return true;
    }
    const bool invalid = monitor::ReadU16(frame, monitor::kShortValueOffset) == kInvalid;
    if (command == monitor::kCmdStringVoltage) string_voltage_ = invalid;
    if (command == monitor::kCmdCurrent) current_ = invalid;
    if (command == monitor::kCmdTemperature) temperature_ = invalid;
    return true;
}

BatteryRecord::NoValueMask InvalidReadings::Mask(const Layout& layout) const {
    using Mask = BatteryRecord::NoValueMask;
    Mask mask = 0;
    const int cells = layout.cells < 0 ? 0 : (layout.cells > monitor::kCellSlots ? monitor::kCellSlots : layout.cells);
    for (int i = 0; i < cells; ++i)
        if (slots_ >> i & 1u) mask |= Mask{1} << (layout.reversed ? cells - 1 - i : i);
    if (string_voltage_) mask |= Mask{1} << BatteryRecord::kStringVoltageBit;
    if (current_ && layout.current_from_reply) mask |= Mask{1} << BatteryRecord::kCurrentBit;
    if (temperature_) mask |= Mask{1} << BatteryRecord::kTemperatureBit;
    return mask;
}
