#include "UPSBattery29.h"

#include "models/Models.h"

UPSBattery29::UPSBattery29() {
    device_type_ = models::kUPSBattery29.type;
    battery_count_ = models::kUPSBattery29.cells;
}

UPSBattery29::~UPSBattery29() = default;

int UPSBattery29::ProcessBatteryVoltage() {
    // Slots 29 to 31 are covered by the checksum but carry no cell of this
    // string; the last slot in use takes the last-cell correction.
    return DecodeCellReply(CellDecoding{models::kUPSBattery29.cells, false, false});
}
