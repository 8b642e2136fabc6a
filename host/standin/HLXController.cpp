#include "host/HLXController.h"

#include "host/HLXVDevice.h"

HLXController::HLXController() = default;
HLXController::~HLXController() = default;

void HLXController::AddDevice(const std::shared_ptr<HLXVDevice>& device) { devices_.push_back(device); }
