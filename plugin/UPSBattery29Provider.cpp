#include "UPSBattery29Provider.h"

#include "models/UPSBattery29.h"

UPSBattery29Provider::~UPSBattery29Provider() = default;

HLXSPDevice* UPSBattery29Provider::create() const { return new UPSBattery29(); }
