#pragma once
// The host's side of the calls a device makes during `bench-host run`:
// requests go to the device's bus, threshold checks to its alarm limits,
// records to the history.  Installed as the host stand-in's observer for as
// long as it lives.
#include <string>

#include "host/standin/HostStandin.h"

struct BusDevice;
class RunEvents;
class RunSetup;

class HostCalls : public hoststandin::HostObserver {
public:
    HostCalls(RunSetup& site, RunEvents& events);
    ~HostCalls() override;
    HostCalls(const HostCalls&) = delete;
    HostCalls& operator=(const HostCalls&) = delete;

    void OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) override;
    void OnSpRefresh(HLXSPDevice& dev) override;
    void OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float value,
                          int index) override;
    void OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) override;

private:
    BusDevice* Find(const HLXVDevice& dev) const;

    RunSetup& site_;
    RunEvents& events_;
    hoststandin::HostObserver* previous_;
};
