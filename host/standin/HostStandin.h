#pragma once
// The bench stand-in for the site-monitoring host.  It implements the host's
// operations that devices call, and makes every such call observable: a tool
// or a test installs a HostObserver and sees each call, in order, with its
// arguments.  Answers the host would give (report checks, batch threshold
// checks) come from the observer too.
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

// The live device with that data identifier, or nullptr.
HLXVDevice* FindDevice(unsigned int id);

}  // namespace hoststandin
