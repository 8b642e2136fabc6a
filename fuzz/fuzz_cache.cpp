// Arbitrary byte images handed back as the cached record, then the named
// values and a whole round on top of the restored record.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/standin/HostStandin.h"
#include "support/Probes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CoutCapture quiet;
    Probe29 dev;
    dev.data_id_ = 9;
    dev.addr_ = 0x81;
    const bool taken = static_cast<VDeviceInterface&>(dev).LoadFromCache(
        std::string(reinterpret_cast<const char*>(data), size));
    if (taken != (size == sizeof(Battery32_Data_t))) std::abort();
    if (taken) {
        for (int k = 0; k < 29; ++k) (void)dev.Get_Value(0, "battery_" + std::to_string(k) + "_value");
        for (const char* name : {"group_voltage", "group_current", "temperature"}) (void)dev.Get_Value(0, name);
    }
    dev.RefreshStatus();
    auto reply = frames::LongReply(0x81, std::vector<uint16_t>(32, 1300));
    dev.process(reply.data(), static_cast<unsigned int>(reply.size()));
    for (uint16_t raw : {300, 100, 2500}) {
        auto r = frames::ShortReply(0x81, raw);
        dev.process(r.data(), static_cast<unsigned int>(r.size()));
    }
    // After a round the cells beyond this string's 29 are 0 again.
    for (int k = 29; k < 32; ++k)
        if (dev.data_.battery_value[k] != 0.0f) std::abort();
    return 0;
}
