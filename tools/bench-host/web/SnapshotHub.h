#pragma once
// Where the run leaves its latest LiveSnapshot for the web server.  The run
// publishes after every round and health change; HTTP threads read the
// latest one or wait for the next.  Publish never waits on a reader: the
// lock is held only to swap a pointer, and readers hold it only to copy
// one, so a slow or stalled browser cannot delay a request on the wire.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "web/LiveSnapshot.h"

class SnapshotHub {
public:
    struct Latest {
        std::shared_ptr<const LiveSnapshot> snapshot;  // null before the first publication
        uint64_t version = 0;                          // 0 before the first publication
    };

    void Publish(LiveSnapshot snapshot);

    Latest Get() const;

    // The latest snapshot once it is newer than seen; returns what there is
    // after timeout, or as soon as cancel becomes true (after Wake()).
    Latest WaitNewer(uint64_t seen, std::chrono::milliseconds timeout, const std::atomic<bool>& cancel) const;

    // Wakes every waiter so it can look at its cancel flag.
    void Wake();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::shared_ptr<const LiveSnapshot> latest_;
    uint64_t version_ = 0;
};
