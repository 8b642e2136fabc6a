// A host of its own for upsbattery_29.so, as small as one can be: it loads
// the library, defines the host operations the library imports, makes one
// device, configures it, polls it on a serial line and reads its values.
//
//   example-host LIBRARY PORT [ROUNDS]
//
// One thread drives the one device, so no call into it ever overlaps
// another.  Exit status 0 when every round completed, 1 otherwise.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/HLXSPDevice.h"
#include "host/HLXSPDeviceProvider.h"
#include "host/get_ttime.h"

// ---- The host operations the library imports (nm -D --undefined-only). ----
// This host keeps one port and one device, so they live in globals.
static int g_port = -1;
static int g_reply_len = 0;  // bytes the request just written is answered with
static int g_rounds_saved = 0;
// A day of rounds at the pace below: more is surely a slip.
static const long kMostRounds = 400000;

HLXVDevice::HLXVDevice() {}
HLXVDevice::~HLXVDevice() {}
void HLXVDevice::Reset() {}
bool HLXVDevice::InitV(HLXVDevice*, unsigned int id, const Json::Value& c) { data_id_ = id; return InitSetting(c); }
bool HLXVDevice::Init(std::weak_ptr<HLXController>, unsigned int id, const Json::Value& c) { data_id_ = id; return InitSetting(c); }
bool HLXVDevice::InitSetting(const Json::Value&) { return true; }
bool HLXVDevice::IsSupportDevice(const std::string& type) const { return type == DeviceType(); }
int HLXVDevice::SendSP(int, const unsigned char*, unsigned int, bool) { return 1; }
int HLXVDevice::SendDelayData(int) { return 0; }
int HLXVDevice::SendDoData(int, char) { return 0; }
int HLXVDevice::ReadDi(int) { return 0; }
float HLXVDevice::ReadAi(int) { return 0.0f; }
// Another device's value: this host has no other device.
float HLXVDevice::Get_SP_Value(unsigned int, const std::string&) { throw std::out_of_range("不支持变量"); }
int HLXVDevice::RefreshStatus() { return 0; }
int HLXVDevice::process(unsigned char*, unsigned int) { return 0; }
bool HLXVDevice::IsProcessing() { return false; }
bool HLXVDevice::IsStalled() { return false; }
bool HLXVDevice::CheckAOReport(const std::string&, float) { return false; }
bool HLXVDevice::CheckThreshold(const std::string&, const std::string&, const float&, int) { return false; }
bool HLXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>&) { return false; }
// A completed round: the device hands over its data record.
bool HLXVDevice::SaveDeviceHistory(const unsigned char*, unsigned int size) {
    std::printf("round %d: record of %u bytes\n", ++g_rounds_saved, size);
    return true;
}

HLXSPDevice::HLXSPDevice() {}
HLXSPDevice::~HLXSPDevice() {}
void HLXSPDevice::Reset() {}
int HLXSPDevice::RefreshStatus() { return 1; }
// A request to the monitor: FE FE addr cmd sum.  Cell voltages (0xA1) are
// answered with 67 bytes, everything else with 5.
int HLXSPDevice::SendData(const unsigned char* data, unsigned int len) {
    g_reply_len = (len == 5 && data[3] == 0xA1) ? 67 : 5;
    return static_cast<int>(::write(g_port, data, len));
}
int HLXSPDevice::SendParityData(const unsigned char* data, unsigned int len, EnumParity) { return SendData(data, len); }
bool HLXSPDevice::OpenPort() { return g_port >= 0; }
void HLXSPDevice::ClosePort() {}

TTime get_ttime(const boost::posix_time::ptime& t) {
    TTime out{};
    if (t.is_special()) return out;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    const unsigned year = static_cast<unsigned>(d.year());
    out = {static_cast<uint8_t>(year & 0xFF), static_cast<uint8_t>(year >> 8),
           static_cast<uint8_t>(d.month().as_number()), static_cast<uint8_t>(d.day()),
           static_cast<uint8_t>(tod.hours()), static_cast<uint8_t>(tod.minutes()),
           static_cast<uint8_t>(tod.seconds())};
    return out;
}

// ---- The host. ----
static bool OpenPort(const char* path, int baud) {
    g_port = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (g_port < 0 || ::tcgetattr(g_port, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    const speed_t speed = baud == 19200 ? B19200 : baud == 38400 ? B38400 : B9600;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    return ::tcsetattr(g_port, TCSANOW, &tio) == 0;
}

// Gathers the reply to the request just written, by its length, and hands
// it to the device in one piece; false when the monitor did not answer
// within a second.
static bool Answer(HLXSPDevice& dev) {
    unsigned char reply[80];
    int got = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (got < g_reply_len) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{g_port, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = ::read(g_port, reply + got, static_cast<size_t>(g_reply_len - got));
        if (n <= 0) return false;
        got += static_cast<int>(n);
    }
    g_reply_len = 0;
    dev.process(reply, static_cast<unsigned int>(got));
    return true;
}

int main(int argc, char** argv) {
    // ROUNDS is a whole number from 1 on: text that is none, read as 0,
    // would poll nothing and report "0 of 0 rounds completed" as success.
    long rounds = 3;
    if (argc > 3) {
        char* end = nullptr;
        errno = 0;
        rounds = std::strtol(argv[3], &end, 10);
        if (end == argv[3] || *end != '\0' || errno != 0 || rounds < 1 || rounds > kMostRounds) rounds = 0;
    }
    if (argc < 3 || argc > 4 || rounds == 0) {
        std::fprintf(stderr, "usage: example-host LIBRARY PORT [ROUNDS]  (ROUNDS 1 to %ld, default 3)\n", kMostRounds);
        return 2;
    }
    // RTLD_NOW: a host operation this program lacks fails here, not in the
    // middle of a round.  The library finds them in this executable, whose
    // symbols are exported (-rdynamic).
    void* lib = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return std::fprintf(stderr, "example-host: %s\n", ::dlerror()), 1;
    using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
    const auto get_providers = reinterpret_cast<GetProviders>(::dlsym(lib, "get_providers"));
    if (!get_providers) return std::fprintf(stderr, "example-host: no get_providers\n"), 1;

    HLXSPDevice* dev = nullptr;
    for (const auto& p : get_providers())
        if (auto sp = std::dynamic_pointer_cast<HLXSPDeviceProvider>(p)) dev = dev ? dev : sp->create();
    if (!dev) return std::fprintf(stderr, "example-host: the library makes no serial device\n"), 1;
    std::printf("device type %s\n", dev->DeviceType().c_str());

    // Identifier and address first, then the configuration.
    dev->data_id_ = 1;
    dev->addr_ = 1;  // on the bus 0x81
    Json::Value config;
    config["appSetting"]["battery_type"] = 0;
    if (!dev->InitSetting(config)) return std::fprintf(stderr, "example-host: configuration refused\n"), 1;
    if (!OpenPort(argv[2], dev->baudrate_)) return std::fprintf(stderr, "example-host: cannot open %s\n", argv[2]), 1;

    // A tick starts a round; each reply handed over makes the device send
    // the next request, until the round is saved or a reply does not come.
    int completed = 0;
    for (long i = 0; i < rounds; ++i) {
        const int saved = g_rounds_saved;
        dev->RefreshStatus();
        while (g_reply_len > 0 && g_rounds_saved == saved && Answer(*dev)) {
        }
        completed += g_rounds_saved > saved;
        ::usleep(200000);
    }
    for (const char* name : {"group_voltage", "group_current", "temperature", "battery_0_value", "no_such_value"}) {
        try {
            std::printf("%s = %.2f\n", name, static_cast<double>(dev->Get_Value(1, name)));
        } catch (const std::out_of_range& e) {
            std::printf("%s: %s\n", name, e.what());
        }
    }
    delete dev;  // through its virtual destructor, before the library could go
    std::printf("%d of %ld rounds completed\n", completed, rounds);
    return completed == rounds ? 0 : 1;
}
