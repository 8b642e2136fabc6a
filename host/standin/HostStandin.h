#pragma once
// The bench stand-in for the site-monitoring host.  It implements the host's
// operations that devices call, and makes every such call observable: a tool
// or a test installs a HostObserver and sees each call, in order, with its
// arguments.  Answers the host would give (report checks, batch threshold
// checks) come from the observer too.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/HLXSPDevice.h"
#include "host/HLXVDevice.h"

namespace hoststandin {

class HostObserver {
public:
    virtual ~HostObserver() = default;
    virtual void OnSendData(HLXSPDevice& /*dev*/, const unsigned char* /*data*/, unsigned int /*len*/) {}
    virtual void OnSpRefresh(HLXSPDevice& /*dev*/) {}
    virtual void OnGetSpValue(HLXVDevice& /*asker*/, unsigned int /*of*/, const std::string& /*name*/) {}
    virtual void OnSendSP(HLXVDevice& /*dev*/, int /*type*/, const unsigned char* /*data*/, unsigned int /*size*/,
                          bool /*flag*/) {}
    virtual void OnReset(HLXVDevice& /*dev*/) {}
    virtual bool OnCheckAOReport(HLXVDevice& /*dev*/, const std::string& /*name*/, float /*value*/) { return false; }
    virtual void OnCheckThreshold(HLXVDevice& /*dev*/, const std::string& /*name*/, const std::string& /*label*/,
                                  float /*value*/, int /*index*/) {}
    virtual bool OnBatchCheck(HLXVDevice& /*dev*/, const std::vector<rule_value>& /*rules*/) { return false; }
    virtual void OnSaveHistory(HLXVDevice& /*dev*/, const unsigned char* /*data*/, unsigned int /*size*/) {}
};

// Installs the observer for every device of the process (nullptr: none).
// The observer must outlive its installation.
void SetObserver(HostObserver* observer);
HostObserver* Observer();

// Values that Get_SP_Value answers for identifiers that are not devices of
// this process (other devices of a site, simulated).
void SetExternalValue(unsigned int id, const std::string& name, float value);
void ClearExternalValues();

// The live device with that data identifier, or nullptr.  Data identifiers
// are assigned before a device is handed to other threads.
HLXVDevice* FindDevice(unsigned int id);

// Held by a host that drives devices from several threads, around every call
// into a device: calls into one device never overlap, and another device's
// Get_SP_Value waits for the call to end before it reads this device.  While
// a device waits in Get_SP_Value for another, its own call is released, so
// that two devices reading each other cannot deadlock; the reading device is
// then only read, never driven.  A host with one thread needs none of it.
class DeviceCall {
public:
    explicit DeviceCall(HLXVDevice& dev);
    ~DeviceCall();
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

private:
    std::shared_ptr<std::mutex> lock_;
};

// Get_SP_Value's answer: the named value of the device with that
// identifier, read as a call into it, or the simulated value of another
// device of the site.  Throws std::out_of_range when there is neither.
float ValueOf(HLXVDevice& asker, unsigned int id, const std::string& name);

}  // namespace hoststandin
