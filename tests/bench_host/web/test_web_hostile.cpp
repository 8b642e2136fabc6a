// The web server against clients that break the rules: heads that never
// end, senders that trickle, pages that never read, more connections than
// it takes.  Whatever they do, memory stays put, the bounds answer with
// their status, and /metrics and a new page keep working.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "CannedSnapshot.h"
#include "HttpProbe.h"
#include "web/HistoryQuery.h"
#include "web/SnapshotHub.h"
#include "web/WebServer.h"
#include "tests/support/Await.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a read may wait for an answer that ends with the connection
// closed before the test takes the server to hang: a guard, never a measure.
constexpr std::chrono::seconds kHang{30};
using namespace std::chrono_literals;

long RssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A raw connection, for clients no library would be; from another loopback
// address (127.0.0.from) when asked, to stand for another client.
class Raw {
public:
    explicit Raw(int port, int rcvbuf = 0, int from = 1) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        if (from != 1) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(from));
            ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Raw() { Close(); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;

    bool Ok() const { return ok_; }
    // False once the server has closed or reset the connection.
    bool Send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // What arrives within the time, until the server closes or, when one
    // is given, until what arrived holds the marker.
    std::string Receive(std::chrono::milliseconds within, const std::string& marker = "") {
        std::string got;
        const auto end = Clock::now() + within;
        char buf[4096];
        while (Clock::now() < end && (marker.empty() || got.find(marker) == std::string::npos)) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left, 1))) <= 0) continue;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Whether the server has answered or closed it, without waiting.
    bool Answered() {
        char c;
        const ssize_t n = ::recv(fd_, &c, 1, MSG_DONTWAIT | MSG_PEEK);
        return n == 0 || n == 1 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

std::string StatusOf(const std::string& response) { return response.substr(0, 12); }

class Hostile : public ::testing::Test {
protected:
    void Serve(WebServer::Options o) {
        hub_.Publish(canned::Site());
        o.live = &hub_;
        server_ = std::make_unique<WebServer>(o);
        server_->Start();
        port_ = server_->Port();
    }
    void TearDown() override {
        if (server_) server_->Stop();
    }
    // /metrics answered whole, and how long it took.
    Clock::duration Scrape() {
        const auto start = Clock::now();
        const auto res = probe::Get(port_, "/metrics");
        const auto took = Clock::now() - start;
        EXPECT_TRUE(res && res->status == 200 && res->body.find("bench_host_cell_volts") != std::string::npos);
        return took;
    }

    SnapshotHub hub_;
    std::unique_ptr<WebServer> server_;
    int port_ = 0;
};

const std::string kHead = "GET /metrics HTTP/1.1\r\nHost: localhost\r\n";

TEST_F(Hostile, EachBoundOfARequestAnswersWithItsStatus) {
    WebServer::Options o;
    o.head_ms = 300;
    Serve(o);
    const std::string line = "X-Filler: abcdefgh\r\n";
    std::string filler63;  // with Host, 64 header lines
    for (int i = 0; i < 63; ++i) filler63 += line;
    const struct {
        const char* what;
        std::string request;
        const char* status;
    } cases[] = {
        {"64 header lines", kHead + filler63 + "\r\n", "HTTP/1.1 200"},
        {"65 header lines", kHead + filler63 + line + "\r\n", "HTTP/1.1 431"},
        {"one header line of 9000 bytes", kHead + "X-Long: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
        {"a head that never ends", kHead + "X-Half: ", "HTTP/1.1 408"},
        {"a body beyond its bound", "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 4096\r\n\r\n" +
                                        std::string(4096, 'b'), "HTTP/1.1 413"},
        {"a request line that is not HTTP", "HELLO\r\n\r\n", "HTTP/1.1 400"},
        {"no Host", "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {"two Host headers", kHead + "Host: evil.example\r\n\r\n", "HTTP/1.1 400"},
        {"absolute form", "GET http://localhost:" + std::to_string(port_) + "/metrics HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 200"},
        {"absolute form, another server", "GET http://evil.example/metrics HTTP/1.1\r\nHost: localhost\r\n\r\n",
         "HTTP/1.1 421"},
        {"absolute form, another scheme", "GET https://localhost/metrics HTTP/1.1\r\nHost: localhost\r\n\r\n",
         "HTTP/1.1 400"},
    };
    for (const auto& c : cases) {
        Raw r(port_);
        ASSERT_TRUE(r.Ok());
        r.Send(c.request);
        const std::string got = r.Receive(kHang);
        EXPECT_EQ(StatusOf(got), c.status) << c.what << ": " << got.substr(0, 200);
    }
    // An idle connection is closed at the deadline without a word.
    Raw idle(port_);
    EXPECT_EQ(idle.Receive(2s), "");
}

TEST_F(Hostile, AHeaderFloodLeavesMemoryWhereItWas) {
    Serve({});
    // Warm up: the first requests allocate what every later one reuses.
    for (int i = 0; i < 3; ++i) Scrape();
    const long before = RssKb();

    // Four connections, each trying 16 MB of short header lines.
    constexpr std::size_t kPerConnection = 16u << 20;
    std::string chunk;
    while (chunk.size() < 64 * 1024) chunk += "X-Flood: 0123456789\r\n";
    std::atomic<std::size_t> sent{0};
    std::vector<std::string> answers(4);
    std::vector<std::thread> floods;
    for (int k = 0; k < 4; ++k) {
        floods.emplace_back([&, k] {
            Raw r(port_);
            if (!r.Send(kHead)) return;
            std::size_t n = 0;
            while (n < kPerConnection && r.Send(chunk)) n += chunk.size();
            sent += n;
            answers[k] = r.Receive(2s);
        });
    }
    for (auto& t : floods) t.join();
    const long after = RssKb();
    for (const auto& a : answers) {
        // Refused with its reason, or closed before the client could read it.
        EXPECT_TRUE(a.empty() || StatusOf(a) == "HTTP/1.1 431") << a.substr(0, 100);
    }
    EXPECT_LT(after - before, 4 * 1024) << "kB grown; " << sent << " bytes were taken before the close";
    std::cout << "figure: header flood, 4 x 16 MB tried, " << sent << " bytes taken, resident memory "
              << before << " -> " << after << " kB" << std::endl;
    Scrape();
    test_support::Await([&] { return server_->OpenConnections() == 0; });
    EXPECT_EQ(server_->OpenConnections(), 0u);
}

TEST_F(Hostile, SlowSendersLeaveMetricsAnswering) {
    WebServer::Options o;
    o.head_ms = 3000;
    o.per_client = 200;  // all of them kept, to be told 408
    Serve(o);
    // A hundred clients, each sending one header line every 300 ms.
    std::vector<std::unique_ptr<Raw>> slow;
    for (int i = 0; i < 100; ++i) {
        slow.push_back(std::make_unique<Raw>(port_));
        ASSERT_TRUE(slow.back()->Ok());
        slow.back()->Send(kHead);
    }
    std::vector<double> ms;
    const auto end = Clock::now() + 2s;
    while (Clock::now() < end) {
        for (auto& s : slow) s->Send("X-Slow: 1\r\n");
        ms.push_back(std::chrono::duration<double, std::milli>(Scrape()).count());
        std::this_thread::sleep_for(300ms);
    }
    // Every scrape answered whole (Scrape); how long each took is a figure,
    // which a loaded machine changes, not a verdict.
    std::sort(ms.begin(), ms.end());
    std::cout << "figure: /metrics beside 100 slow senders, " << ms.size() << " scrapes, median " << ms[ms.size() / 2]
              << " ms, slowest " << ms.back() << " ms" << std::endl;
    // Past their deadline they are told and closed.
    EXPECT_EQ(StatusOf(slow.front()->Receive(kHang)), "HTTP/1.1 408");
}

// Nothing is published until the newcomer has been turned away: the pages
// that hold the live streams then have nothing left unread, so none is
// dropped before the newcomer asks, however slow the machine.  Only then do
// the events start, and the pages that stopped reading fall behind.
TEST_F(Hostile, PagesThatNeverReadAreDroppedAndANewPageWorks) {
    WebServer::Options o;
    o.write_ms = 500;
    o.per_client = 400;  // the bound on live streams is what is tried here
    Serve(o);
    // 300 pages ask for the live stream, read its first event (or their
    // refusal), and never read another byte.
    std::vector<std::unique_ptr<Raw>> stalled;
    for (int i = 0; i < 300; ++i) {
        stalled.push_back(std::make_unique<Raw>(port_, 4096));
        ASSERT_TRUE(stalled.back()->Ok()) << i;
        stalled.back()->Send("GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }
    int streaming = 0;
    for (auto& s : stalled) streaming += StatusOf(s->Receive(kHang, "\n\n")) == "HTTP/1.1 200";
    EXPECT_EQ(streaming, static_cast<int>(o.streams));
    EXPECT_LE(server_->OpenConnections(), o.connections);

    // A new page: its files, the snapshot, and the stream or a reason.
    for (const char* path : {"/", "/assets/live.js", "/api/live"}) {
        const auto res = probe::Get(port_, path);
        EXPECT_TRUE(res) << path;
        if (!res) continue;
        EXPECT_EQ(res->status, 200) << path;
    }
    const auto stream = probe::Get(port_, "/api/events");
    // Busy: refused at once with the reason and when to come back.
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->status, 503);
    EXPECT_NE(stream->body.find("too many live pages"), std::string::npos) << stream->body;
    EXPECT_EQ(stream->Header("Retry-After"), "5");

    std::atomic<bool> stop{false};
    std::thread publisher([&] {
        while (!stop) {
            hub_.Publish(canned::Site());
            std::this_thread::sleep_for(20ms);
        }
    });
    struct Joined {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Joined() {
            stop = true;
            thread.join();
        }
    } joined{stop, publisher};
    // The pages that stopped reading are dropped once their data stops going out.
    const auto dropping = Clock::now();
    const auto deadline = dropping + kHang;
    while (server_->OpenConnections() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
    std::cout << "figure: 300 pages that never read, all dropped within "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - dropping).count() << " ms"
              << std::endl;
    EXPECT_EQ(server_->OpenConnections(), 0u);
    int seen = 0;
    EXPECT_EQ(probe::ReadEvents(port_, [&](const std::string&) { return ++seen < 2; }), 200);
}

// A history whose queries wait until the test lets them go: pages that
// hold their connections busy for as long as a case needs.
class HeldHistory : public HistoryQuery {
public:
    std::vector<DeviceSpan> Devices() override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++running_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
        return {};
    }
    Series Downsample(const SeriesRequest&) override { return {}; }
    std::vector<Alarm> Alarms(std::optional<uint32_t>, const Range&, std::size_t) override { return {}; }
    // Queries reach the worker threads two at a time; the rest wait queued,
    // holding their connections all the same.
    void AwaitRunning(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kHang, [&] { return running_ >= n; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int running_ = 0;
    bool released_ = false;
};

// Who gets a slot when the server or one address is full: the newcomer
// takes the slot of the oldest connection still waiting for its request,
// which is told why; live streams hold a room of their own; pages never
// take the connections kept for /metrics.  (Every step of these rooms,
// refusals at once included, is replayed in Admission.CrowdsStepByStep.)
TEST_F(Hostile, ConnectionsBeyondTheBoundsDisplaceTheOldestWaitingOrAreRefused) {
    using U = ServerCounters::Unavailable;
    const std::string full8 = "too many connections open at once (8)";
    const std::string address4 = "too many connections from one address at once (4)";
    const struct {
        const char* what;
        std::size_t connections, per_client, kept, kept_per_client, streams_bound;
        int streams, history, idle;  // held from 127.0.0.1, in this order
        const char* path;   // the newcomer's
        int from;           // 127.0.0.from
        const char* status;
        std::string text;   // in the newcomer's answer, or the oldest idle's when it is displaced
        U counted;
    } cases[] = {
        {"server full of idle ones", 8, 32, 2, 4, 64, 0, 0, 8, "/metrics", 1, "HTTP/1.1 200", full8, U::kServerFull},
        {"address full of idle ones", 16, 4, 2, 1, 64, 0, 0, 4, "/metrics", 1, "HTTP/1.1 200", address4,
         U::kAddressFull},
        {"as many live streams as connections; a scrape", 8, 32, 2, 4, 64, 8, 0, 0, "/metrics", 1, "HTTP/1.1 200", "",
         U::kServerFull},
        {"an address full of live streams and idle ones; a scrape from it", 16, 4, 2, 1, 64, 4, 0, 4, "/metrics", 1,
         "HTTP/1.1 200", address4, U::kAddressFull},
        {"live streams at their bound; another stream", 16, 32, 2, 4, 4, 4, 0, 0, "/api/events", 2, "HTTP/1.1 503",
         "too many live pages open at once (4)", U::kLivePages},
        {"pages at their share", 8, 32, 2, 4, 64, 0, 6, 0, "/", 1, "HTTP/1.1 503",
         "too many pages served at once (6; the rest is kept for /metrics)", U::kPagesBusy},
        {"pages at their share; a scrape", 8, 32, 2, 4, 64, 0, 6, 0, "/metrics", 1, "HTTP/1.1 200", "", U::kPagesBusy},
        {"one address's pages at its share", 16, 8, 2, 2, 64, 0, 6, 0, "/", 1, "HTTP/1.1 503",
         "too many pages served to one address at once (6; the rest is kept for /metrics)", U::kPagesBusy},
        {"one address's pages at its share; another address's page", 16, 8, 2, 2, 64, 0, 6, 0, "/", 2,
         "HTTP/1.1 200", "", U::kPagesBusy},
    };
    for (const auto& c : cases) {
        if (server_) server_->Stop();
        HeldHistory history;
        WebServer::Options o;
        o.connections = c.connections;
        o.per_client = c.per_client;
        o.kept_for_metrics = c.kept;
        o.kept_per_client = c.kept_per_client;
        o.streams = c.streams_bound;
        o.history = &history;
        Serve(o);
        std::vector<std::unique_ptr<Raw>> held;
        for (int i = 0; i < c.streams + c.history + c.idle; ++i) {
            held.push_back(std::make_unique<Raw>(port_));
            if (i < c.streams) held.back()->Send("GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n");
            else if (i < c.streams + c.history) held.back()->Send("GET /api/devices HTTP/1.1\r\nHost: localhost\r\n\r\n");
        }
        test_support::Await([&] { return server_->OpenConnections() >= held.size(); });
        if (c.history > 0) history.AwaitRunning(2);
        // The streams begun and the queries taken, however slow the machine.
        const auto sent = static_cast<std::size_t>(c.streams + c.history);
        test_support::Await([&] { return server_->Admitted() >= sent; });
        ASSERT_GE(server_->Admitted(), sent) << c.what;
        // Answered, not kept waiting for a slot: the answer ends with the
        // connection closed.
        Raw newcomer(port_, 0, c.from);
        newcomer.Send(std::string("GET ") + c.path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        const std::string got = newcomer.Receive(kHang);
        EXPECT_EQ(StatusOf(got), c.status) << c.what << ": " << got.substr(0, 300);
        if (c.idle > 0) {
            const std::string told = held[static_cast<std::size_t>(c.streams + c.history)]->Receive(kHang);
            EXPECT_EQ(StatusOf(told), "HTTP/1.1 503") << c.what;
            EXPECT_NE(told.find(c.text), std::string::npos) << c.what << ": " << told;
            EXPECT_NE(told.find("Retry-After: 5"), std::string::npos) << c.what;
            EXPECT_EQ(server_->Counters()->Of(ServerCounters::Refused::kDisplaced), 1u) << c.what;
        } else if (!c.text.empty()) {
            EXPECT_NE(got.find(c.text), std::string::npos) << c.what << ": " << got;
            EXPECT_NE(got.find("Retry-After: 5"), std::string::npos) << c.what;
        }
        const bool refused = StatusOf(got) == "HTTP/1.1 503" || c.idle > 0;
        EXPECT_EQ(server_->Counters()->Of(c.counted), refused ? 1u : 0u) << c.what;
        history.Release();
        server_->Stop();
    }
}

// The crowds that once shut out every scrape: idle connections, slow
// senders, connections reopened as fast as they are closed; from the
// scraper's own address or from many.  Every scrape is answered whole, and
// /metrics says what was turned away; how long a scrape took is printed as a
// figure (a loaded machine changes it).
TEST_F(Hostile, EveryScrapeIsAnsweredBesideAnyCrowd) {
    const struct {
        const char* what;
        int idle, slow;
        int addresses;  // the crowd's, from 127.0.0.first
        int first;
        bool reopen;
        int streams = 0;  // live pages opened from 127.0.0.first before the crowd
    } cases[] = {
        {"256 idle, 100 slow senders, the scraper's address", 256, 100, 1, 1, false},
        {"256 idle, 100 slow senders from 50 other addresses", 256, 100, 50, 2, false},
        {"256 idle, 100 slow senders from 50 addresses, the scraper's among them", 256, 100, 50, 1, false},
        {"300 held and reopened, the scraper's address", 300, 0, 1, 1, true},
        {"300 held and reopened from 50 other addresses", 300, 0, 50, 2, true},
        {"32 live pages and 300 idle, the scraper's address", 300, 0, 1, 1, false, 32},
    };
    for (const auto& c : cases) {
        if (server_) server_->Stop();
        Serve({});
        std::vector<std::unique_ptr<Raw>> crowd;
        const auto open = [&](int i) {
            auto r = std::make_unique<Raw>(port_, 0, c.first + i % c.addresses);
            if (i >= c.idle) r->Send(kHead);
            return r;
        };
        std::vector<std::unique_ptr<Raw>> live;
        for (int i = 0; i < c.streams; ++i) {
            live.push_back(std::make_unique<Raw>(port_, 0, c.first));
            live.back()->Send("GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n");
        }
        // Streaming before the crowd comes, not waiting for their requests.
        for (auto& l : live) ASSERT_NE(l->Receive(kHang, "retry:").find("retry:"), std::string::npos) << c.what;
        for (int i = 0; i < c.idle + c.slow; ++i) crowd.push_back(open(i));
        std::vector<double> ms;
        int reopened = 0;
        const auto end = Clock::now() + 3s;
        while (Clock::now() < end) {
            for (int i = 0; i < static_cast<int>(crowd.size()); ++i) {
                if (i >= c.idle) crowd[i]->Send("X-Slow: 1\r\n");
                if (c.reopen && crowd[i]->Answered()) {
                    crowd[i] = open(i);
                    ++reopened;
                }
            }
            ms.push_back(std::chrono::duration<double, std::milli>(Scrape()).count());
            std::this_thread::sleep_for(100ms);
        }
        std::sort(ms.begin(), ms.end());
        const auto metrics = probe::Get(port_, "/metrics");
        ASSERT_TRUE(metrics && metrics->status == 200) << c.what;
        EXPECT_EQ(metrics->body.find("bench_host_http_connections_refused_total{reason=\"displaced\"} 0\n"),
                  std::string::npos)
            << c.what;
        std::cout << "figure: /metrics beside " << c.what << (c.reopen ? " (" + std::to_string(reopened) + " reopened)" : "")
                  << ": " << ms.size() << " scrapes, median " << ms[ms.size() / 2] << " ms, slowest " << ms.back()
                  << " ms" << std::endl;
    }
}

// "localhost:P" reaches 127.0.0.1:P and [::1]:P alike, so a server on one
// keeps the other from any second server.
TEST(WebServerBind, ASecondServerOnATakenAddressFailsToStart) {
    const struct {
        const char* first;
        const char* second;
        const char* named;  // in the second's error
    } cases[] = {
        {"127.0.0.1", "127.0.0.1", "127.0.0.1:"},
        {"127.0.0.1", "::1", "[::1]:"},
        {"::1", "127.0.0.1", "127.0.0.1:"},
        {"localhost", "::1", "[::1]:"},
    };
    for (const auto& c : cases) {
        SnapshotHub hub;
        WebServer::Options o;
        o.live = &hub;
        o.host = c.first;
        WebServer first(o);
        first.Start();
        o.port = first.Port();
        o.host = c.second;
        WebServer second(o);
        try {
            second.Start();
            ADD_FAILURE() << "two servers on port " << o.port << ": " << c.first << ", " << c.second;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.named + std::to_string(o.port)), std::string::npos) << e.what();
        }
        // Served all the same.
        if (std::string(c.first) != "::1") {
            EXPECT_EQ(probe::Request(first.Port(), "/api/info", probe::http::verb::get, "localhost")->status, 200) << c.first;
        }
    }
}

}  // namespace
