// The web server against clients that break the rules: heads that never
// end, senders that trickle, pages that never read, more connections than
// it takes.  Whatever they do, memory stays put, the bounds answer with
// their status, and /metrics and a new page keep working.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "CannedSnapshot.h"
#include "HttpProbe.h"
#include "web/SnapshotHub.h"
#include "web/WebServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long RssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A raw connection, for clients no library would be.
class Raw {
public:
    explicit Raw(int port, int rcvbuf = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
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
    // What arrives within the time, until the server closes.
    std::string Receive(std::chrono::milliseconds within) {
        std::string got;
        const auto end = Clock::now() + within;
        char buf[4096];
        while (Clock::now() < end) {
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
        {"no Host", "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 421"},
    };
    for (const auto& c : cases) {
        Raw r(port_);
        ASSERT_TRUE(r.Ok());
        r.Send(c.request);
        const std::string got = r.Receive(2s);
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
    for (int i = 0; i < 100 && server_->OpenConnections() != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server_->OpenConnections(), 0u);
}

TEST_F(Hostile, SlowSendersLeaveMetricsAnswering) {
    WebServer::Options o;
    o.head_ms = 3000;
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
    std::sort(ms.begin(), ms.end());
    EXPECT_LT(ms[ms.size() / 2], 100.0) << "median of " << ms.size() << " scrapes";
    std::cout << "figure: /metrics beside 100 slow senders, " << ms.size() << " scrapes, median " << ms[ms.size() / 2]
              << " ms, slowest " << ms.back() << " ms" << std::endl;
    EXPECT_LT(ms.back(), 1000.0);
    // Past their deadline they are told and closed.
    EXPECT_EQ(StatusOf(slow.front()->Receive(3s)), "HTTP/1.1 408");
}

TEST_F(Hostile, PagesThatNeverReadAreDroppedAndANewPageWorks) {
    WebServer::Options o;
    o.write_ms = 500;
    Serve(o);
    // 300 pages ask for the live stream and never read a byte of it.
    std::vector<std::unique_ptr<Raw>> stalled;
    for (int i = 0; i < 300; ++i) {
        stalled.push_back(std::make_unique<Raw>(port_, 4096));
        ASSERT_TRUE(stalled.back()->Ok()) << i;
        stalled.back()->Send("GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }
    std::atomic<bool> stop{false};
    std::thread publisher([&] {
        while (!stop) {
            hub_.Publish(canned::Site());
            std::this_thread::sleep_for(20ms);
        }
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(server_->OpenConnections(), o.connections);

    // A new page: its files, the snapshot, and the stream or a reason.
    for (const char* path : {"/", "/assets/live.js", "/api/live"}) {
        const auto res = probe::Get(port_, path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
    }
    const auto stream = probe::Get(port_, "/api/events");
    // Busy: refused at once with the reason and when to come back.
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->status, 503);
    EXPECT_NE(stream->body.find("too many live pages"), std::string::npos) << stream->body;
    EXPECT_EQ(stream->Header("Retry-After"), "5");

    // The pages that stopped reading are dropped once their data stops going out.
    const auto dropping = Clock::now();
    const auto deadline = dropping + 30s;
    while (server_->OpenConnections() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
    std::cout << "figure: 300 pages that never read, all dropped within "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - dropping).count() << " ms"
              << std::endl;
    EXPECT_EQ(server_->OpenConnections(), 0u);
    int seen = 0;
    EXPECT_EQ(probe::ReadEvents(port_, [&](const std::string&) { return ++seen < 2; }), 200);
    stop = true;
    publisher.join();
}

TEST_F(Hostile, ConnectionsBeyondTheCapAreRefusedAtOnce) {
    WebServer::Options o;
    o.connections = 8;
    o.head_ms = 1000;
    Serve(o);
    std::vector<std::unique_ptr<Raw>> idle;
    for (int i = 0; i < 8; ++i) idle.push_back(std::make_unique<Raw>(port_));
    for (int i = 0; i < 50 && server_->OpenConnections() < 8; ++i) std::this_thread::sleep_for(10ms);
    const auto start = Clock::now();
    Raw extra(port_);
    extra.Send(kHead + "\r\n");
    const std::string got = extra.Receive(2s);
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_EQ(StatusOf(got), "HTTP/1.1 503");
    EXPECT_NE(got.find("Retry-After: 5"), std::string::npos);
    EXPECT_NE(got.find("too many connections open at once (8)"), std::string::npos);
    // Once the idle ones are gone, there is room again.
    idle.clear();
    for (int i = 0; i < 100 && server_->OpenConnections() > 0; ++i) std::this_thread::sleep_for(10ms);
    Scrape();
}

TEST(WebServerBind, ASecondServerOnATakenAddressFailsToStart) {
    SnapshotHub hub;
    WebServer::Options o;
    o.live = &hub;
    WebServer first(o);
    first.Start();
    o.port = first.Port();
    WebServer second(o);
    try {
        second.Start();
        ADD_FAILURE() << "two servers on port " << o.port;
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(o.port)), std::string::npos) << e.what();
    }
}

}  // namespace
