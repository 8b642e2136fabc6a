#pragma once
// Who of the web server's clients gets room, kept apart from the sockets so
// every decision can be replayed from a table: a connection arrives, waits
// for its request, uses the server for a page, a scrape of /metrics or a
// live stream, and leaves.
//
// The rooms:
//  - connections: at most `connections` open at once, `per_client` of them
//    from one client address.  A connection still waiting for its request
//    gives way to a newcomer when either bound is full (the one waiting
//    longest, of the newcomer's own address when that is what is full);
//    with none waiting the newcomer is refused.
//  - live streams: a connection that becomes a live stream leaves the
//    connections' room for a room of its own, `streams` at once and
//    `per_client` from one address, so the live pages an address keeps open
//    never hold what a scrape from it needs.
//  - pages (every request but /metrics and a stream): at most `connections -
//    kept_for_metrics` at once, and at most `per_client - kept_per_client`
//    of one address.  The rest of each bound is only ever held by scrapes
//    or by connections waiting for their request, which give way: whatever
//    else an address has open, a scrape from it finds room unless that
//    room is full of scrapes.
// Every call is made on the server's loop; nothing here locks.  A copy is
// a state of its own (a test asks it what a newcomer would get).
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "web/ServerCounters.h"

class Admission {
public:
    struct Bounds {
        std::size_t connections = 256;
        std::size_t per_client = 32;
        std::size_t kept_for_metrics = 16;
        std::size_t kept_per_client = 4;
        std::size_t streams = 64;
    };
    using Id = uint64_t;
    enum class Use { kPage, kScrape, kStream };

    // What becomes of a new connection.
    struct Arrival {
        enum class Kind { kAdmitted, kDisplacing, kRefused } kind = Kind::kAdmitted;
        ServerCounters::Unavailable why = ServerCounters::Unavailable::kServerFull;
        Id displaced = 0;  // kDisplacing: the waiting connection that gave way
    };
    // Why a request finds no room: what was full, and whether it was the
    // bound of the client's address.
    struct Refusal {
        ServerCounters::Unavailable why;
        bool of_address;
    };

    // Throws std::invalid_argument when a kept room leaves nothing to pages.
    explicit Admission(const Bounds& bounds);

    // A new connection from address: admitted, waiting for its request.  A
    // connection displaced is forgotten here at once; a refused one was
    // never counted.
    Arrival Arrive(Id id, const std::string& address);
    // Waiting for its next request (a keep-alive connection): the newest
    // to wait.
    void Wait(Id id);
    // A request, whole or broken, has arrived: no longer waiting, so it
    // keeps its slot while it is answered.
    void Busy(Id id);
    // Room for what the request uses; none means it is served.  Refused, the
    // connection stays busy until it leaves (it is told why, then closed).
    // A stream is a connection's last use: it holds its room until it leaves.
    std::optional<Refusal> Take(Id id, Use use);
    // A page's answer written: its share of the pages is given back.
    void Answered(Id id);
    void Leave(Id id);

    const Bounds& Of() const { return bounds_; }
    std::size_t Connections() const { return connections_; }
    std::size_t Connections(const std::string& address) const;
    std::size_t Streams() const { return streams_; }
    std::size_t Pages() const { return pages_; }
    std::size_t Waiting() const { return waiting_.size(); }

private:
    struct Client {
        std::size_t connections = 0;
        std::size_t streams = 0;
        std::size_t pages = 0;
    };
    struct Entry {
        std::string address;
        bool stream = false;
        bool page = false;
        std::optional<uint64_t> waiting_since;  // its place among the waiting
    };

    void StopWaiting(Entry& e);
    std::optional<Id> OldestWaiting(const std::string* of) const;
    void Forget(Id id);

    const Bounds bounds_;
    std::size_t connections_ = 0;
    std::size_t streams_ = 0;
    std::size_t pages_ = 0;
    std::map<std::string, Client> clients_;
    std::unordered_map<Id, Entry> entries_;
    // Longest waiting first, by when each began to wait.
    std::map<uint64_t, Id> waiting_;
    uint64_t next_wait_ = 0;
};
