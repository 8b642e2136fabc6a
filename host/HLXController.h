#pragma once
#include <memory>
#include <vector>

#include "HostApi.h"

class HLXVDevice;

// The host's controller: owner of the devices of one site.  The plug-in only
// meets it as the argument of HLXVDevice::Init.
class HLX_API HLXController {
public:
    HLXController();
    virtual ~HLXController();

    void AddDevice(const std::shared_ptr<HLXVDevice>& device);
    const std::vector<std::shared_ptr<HLXVDevice>>& Devices() const { return devices_; }

private:
    std::vector<std::shared_ptr<HLXVDevice>> devices_;
};
