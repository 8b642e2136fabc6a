#pragma once
// The web page and metrics of the bench host, served on a thread of their
// own: the live page fed by server-sent events, the history page, their
// JSON endpoints and /metrics (see tools/bench-host/README.md, "Web page").
//
// Read-only: only GET (and HEAD) are answered.  It binds the loopback
// address unless another is asked for; Warning() then says the page has no
// authentication, for the caller to show.  Connections, their requests and
// the number of live streams are bounded; a slow or stalled client ties up
// one worker thread at most, until the write timeout drops it.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "SnapshotHub.h"

class HistoryQuery;

namespace httplib {
class Server;
}

class WebServer {
public:
    struct Options {
        std::string host = "127.0.0.1";
        int port = 0;                    // 0: any free port (see Port())
        SnapshotHub* live = nullptr;     // none: the history page alone
        HistoryQuery* history = nullptr; // none: no history endpoints
        // A live page holds a worker for as long as it is open: room for a
        // control room's worth of pages and, beside them, requests that
        // come and go (history, /metrics).
        std::size_t threads = 40;        // workers, live streams included
        std::size_t queued = 32;         // accepted connections waiting for a worker
        std::size_t streams = 24;        // live streams at once
        int heartbeat_ms = 10000;        // comment sent on a quiet stream, to find closed ones
    };

    // "[ADDR:]PORT", the address in brackets when it is IPv6 ("[::1]:8080").
    // Throws std::invalid_argument with the reason.
    static std::pair<std::string, int> ParseListen(const std::string& text);
    static bool IsLoopback(const std::string& host);

    explicit WebServer(Options options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving; throws std::runtime_error naming the
    // address when it cannot bind.
    void Start();
    void Stop();

    int Port() const { return port_; }
    std::string Url() const;
    // "" on the loopback address; otherwise what to warn the user of:
    // anyone who reaches the address can read the page.
    std::string Warning() const;

private:
    void Routes();
    // The snapshot's JSON (/api/live, the live streams).
    std::shared_ptr<const std::string> JsonOf(const SnapshotHub::Latest& latest);

    Options options_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> streams_{0};
    int port_ = 0;
    std::mutex json_mutex_;
    std::shared_ptr<const std::string> json_;
    uint64_t json_version_ = 0;
};
