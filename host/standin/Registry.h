#pragma once
// Internal to the stand-in: device registration and simulated values.
#include <string>

class HLXVDevice;

namespace hoststandin {
void RegisterDevice(HLXVDevice* dev);
void UnregisterDevice(HLXVDevice* dev);
bool ExternalValue(unsigned int id, const std::string& name, float& value);
}  // namespace hoststandin
