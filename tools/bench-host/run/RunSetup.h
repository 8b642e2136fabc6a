#pragma once
// The start of `bench-host run`: from the site file to a site ready to poll.
// Loads the plug-in, makes the site's devices and configures them as the
// controller's host does, opens their serial ports at the speed the devices
// ask for, opens the history, and restores each device from its newest
// stored round; prunes the rounds older than the days kept.  Owns what it
// made for the whole run.  A port is a serial port at the site file's path,
// or what the maker given makes of that path (a test's line in memory).
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus/BusDevice.h"
#include "history/StoreQueue.h"
#include "run/RunOptions.h"

class BusPort;
class BusScheduler;
class HistoryPruner;
class HistoryStore;
class PluginLoader;
class RunEvents;

class RunSetup {
public:
    // A site that cannot run: the text says why, in one line.
    struct Error : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    struct Bus {
        std::unique_ptr<BusPort> port;
        std::unique_ptr<BusScheduler> scheduler;
        Bus();
        Bus(Bus&&) noexcept;
        ~Bus();
    };

    using PortMaker = std::function<std::unique_ptr<BusPort>(const std::string& path)>;

    RunSetup(const RunOptions& options, RunEvents& events, PortMaker make_port = {});
    ~RunSetup();

    // Throws Error, or std::exception with the reason, when the site cannot
    // run.
    void Make();
    // Hands each device its newest stored round (LoadFromCache).
    void Restore();
    // True while Restore hands a stored round back: the host calls the
    // device makes meanwhile are not new readings.
    bool Restoring() const { return restoring_; }

    const std::vector<std::unique_ptr<BusDevice>>& Devices() const { return devices_; }
    std::vector<Bus>& Buses() { return buses_; }
    HistoryStore& History() { return *history_; }
    const PluginLoader& Plugin() const { return *plugin_; }
    // The run's row in the history's runs table (0 without a file).
    int64_t RunId() const { return run_id_; }
    // The rows the run begins with, made by Make, for the store thread to
    // write before anything else: the run's row, what each device is
    // judged by, the closing of the alarms earlier runs left raised.
    std::vector<StoreQueue::Item> TakeSetupWrites();

private:
    const RunOptions& options_;
    RunEvents& events_;
    PortMaker make_port_;
    std::unique_ptr<PluginLoader> plugin_;
    int64_t run_id_ = 0;
    std::vector<StoreQueue::Item> setup_writes_;
    std::unique_ptr<HistoryStore> history_;
    // Gone before the store: its thread writes the same file.
    std::unique_ptr<HistoryPruner> pruner_;
    std::vector<std::unique_ptr<BusDevice>> devices_;
    std::vector<Bus> buses_;
    bool restoring_ = false;
};
