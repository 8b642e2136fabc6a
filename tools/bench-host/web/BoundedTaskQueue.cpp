#include "BoundedTaskQueue.h"

BoundedTaskQueue::BoundedTaskQueue(std::size_t threads, std::size_t queued) : capacity_(queued) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

BoundedTaskQueue::~BoundedTaskQueue() { shutdown(); }

void BoundedTaskQueue::enqueue(std::function<void()> fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The job closes its connection when it runs, so it is queued even when
    // shutting down; the workers drain the queue before they stop.
    has_room_.wait(lock, [&] { return jobs_.size() < capacity_ || shutdown_; });
    jobs_.push_back(std::move(fn));
    lock.unlock();
    has_work_.notify_one();
}

void BoundedTaskQueue::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_ && threads_.empty()) return;
        shutdown_ = true;
    }
    has_work_.notify_all();
    has_room_.notify_all();
    for (auto& t : threads_) t.join();
    threads_.clear();
}

void BoundedTaskQueue::Work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            has_work_.wait(lock, [&] { return !jobs_.empty() || shutdown_; });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        has_room_.notify_one();
        job();
    }
}
