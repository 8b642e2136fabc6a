#pragma once
// The web page and metrics of the bench host, served on a thread of their
// own: the live page fed by server-sent events, the history page, their
// JSON endpoints and /metrics (see tools/bench-host/README.md, "Web page").
//
// Read-only: only GET and HEAD are answered (405 otherwise).  It binds the
// loopback address unless another is asked for; Warning() then says the
// page has no authentication, for the caller to show.  The address is bound
// exclusively: a second server on it fails to start, and on a loopback
// address also one on the other family's loopback address and the same
// port (127.0.0.1:P and [::1]:P), which "localhost:P" would reach as well.
//
// One event loop serves every connection, so a client costs a socket and a
// small, fixed buffer, never a thread.  Everything a client can grow is
// bounded: the whole request head (size and header lines), the time it may
// take to send it, the body, the time it may take to read each response
// and each live event, the connections and live streams open at once, and
// the history queries in progress (those run on worker threads of their
// own, so a slow query never holds the loop).  Beyond a bound a client gets
// its status at once (431, 408, 413, 503 with Retry-After) or is dropped.
//
// No client can crowd out a scrape of /metrics (Admission says who gets
// room): a connection waiting for its request gives way to a newer one, a
// live stream leaves the connections' room for its own, and pages never
// take the connections kept for /metrics, in all or of one address.  A
// waiting connection sends its first byte within idle_ms (closed silently
// otherwise) and its whole request within head_ms.
// What was turned away is counted in /metrics by reason (ServerCounters).
// The run only ever publishes into the SnapshotHub; nothing here waits on it
// and it never waits on anything here.
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "web/ServerCounters.h"
#include "web/SnapshotHub.h"

class HistoryQuery;

class WebServer {
public:
    struct Options {
        std::string host = "127.0.0.1";
        int port = 0;                    // 0: any free port (see Port())
        SnapshotHub* live = nullptr;     // none: the history page alone
        HistoryQuery* history = nullptr; // none: no history endpoints
        std::size_t connections = 256;   // open at once (see Admission for who gets a slot)
        std::size_t per_client = 32;     // open at once from one client address; live streams too
        std::size_t kept_for_metrics = 16;  // of connections, never taken by pages
        std::size_t kept_per_client = 4;    // of one address's connections, never taken by its pages
        std::size_t streams = 64;        // live streams at once (besides connections)
        std::size_t history_jobs = 8;    // history queries running or waiting
        int heartbeat_ms = 10000;        // comment sent on a quiet stream, to find closed ones
        int idle_ms = 2000;              // the first byte of a request arrives within this (closed)
        int head_ms = 10000;             // a request, head and body, arrives within this (408)
        int write_ms = 10000;            // a response or a live event is taken within this
    };

    // The whole request head, request line and header lines together, and
    // the number of header lines; beyond either, 431.
    static constexpr std::size_t kMaxHead = 8 * 1024;
    static constexpr std::size_t kMaxHeaderLines = 64;
    // Requests are GETs: a body is read only to keep the connection in step.
    static constexpr std::size_t kMaxBody = 1024;

    // "[ADDR:]PORT", the address in brackets when it is IPv6 ("[::1]:8080").
    // Throws std::invalid_argument with the reason.
    static std::pair<std::string, int> ParseListen(const std::string& text);
    static bool IsLoopback(const std::string& host);

    explicit WebServer(Options options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving; throws std::runtime_error naming the
    // address when it cannot bind (in use, or not this machine's).
    void Start();
    void Stop();

    int Port() const { return port_; }
    std::string Url() const;
    // "" on the loopback address; otherwise what to warn the user of:
    // anyone who reaches the address can read the page.
    std::string Warning() const;

    // Connections open now, refused ones still being told so included.
    std::size_t OpenConnections() const;
    // Requests given room so far (a reply, a stream, a history query), so a
    // caller can tell the server has taken what it sent.
    std::size_t Admitted() const;
    // Refusals and 503s so far; none before Start.
    const ServerCounters* Counters() const;

    class Impl;

private:
    Options options_;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};
