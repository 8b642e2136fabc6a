#pragma once
#include <cstdint>
#include <string>

#include "HostApi.h"

// One pending threshold rule of the host.  The plug-in never looks inside: it
// only hands the device's list of them back to DoBatchCheckThreshold.  The
// layout (four strings among plain fields) is the host's.
struct HLX_API rule_value {
    int32_t level = 0;
    std::string key;
    std::string label;
    int32_t index = 0;
    float value = 0.0f;
    std::string alarm_id;
    std::string signal_name;
    int32_t state = 0;
};
