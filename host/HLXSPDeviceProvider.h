#pragma once
#include "HostApi.h"
#include "Provider.h"

class HLXSPDevice;

// Provider of devices spoken to over a serial port.  The device returned is
// owned by the caller and destroyed through its virtual destructor.
class HLX_API HLXSPDeviceProvider : public Provider {
public:
    HLXSPDeviceProvider() = default;
    ~HLXSPDeviceProvider() override {}
    virtual HLXSPDevice* create() const = 0;
};
