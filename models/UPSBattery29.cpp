#include "UPSBattery29.h"

namespace {
constexpr int kCells = 29;
}

UPSBattery29::UPSBattery29() {
    device_type_ = "upsbattery_29";
    battery_count_ = kCells;
}

UPSBattery29::~UPSBattery29() = default;

int UPSBattery29::ProcessBatteryVoltage() {
    // Slots 29 to 31 are covered by the checksum but carry no cell of this
    // string; the last slot in use takes the last-cell correction.
    return DecodeCellReply(CellDecoding{kCells, false, false});
}
