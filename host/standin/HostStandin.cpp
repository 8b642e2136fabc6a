#include "HostStandin.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>

namespace hoststandin {
namespace {

// Devices register themselves on construction, so Get_SP_Value can find any
// live device by its data identifier, as the host finds the devices it runs.
struct Registry {
    std::mutex mutex;
    std::set<HLXVDevice*> devices;
    std::map<std::pair<unsigned int, std::string>, float> external;
};

// Read on every host call a device makes: kept outside the registry's lock
// so that an idle host costs a device next to nothing.
std::atomic<HostObserver*> g_observer{nullptr};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

void SetObserver(HostObserver* observer) { g_observer.store(observer, std::memory_order_release); }

HostObserver* Observer() { return g_observer.load(std::memory_order_acquire); }

void SetExternalValue(unsigned int id, const std::string& name, float value) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.external[{id, name}] = value;
}

void ClearExternalValues() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.external.clear();
}

HLXVDevice* FindDevice(unsigned int id) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (HLXVDevice* dev : r.devices) {
        if (dev->DataId() == id) return dev;
    }
    return nullptr;
}

void RegisterDevice(HLXVDevice* dev) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.devices.insert(dev);
}

void UnregisterDevice(HLXVDevice* dev) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.devices.erase(dev);
}

bool ExternalValue(unsigned int id, const std::string& name, float& value) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.external.find({id, name});
    if (it == r.external.end()) return false;
    value = it->second;
    return true;
}

}  // namespace hoststandin
