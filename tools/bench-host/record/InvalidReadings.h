#pragma once
// Which readings of a round the monitor marked invalid.  A monitor that has
// no reading for a field (a cell's sense lead open, its sensor missing)
// sends the field as 0xFFFF; the plug-in scales it like any reading, so a
// cell becomes 0 V (outside its window), the temperature keeps its last
// value (outside 0..100) and the string voltage and current become huge.
// Only the reply frames tell it apart, so the bus notes, for each reply the
// device took, which of its 16-bit fields were 0xFFFF, and the round's
// record is then told which of its values are no value.
//
//   reply to   field(s)               value of the record
//   0xA1       slot i, i < cells      cell i, or cells-1-i when reversed
//   0xA2       the reading            string voltage
//   0xA3       the reading            current, unless another device's
//                                     value stands in for it
//   0xA4       the reading            temperature
//
// No I/O: frames go in, a mask comes out.
#include <cstddef>
#include <cstdint>

#include "record/BatteryRecord.h"

class InvalidReadings {
public:
    static constexpr uint16_t kInvalid = 0xFFFF;

    // How the device decodes the replies into its record, from its type
    // and configuration.
    struct Layout {
        int cells = BatteryRecord::kCells;  // reply slots the model decodes, from slot 0
        bool reversed = false;              // "dir" not 0: slot i is cell cells-1-i
        bool current_from_reply = true;     // false: another device's value is the current
    };

    // A reply the device took as the answer to command: what an earlier
    // reply to the same command said no longer counts.  Bytes before the
    // start byte are skipped; a frame that is not a whole reply to the
    // command, with its checksum, changes nothing (false).
    bool Took(uint8_t command, const uint8_t* bytes, std::size_t len);

    // The values of the round's record that are no value.
    BatteryRecord::NoValueMask Mask(const Layout& layout) const;

private:
    uint32_t slots_ = 0;  // cell slots at 0xFFFF, bit i for slot i
    bool string_voltage_ = false;
    bool current_ = false;
    bool temperature_ = false;
};
