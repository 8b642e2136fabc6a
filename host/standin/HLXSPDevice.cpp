#include "host/HLXSPDevice.h"

#include "HostStandin.h"

using hoststandin::Observer;

HLXSPDevice::HLXSPDevice() = default;
HLXSPDevice::~HLXSPDevice() = default;

void HLXSPDevice::Reset() {
    if (auto* o = Observer()) o->OnReset(*this);
}

int HLXSPDevice::RefreshStatus() {
    if (auto* o = Observer()) o->OnSpRefresh(*this);
    return 1;
}

int HLXSPDevice::SendData(const unsigned char* data, unsigned int len) {
    if (auto* o = Observer()) o->OnSendData(*this, data, len);
    return static_cast<int>(len);
}

int HLXSPDevice::SendParityData(const unsigned char* data, unsigned int len, EnumParity /*parity*/) {
    return SendData(data, len);
}

bool HLXSPDevice::OpenPort() { return true; }
void HLXSPDevice::ClosePort() {}
