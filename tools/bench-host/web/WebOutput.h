#pragma once
// The run as the web page and /metrics see it: keeps one LiveSnapshot of
// the site, fed by the run's events, and hands a copy to the SnapshotHub
// after every completed round, health change and alarm, and at least once a
// second while anything else changed (failed exchanges, stored records).
// Runs on the bus loop's thread and never waits on a reader: publishing is
// a copy and a pointer swap.
#include <chrono>
#include <cstddef>
#include <vector>

#include "web/LiveSnapshot.h"
#include "events/RunOutput.h"

class BusScheduler;
class SnapshotHub;
struct BusDevice;

class WebOutput : public RunOutput {
public:
    // Alarms raised and cleared the page lists, newest kept.
    static constexpr std::size_t kRecentAlarms = 50;

    explicit WebOutput(SnapshotHub& hub) : hub_(hub) {}

    void OnEvent(const RunEvent& event) override;
    void Refresh(std::chrono::steady_clock::time_point now) override;

    const LiveSnapshot& Snapshot() const { return snapshot_; }

private:
    LiveSnapshot::Device* Find(const BusDevice* device);
    void Counters(const BusDevice& device, LiveSnapshot::Device& out) const;
    // Which of its float alarms stand, and whether they are held; its
    // blocks against its baseline.
    static void FloatAlarmsOf(const BusDevice& device, LiveSnapshot::Device& out);
    void Alarm(const BusDevice* device, const AlarmEvaluator::Change& change);
    void Publish();

    SnapshotHub& hub_;
    LiveSnapshot snapshot_;
    // Read again at every publication, so counters keep moving while a
    // port is away and no device has events (cycles missed, outage time).
    std::vector<const BusDevice*> devices_;
    std::vector<const BusScheduler*> buses_;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point published_{};
};
