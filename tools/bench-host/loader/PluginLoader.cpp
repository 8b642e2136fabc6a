#include "loader/PluginLoader.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "loader/ElfCheck.h"
#include "plugin/get_providers.h"

namespace {

std::string ExecutableDir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return std::filesystem::path(buf).parent_path().string();
}

}  // namespace

std::string PluginLoader::DefaultPath() {
    const std::string beside = ExecutableDir() + "/upsbattery_29.so";
    if (std::filesystem::exists(beside)) return beside;
#ifdef BENCH_HOST_INSTALLED_PLUGIN
    const std::string installed = ExecutableDir() + "/" BENCH_HOST_INSTALLED_PLUGIN;
    if (std::filesystem::exists(installed)) return installed;
#endif
#ifdef BENCH_HOST_BUILT_PLUGIN
    return BENCH_HOST_BUILT_PLUGIN;
#else
    return beside;
#endif
}

std::string PluginLoader::Resolve(const std::string& path) {
    const std::string named = path.find('/') == std::string::npos ? "./" + path : path;
    char resolved[PATH_MAX];
    if (::realpath(named.c_str(), resolved) == nullptr)
        throw std::runtime_error("plug-in " + path + " does not exist" +
                                 (named != path ? " in the current folder" : std::string()));
    if (!std::filesystem::is_regular_file(resolved)) throw std::runtime_error("plug-in " + path + " is not a file");
    return resolved;
}

PluginLoader::PluginLoader(const std::string& path) : path_(Resolve(path)), digest_(FileDigest::Of(path_)) {
    // dlopen maps a cut-short file past its end and dies of a bus error on
    // the first missing page; the headers are checked first.
    const std::string problem = ElfCheck::Problem(path_);
    if (!problem.empty()) throw std::runtime_error("plug-in " + path_ + " " + problem);
    // RTLD_NOW: an unresolved host symbol is reported here, not at the first
    // call that needs it in the middle of a poll cycle.
    handle_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        throw std::runtime_error("cannot load plug-in " + path_ + ": " + (why ? why : "unknown error"));
    }
    ::dlerror();
    void* entry = ::dlsym(handle_, "get_providers");
    if (entry == nullptr) {
        const char* why = ::dlerror();
        throw std::runtime_error("plug-in " + path_ + " has no entry point get_providers" +
                                 (why ? std::string(": ") + why : std::string()));
    }
    auto get_providers = reinterpret_cast<GetProvidersFn>(entry);
    providers_ = get_providers();
    for (const auto& p : providers_) {
        if (auto* sp = dynamic_cast<const HLXSPDeviceProvider*>(p.get())) serial_providers_.push_back(sp);
    }
    if (serial_providers_.empty())
        throw std::runtime_error("plug-in " + path_ + " offers no serial-device provider");
}

PluginLoader::~PluginLoader() {
    serial_providers_.clear();
    providers_.clear();
    // No dlclose: devices made by the plug-in may still exist, and the
    // library's stream and type-information objects are referenced until
    // the process ends.  The site host keeps its plug-ins for its lifetime
    // as well.
}

HLXSPDevice* PluginLoader::Create(const std::string& type) {
    for (const HLXSPDeviceProvider* provider : serial_providers_) {
        HLXSPDevice* dev = provider->create();
        if (dev == nullptr) continue;
        if (type.empty() || dev->DeviceType() == type) return dev;
        delete dev;
    }
    return nullptr;
}

std::vector<std::string> PluginLoader::Types() {
    std::vector<std::string> out;
    for (const HLXSPDeviceProvider* provider : serial_providers_) {
        std::unique_ptr<HLXSPDevice> dev(provider->create());
        if (dev) out.push_back(dev->DeviceType());
    }
    return out;
}
