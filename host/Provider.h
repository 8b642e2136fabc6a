#pragma once
#include "HostApi.h"

// Root of all device providers.  Defined entirely here, so a plug-in carries
// its table of virtual functions and its type information.
class HLX_API Provider {
public:
    Provider() = default;
    virtual ~Provider() {}
};
