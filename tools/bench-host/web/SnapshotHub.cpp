#include "web/SnapshotHub.h"

void SnapshotHub::Publish(LiveSnapshot snapshot) {
    // Allocated outside the lock; the old snapshot is released outside it
    // too, unless a reader still holds it.
    auto next = std::make_shared<const LiveSnapshot>(std::move(snapshot));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        latest_.swap(next);
        ++version_;
    }
    changed_.notify_all();
}

SnapshotHub::Latest SnapshotHub::Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {latest_, version_};
}

SnapshotHub::Latest SnapshotHub::WaitNewer(uint64_t seen, std::chrono::milliseconds timeout,
                                           const std::atomic<bool>& cancel) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return version_ > seen || cancel.load(); });
    return {latest_, version_};
}

void SnapshotHub::Wake() {
    // Taking the lock orders the waker's cancel flag before the waiters'
    // check of it, so none goes back to sleep for a whole timeout.
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}
