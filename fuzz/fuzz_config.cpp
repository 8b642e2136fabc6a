// Arbitrary JSON text as a device's configuration.  Only the JSON library's
// own errors may leave the device; whatever is configured, a poll cycle and
// the named values must still work.
#include <json/reader.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/standin/HostStandin.h"
#include "support/Probes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value config;
    const char* text = reinterpret_cast<const char*>(data + 1);
    if (!reader->parse(text, text + size - 1, &config, nullptr)) return 0;

    CoutCapture quiet;
    Probe29 dev;
    dev.data_id_ = 7;
    dev.addr_ = data[0];
    for (int call = 0; call < 2; ++call) {
        try {
            dev.InitSetting(config);
        } catch (const Json::Exception&) {
            // the library's documented error for a value without a text
        }
    }
    // The configured device still polls and decodes.
    dev.RefreshStatus();
    auto reply = frames::LongReply(dev.addr_, std::vector<uint16_t>(32, 1350));
    dev.process(reply.data(), static_cast<unsigned int>(reply.size()));
    for (uint16_t raw : {4000, 100, 2500}) {
        auto r = frames::ShortReply(dev.addr_, raw);
        dev.process(r.data(), static_cast<unsigned int>(r.size()));
    }
    if (dev.data_ready_) {
        for (const char* name : {"battery_0_value", "battery_28_value", "group_voltage", "temperature"})
            (void)dev.Get_Value(0, name);
    }
    return 0;
}
