#pragma once
// What the web server turned away, counted by reason for /metrics: a
// scrape that finds the server crowded is answered, and what crowded it
// shows on the dashboard instead of a gap.  Counted on the server's loop;
// read from any thread.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class ServerCounters {
public:
    // Connections closed before a request on them was served.
    enum class Refused {
        kServerFull,   // refused at once: every connection busy
        kAddressFull,  // refused at once: the client's address holds its share, all busy
        kDisplaced,    // still waiting for its request, dropped for a newer connection
        kSentNothing,  // no byte within the idle limit
    };
    // Responses 503, by what was full.
    enum class Unavailable {
        kServerFull,
        kAddressFull,
        kPagesBusy,       // the pages' share of the connections is busy: the rest is kept for /metrics
        kLivePages,       // live streams at their bound
        kHistoryQueries,  // history queries at their bound
        kNotStarted,      // the run has not started its devices yet
    };

    void Count(Refused why) { ++refused_[static_cast<std::size_t>(why)]; }
    void Count(Unavailable why) { ++unavailable_[static_cast<std::size_t>(why)]; }
    uint64_t Of(Refused why) const { return refused_[static_cast<std::size_t>(why)].load(); }
    uint64_t Of(Unavailable why) const { return unavailable_[static_cast<std::size_t>(why)].load(); }

    // The families of /metrics, every reason present from the start (a
    // counter that appears only when it first counts hides its first rise).
    std::string Metrics(std::size_t open_connections) const;

private:
    std::array<std::atomic<uint64_t>, 4> refused_{};
    std::array<std::atomic<uint64_t>, 6> unavailable_{};
};
