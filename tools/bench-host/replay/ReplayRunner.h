#pragma once
// Runs a scenario of host operations against devices of the plug-in, one
// JSON object per line, and reports everything on the output as event lines
// (see EventWriter).  The replay is deterministic apart from the time stamps
// the devices put in their records.
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include <json/value.h>

#include "replay/EventWriter.h"
#include "replay/ReplayObserver.h"

class PluginLoader;
class HLXSPDevice;

class ReplayRunner {
public:
    // Exit statuses of a replay.
    static constexpr int kCompleted = 0;
    static constexpr int kMalformed = 2;

    // Installs itself as the host's observer for its lifetime.
    ReplayRunner(PluginLoader& plugin, std::ostream& out, std::ostream& err);
    // Devices the scenario left alive are destroyed without events.
    ~ReplayRunner();
    ReplayRunner(const ReplayRunner&) = delete;
    ReplayRunner& operator=(const ReplayRunner&) = delete;

    // Reads and runs the lines one at a time, so the events of a line are
    // out before the next line is read.  A line that is not a valid
    // operation is reported on err as "<source>:<line>: <why>" and ends the
    // replay with kMalformed; otherwise the result is kCompleted.
    int Run(std::istream& in, const std::string& source);

private:
    struct DeviceDeleter {
        void operator()(HLXSPDevice* dev) const;
    };
    using DevicePtr = std::unique_ptr<HLXSPDevice, DeviceDeleter>;

    void RunOp(const Json::Value& op);
    HLXSPDevice& Device(unsigned int id);

    PluginLoader& plugin_;
    std::ostream& err_;
    EventWriter events_;
    ReplayObserver observer_;
    hoststandin::HostObserver* previous_observer_;
    std::map<unsigned int, DevicePtr> devices_;
};
