#pragma once
// The UPS battery string of 29 cells: the same monitor and requests as the
// 32-cell string, of whose reply it uses the first 29 slots.
#include "Battery32.h"

class UPSBattery29 : public Battery32 {
public:
    UPSBattery29();
    ~UPSBattery29() override;

    int ProcessBatteryVoltage() override;
};
