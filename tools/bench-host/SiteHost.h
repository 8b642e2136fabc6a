#pragma once
// `bench-host run`: the site host on a bench.  Loads the plug-in, makes the
// site's devices, opens their serial ports, restores each device from its
// newest stored round, then polls until stopped, keeping history and alarms
// and showing what the devices see.
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "BusScheduler.h"
#include "host/standin/HostStandin.h"

class ConsoleTap;
class HistoryStore;
class LiveView;
class PluginLoader;
class SerialPort;

class SiteHost : public hoststandin::HostObserver, public BusScheduler::Listener {
public:
    struct Options {
        std::string config_path;
        std::string plugin;              // overrides the site file's
        std::string db;                  // overrides the site file's
        std::vector<std::string> ports;  // override the ports' paths, in order
        bool json = false;
        bool trace = false;
        long rounds = 0;                 // 0: no limit
        double duration = 0;             // seconds; 0: no limit
    };

    // Exit statuses.
    static constexpr int kOk = 0;
    static constexpr int kSetupFailed = 1;
    static constexpr int kNeverCompleted = 3;

    explicit SiteHost(Options options);
    ~SiteHost() override;

    int Run();

    // HostObserver
    void OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) override;
    void OnSpRefresh(HLXSPDevice& dev) override;
    void OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float value,
                          int index) override;
    void OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) override;

    // BusScheduler::Listener
    void OnTrace(const std::string& port, bool sent, const uint8_t* data, std::size_t len, const char* note) override;
    void OnPortEvent(const std::string& port, const std::string& text) override;
    void OnCycleEnd(BusDevice& d, bool completed) override;
    void OnDeviceError(BusDevice& d, const std::string& op, const std::string& what) override;

private:
    struct Bus {
        std::unique_ptr<SerialPort> port;
        std::unique_ptr<BusScheduler> scheduler;
    };

    void Setup();
    void Restore();
    void Loop();
    int Summary();
    BusDevice* Find(const HLXVDevice& dev);
    BusScheduler* SchedulerOf(const BusDevice& d);
    void ProbeCells(BusDevice& d);
    void Note(const std::string& line);  // an event line in the current output mode
    void PluginLine(const std::string& line);
    void Redraw(bool force);
    bool Done() const;

    Options options_;
    std::unique_ptr<PluginLoader> plugin_;
    std::unique_ptr<HistoryStore> history_;
    std::vector<std::unique_ptr<BusDevice>> devices_;
    std::vector<Bus> buses_;
    std::unique_ptr<ConsoleTap> tap_;
    std::unique_ptr<std::ostream> out_;
    std::unique_ptr<LiveView> view_;
    bool restoring_ = false;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point last_draw_{};
    hoststandin::HostObserver* previous_observer_ = nullptr;
};
