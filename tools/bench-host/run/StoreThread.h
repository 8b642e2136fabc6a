#pragma once
// The history's writer on a thread of its own, so that the bus loop never
// waits for the disk: the rows the run begins with (offered before Start),
// rounds, alarms, health changes and the devices' counts
// are offered from the bus loop to a bounded queue (StoreQueue) and written
// here in order.  A write the full queue refuses, one that fails, and every
// write once the file is lost, is counted as not stored by its kind and
// said in a StoreFailed event, published on the bus loop's thread (events
// are never published from here).
//
// The file is watched while the run goes on (HistoryFileCheck): every
// kCheckEvery that it is still the file at its path and not cut short or
// overwritten, every kDeepCheckEvery SQLite's quick_check, and after every
// write whether SQLite found the file damaged.  A file found lost or
// damaged is said once (HistoryLost) and nothing more is written to it.
//
// The counts of every device are offered every kCountsEvery, so that a run
// killed with kill -9 leaves them at most that old (plus what the queue
// held, when the disk was behind).
//
// A stop never waits for the disk beyond its budget (StopBudget): what
// waits is written until the drain's end, and what is left then is counted
// as not stored, by kind; a second stop asked for counts what is left at
// once, when the write under way ends, whether the bus loop has handed
// over the stop yet or not.
//
// Time is the clock's it is given (the file's checks are timed, and the
// queue waited on, through it), so that a test holds it still or moves it.
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "basics/RealClock.h"
#include "events/RunOutput.h"
#include "history/StoreQueue.h"
#include "run/StopBudget.h"

struct BusDevice;
class HistoryStore;
class RunEvents;

class StoreThread : public RunOutput {
public:
    static constexpr std::chrono::seconds kCountsEvery{5};
    static constexpr std::chrono::seconds kCheckEvery{1};
    static constexpr std::chrono::seconds kDeepCheckEvery{60};

    // Called on the store thread before each write: where a test stands in
    // for a slow disk, holding the write until it lets it go.
    using BeforeWrite = std::function<void(const StoreQueue::Item&)>;

    StoreThread(HistoryStore& store, RunEvents& events, const std::vector<std::unique_ptr<BusDevice>>& devices,
                RunClock& clock = RealClock::Shared(), BeforeWrite before_write = {});
    ~StoreThread() override;
    StoreThread(const StoreThread&) = delete;
    StoreThread& operator=(const StoreThread&) = delete;

    // stop_requests: the stops asked for so far (BusLoop::StopRequests),
    // read before each write; none: only the budget ends a drain.
    void Start(std::function<int()> stop_requests = {});
    // Writes what waits while the budget lets it, counts the rest as not
    // stored, ends the thread and publishes what failed.  The devices'
    // final counts are the caller's to write, with the run's end.  The
    // writer is this thread's caller's again afterwards.
    void Stop(const StopBudget& budget);

    // From the bus loop.  A write the queue refuses is counted and said.
    void Offer(StoreQueue::Item item);
    // Failures are published, the counts offered when due.
    void OnEvent(const RunEvent&) override {}
    void Refresh(std::chrono::steady_clock::time_point now) override;

    // Why the file was given up while running ("" while it is written).
    std::string Lost() const;

private:
    struct Failure {
        uint32_t device_id = 0;
        history::StoreKind kind{};
        long added = 0;
        long count = 0;  // of the kind, these included
        std::string what;
    };

    void Loop();
    // Under mu_: every write still queued, counted as not stored.
    void Abandon(const std::string& why);
    void Write(const StoreQueue::Item& item);
    void GiveUp(const std::string& why);
    // Under mu_: a write not stored, counted here (Failed) or by the writer
    // (Note), to be said.
    void Failed(uint32_t device_id, history::StoreKind kind, const std::string& what);
    void Note(uint32_t device_id, history::StoreKind kind, const std::string& what);
    void OfferCounts();
    void Publish();

    HistoryStore& store_;
    RunEvents& events_;
    const std::vector<std::unique_ptr<BusDevice>>& devices_;
    RunClock& clock_;
    BeforeWrite before_write_;
    std::function<int()> stop_requests_;

    mutable std::mutex mu_;
    std::condition_variable wake_;
    StoreQueue queue_;
    bool stopping_ = false;
    std::optional<StopBudget> budget_;      // set with stopping_
    std::string lost_;
    bool lost_said_ = false;                 // bus loop's
    std::vector<Failure> failures_;          // at most one per device and kind
    std::array<long, history::kStoreKinds> told_{};  // not stored, per kind, said or to be said
    int closed_at_start_ = 0;                // alarms earlier runs left raised, closed, to be said
    std::map<uint32_t, long> stored_;        // records stored, per device
    bool stored_changed_ = false;
    std::chrono::steady_clock::time_point next_counts_{};  // bus loop's
    std::thread thread_;
};
