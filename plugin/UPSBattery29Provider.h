#pragma once
#include "host/HLXSPDeviceProvider.h"
#include "host/HostApi.h"

// The plug-in's one provider: makes UPS battery strings of 29 cells.  It
// keeps nothing; every device it creates belongs to the caller.
class HLX_API UPSBattery29Provider : public HLXSPDeviceProvider {
public:
    UPSBattery29Provider() = default;
    ~UPSBattery29Provider() override;
    HLXSPDevice* create() const override;
};
