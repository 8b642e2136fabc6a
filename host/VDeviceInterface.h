#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include <json/value.h>

#include "HostApi.h"
#include "ValueErrors.h"

// Root of every device the host drives.  Defined wholly inline: every plug-in
// carries its own copy of this table of virtual functions, and the host calls
// devices only through it, so the order of the virtual operations below is a
// binary contract with the host and must never change.
class HLX_API VDeviceInterface {
public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    // slot 0
    virtual float Get_Value(unsigned int /*id*/, const std::string& /*name*/) const {
        throw std::out_of_range(hostvalue::kNotReady);
    }
    // slot 1
    virtual bool LoadFromCache(const std::string& bytes) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size()));
    }
    // slot 2
    virtual bool LoadFromCache(const unsigned char* data, int size) = 0;
    // slot 3
    virtual unsigned int DataId() const { return data_id_; }
    // slot 4
    virtual const std::string& DeviceType() const { return device_type_; }
    // slot 5: -2 is the host's "not supported"
    virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_size*/, void* /*out*/,
                                int /*out_size*/, int& /*returned*/) {
        return -2;
    }
    // slot 6
    virtual void RoundDone() {}
    // slot 7
    virtual unsigned char UseControllerDb() { return use_controller_db_; }
    // slots 8 and 9: complete-object and deleting destructor
    virtual ~VDeviceInterface() = default;

    // Assigned by the host when it creates the device.
    unsigned int data_id_ = 0;
    // Assigned by each concrete device class's constructor.
    std::string device_type_;
    unsigned char use_controller_db_ = 0;
};
