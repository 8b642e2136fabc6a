#include "HostStandin.h"

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Registry.h"

namespace hoststandin {
namespace {

// Devices register themselves on construction, so Get_SP_Value can find any
// live device by its data identifier, as the host finds the devices it runs.
// Each device has the lock of the calls into it (DeviceCall).
struct Registry {
    std::mutex mutex;
    std::map<HLXVDevice*, std::shared_ptr<std::mutex>> devices;
    std::map<std::pair<unsigned int, std::string>, float> external;
};

// Read on every host call a device makes: kept outside the registry's lock
// so that an idle host costs a device next to nothing.
std::atomic<HostObserver*> g_observer{nullptr};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// The device calls this thread is inside of, innermost last.
struct HeldCall {
    HLXVDevice* dev;
    std::mutex* lock;
};
thread_local std::vector<HeldCall> t_held;

std::shared_ptr<std::mutex> CallLockOf(HLXVDevice* dev) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.devices.find(dev);
    return it == r.devices.end() ? nullptr : it->second;
}

// The live device with that identifier and the lock of calls into it.  The
// identifier is the host's own member, read without a virtual call: a device
// being built or destroyed on another thread is still registered.
HLXVDevice* Lookup(unsigned int id, std::shared_ptr<std::mutex>* call_lock) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& entry : r.devices) {
        if (entry.first->data_id_ == id) {
            if (call_lock) *call_lock = entry.second;
            return entry.first;
        }
    }
    return nullptr;
}

bool HeldHere(const HLXVDevice* dev) {
    for (const HeldCall& held : t_held) {
        if (held.dev == dev) return true;
    }
    return false;
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

HLXVDevice* FindDevice(unsigned int id) { return Lookup(id, nullptr); }

DeviceCall::DeviceCall(HLXVDevice& dev) : lock_(CallLockOf(&dev)) {
    if (!lock_) throw std::logic_error("DeviceCall: not a live device");
    lock_->lock();
    t_held.push_back(HeldCall{&dev, lock_.get()});
}

DeviceCall::~DeviceCall() {
    t_held.pop_back();
    lock_->unlock();
}

float ValueOf(HLXVDevice& asker, unsigned int id, const std::string& name) {
    std::shared_ptr<std::mutex> target_lock;
    HLXVDevice* target = Lookup(id, &target_lock);
    if (target == nullptr) {
        float value = 0.0f;
        if (ExternalValue(id, name, value)) return value;
        throw std::out_of_range("no value " + name + " of device " + std::to_string(id));
    }
    // A device reading itself, or one this thread is already inside of.
    if (HeldHere(target)) return target->Get_Value(id, name);

    // Let go of the asker's own call while waiting for the other device.
    std::mutex* released = nullptr;
    if (!t_held.empty() && t_held.back().dev == &asker) {
        released = t_held.back().lock;
        released->unlock();
    }
    struct Relock {
        std::mutex* m;
        ~Relock() {
            if (m) m->lock();
        }
    } relock{released};
    std::lock_guard<std::mutex> call(*target_lock);
    return target->Get_Value(id, name);
}

void RegisterDevice(HLXVDevice* dev) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.devices.emplace(dev, std::make_shared<std::mutex>());
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
