#pragma once
// A test suite that plays the host against the built library: loaded once
// with dlopen, its entry point found by name.  The library stays loaded:
// devices and providers made by it may outlive any one test.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "plugin/get_providers.h"

class LoadedPlugin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        handle_ = dlopen(UPSB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        get_providers_ = reinterpret_cast<GetProvidersFn>(dlsym(handle_, "get_providers"));
        ASSERT_NE(get_providers_, nullptr) << dlerror();
    }

    static inline void* handle_ = nullptr;
    static inline GetProvidersFn get_providers_ = nullptr;
};
