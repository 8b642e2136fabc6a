#pragma once
#include <memory>
#include <vector>

#include "host/HostApi.h"
#include "host/Provider.h"

// The plug-in's entry point, found by the host under this plain name.  Every
// call returns a new vector holding one new provider.
extern "C" HLX_API std::vector<std::shared_ptr<Provider>> get_providers();

using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
