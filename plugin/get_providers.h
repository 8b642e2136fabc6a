#pragma once
#include <memory>
#include <vector>

#include "host/HostApi.h"
#include "host/Provider.h"

// The plug-in's entry point, found by the host under this plain name.  Every
// call returns a new vector holding one new provider.  The name is undecorated
// (C linkage) while the result is a C++ object: host and plug-in are built
// against the same standard library.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" HLX_API std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
