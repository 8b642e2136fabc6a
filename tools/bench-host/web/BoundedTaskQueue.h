#pragma once
// The web server's workers: a fixed number of threads and a short queue of
// accepted connections.  When both are full, the accepting thread waits, so
// further connections stay in the kernel's listen backlog and beyond that
// are refused: the number of connections the server holds is bounded, and
// none of it is ever the run's concern.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

class BoundedTaskQueue : public httplib::TaskQueue {
public:
    BoundedTaskQueue(std::size_t threads, std::size_t queued);
    ~BoundedTaskQueue() override;

    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

private:
    void Work();

    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable has_work_;
    std::condition_variable has_room_;
    std::deque<std::function<void()>> jobs_;
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};
