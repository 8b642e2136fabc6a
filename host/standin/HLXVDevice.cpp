#include "host/HLXVDevice.h"

#include <stdexcept>

#include "HostStandin.h"
#include "Registry.h"

using hoststandin::Observer;

HLXVDevice::HLXVDevice() { hoststandin::RegisterDevice(this); }

HLXVDevice::~HLXVDevice() { hoststandin::UnregisterDevice(this); }

void HLXVDevice::Reset() {
    if (auto* o = Observer()) o->OnReset(*this);
}

bool HLXVDevice::InitV(HLXVDevice* /*parent*/, unsigned int id, const Json::Value& config) {
    data_id_ = id;
    return InitSetting(config);
}

bool HLXVDevice::Init(std::weak_ptr<HLXController> /*controller*/, unsigned int id, const Json::Value& config) {
    data_id_ = id;
    return InitSetting(config);
}

bool HLXVDevice::InitSetting(const Json::Value& /*config*/) { return true; }

bool HLXVDevice::IsSupportDevice(const std::string& type) const { return type == DeviceType(); }

int HLXVDevice::SendSP(int type, const unsigned char* data, unsigned int size, bool flag) {
    if (auto* o = Observer()) o->OnSendSP(*this, type, data, size, flag);
    return 1;
}

int HLXVDevice::SendDelayData(int /*delay*/) { return 0; }
int HLXVDevice::SendDoData(int /*channel*/, char /*value*/) { return 0; }
int HLXVDevice::ReadDi(int /*channel*/) { return 0; }
float HLXVDevice::ReadAi(int /*channel*/) { return 0.0f; }

float HLXVDevice::Get_SP_Value(unsigned int id, const std::string& name) {
    if (auto* o = Observer()) o->OnGetSpValue(*this, id, name);
    return hoststandin::ValueOf(*this, id, name);
}

int HLXVDevice::RefreshStatus() { return 0; }
int HLXVDevice::process(unsigned char* /*data*/, unsigned int /*len*/) { return 0; }
bool HLXVDevice::IsProcessing() { return false; }
bool HLXVDevice::IsStalled() { return false; }

bool HLXVDevice::CheckAOReport(const std::string& name, float value) {
    if (auto* o = Observer()) return o->OnCheckAOReport(*this, name, value);
    return false;
}

bool HLXVDevice::CheckThreshold(const std::string& name, const std::string& label, const float& value, int index) {
    // The value is taken now: the caller's reference may not outlive the call.
    const float taken = value;
    if (auto* o = Observer()) o->OnCheckThreshold(*this, name, label, taken, index);
    return false;
}

bool HLXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    if (auto* o = Observer()) return o->OnBatchCheck(*this, rules);
    return false;
}

bool HLXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int size) {
    if (auto* o = Observer()) o->OnSaveHistory(*this, data, size);
    return true;
}
