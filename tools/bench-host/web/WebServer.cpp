#include "web/WebServer.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <chrono>
#include <functional>
#include <map>
#include <unordered_map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "basics/JsonLine.h"
#include "web/Admission.h"
#include "web/HttpText.h"
#include "web/Router.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

// How long a closed live page waits before it reconnects.
constexpr int kRetryMs = 1000;
// A live page gets at most this many snapshots a second: with eight devices
// polled at the wire's pace there are some 18 rounds a second, more than a
// person reads, and every one sent costs the machine the bus loop runs on.
// A round still shows within a second of completing.
constexpr auto kStreamPause = std::chrono::milliseconds(250);
// What the kernel holds for a live page that does not read: with it full,
// the write deadline runs and the page is dropped.
constexpr int kStreamSendBuffer = 64 * 1024;
// Refused connections still being told so; beyond, they are closed unanswered.
constexpr std::size_t kMaxRefusing = 64;
constexpr auto kRefusalTime = std::chrono::seconds(1);
constexpr int kRetryAfterS = Router::kRetryAfterS;
constexpr const char* kAllow = "GET, HEAD";

const char* const kJson = Router::kJson;

// Every response: scripts and styles only from the files this server
// serves, never inline; no framing; nothing sent elsewhere.
const std::pair<const char*, const char*> kDefaultHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
     "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
    {"Cross-Origin-Resource-Policy", "same-origin"},
    {"Cache-Control", "no-store"},
};

using Reply = Router::Reply;
Reply Fail(http::status status, const std::string& reason) {
    return Router::Fail(static_cast<unsigned>(status), reason);
}

template <class Body>
void AddDefaults(http::response<Body>& res) {
    for (const auto& [name, value] : kDefaultHeaders) res.set(name, value);
}

// A live stream's response head as sent, the blank line included, and the
// stream's first line: how long a closed page waits to reconnect.
std::string EventStreamHead(unsigned version) {
    http::response<http::empty_body> res{http::status::ok, version};
    AddDefaults(res);
    res.set(http::field::content_type, "text/event-stream");
    res.set("X-Accel-Buffering", "no");
    // The stream ends only when one side closes it.
    res.set(http::field::connection, "close");
    std::ostringstream os;
    os << res.base();
    return os.str() + "retry: " + std::to_string(kRetryMs) + "\n\n";
}

std::string RefusalText(const std::string& reason) {
    http::response<http::string_body> res{http::status::service_unavailable, 11};
    AddDefaults(res);
    res.set(http::field::content_type, kJson);
    res.set(http::field::retry_after, std::to_string(kRetryAfterS));
    res.set(http::field::connection, "close");
    res.body() = JsonLine().Str("error", reason).Text();
    res.prepare_payload();
    std::ostringstream os;
    os << res;
    return os.str();
}

using Refused = ServerCounters::Refused;
using Unavailable = ServerCounters::Unavailable;

// What a connection refused, or displaced, for want of room is told.
std::string FullText(Unavailable why, const WebServer::Options& o) {
    if (why == Unavailable::kAddressFull) {
        return "too many connections from one address at once (" + std::to_string(o.per_client) + ")";
    }
    return "too many connections open at once (" + std::to_string(o.connections) + ")";
}

// What a request that found no room for its use is told.
std::string BusyText(const Admission::Refusal& r, const WebServer::Options& o) {
    if (r.why == Unavailable::kLivePages) {
        return r.of_address ? "too many live pages open from one address at once (" + std::to_string(o.per_client) + ")"
                            : "too many live pages open at once (" + std::to_string(o.streams) + ")";
    }
    return r.of_address ? "too many pages served to one address at once (" +
                              std::to_string(o.per_client - o.kept_per_client) + "; the rest is kept for /metrics)"
                        : "too many pages served at once (" + std::to_string(o.connections - o.kept_for_metrics) +
                              "; the rest is kept for /metrics)";
}

Admission::Bounds BoundsOf(const WebServer::Options& o) {
    Admission::Bounds b;
    b.connections = o.connections;
    b.per_client = o.per_client;
    b.kept_for_metrics = o.kept_for_metrics;
    b.kept_per_client = o.kept_per_client;
    b.streams = o.streams;
    return b;
}

// The other loopback address, which "localhost" also names; none for any
// other address.
std::optional<net::ip::address> LoopbackSibling(const net::ip::address& a) {
    if (a == net::ip::address_v4::loopback()) return net::ip::address(net::ip::address_v6::loopback());
    if (a == net::ip::address_v6::loopback()) return net::ip::address(net::ip::address_v4::loopback());
    return std::nullopt;
}

std::string EndpointText(const tcp::endpoint& e) {
    const std::string host = e.address().to_string();
    return (e.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(e.port());
}

}  // namespace

std::pair<std::string, int> WebServer::ParseListen(const std::string& text) {
    std::string host = "127.0.0.1";
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) throw std::invalid_argument("expected [ADDRESS]:PORT, not \"" + text + "\"");
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            throw std::invalid_argument("an IPv6 address goes in brackets: [" + host + "]:" + port);
        }
    }
    if (host.empty()) throw std::invalid_argument("empty address in \"" + text + "\"");
    int value = -1;
    const auto res = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || res.ec != std::errc() || res.ptr != port.data() + port.size() || value < 0 || value > 65535) {
        throw std::invalid_argument("port must be a number in 0..65535, not \"" + port + "\"");
    }
    return {host, value};
}

bool WebServer::IsLoopback(const std::string& host) { return HttpText::IsLoopback(host); }


class WebServer::Impl {
public:
    Impl(const Options& options) : options_(options), admission_(BoundsOf(options)), pool_(2) {}

    class Connection;

    void Bind(int& port);
    void Run() { ioc_.run(); }
    void Accept();
    void Refuse(tcp::socket socket, Unavailable why);
    void Stop();

    // The snapshot's JSON (/api/live) and the live event carrying it, made
    // once per publication whatever the number of pages open.
    struct Cached {
        uint64_t version = 0;
        std::shared_ptr<const std::string> json;
        std::shared_ptr<const std::string> event;
    };
    Cached CachedOf(const SnapshotHub::Latest& latest);

    const Options options_;
    ServerCounters counters_;
    // Connection objects and refusals alive.
    std::atomic<std::size_t> open_{0};
    std::atomic<std::size_t> admitted_{0};
    // Who holds room, and the connections it names.
    Admission admission_;
    std::unordered_map<Admission::Id, Connection*> connections_;
    Admission::Id next_id_ = 0;
    std::size_t refusing_ = 0;
    std::atomic<std::size_t> jobs_{0};
    std::string refusal_full_;
    std::string refusal_address_;
    Cached cached_;
    std::mutex cached_mutex_;
    // Declared after what the connections count in: their handlers, and so
    // they, go when the loop does.
    net::io_context ioc_{1};
    tcp::acceptor acceptor_{ioc_};
    // The sibling loopback address at the same port, bound and never
    // listened on, so no other server takes it (see WebServer.h).
    tcp::acceptor sibling_{ioc_};
    net::steady_timer accept_pause_{ioc_};
    net::thread_pool pool_;
    std::thread thread_;
};

class WebServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
public:
    // Admitted already (Admission::Arrive) under id.
    Connection(Impl& server, tcp::socket socket, Admission::Id id)
        : server_(server), stream_(std::move(socket)), buffer_(kMaxHead + kMaxBody), timer_(stream_.get_executor()),
          id_(id) {
        ++server_.open_;
        server_.connections_[id_] = this;
    }
    ~Connection() {
        server_.admission_.Leave(id_);
        server_.connections_.erase(id_);
        if (refusing_) --server_.refusing_;
        --server_.open_;
    }

    void Read();
    // Gives up its slot to a newer connection: told 503 with the reason,
    // then closed.
    void Displace(Unavailable why);

private:
    void OnRead(beast::error_code ec);
    void OnDeadline();
    void Handle(const http::request<http::string_body>& req);
    void Send(Reply reply);
    void Close();
    void Serve(Router::Routed routed);
    void History(std::function<Reply()> job);
    void StartStream();
    void StreamTick();
    void StreamWrite(std::shared_ptr<const std::string> text);

    Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    net::steady_timer timer_;
    const Admission::Id id_;
    bool refusing_ = false;
    std::optional<Unavailable> displaced_;
    bool reading_ = false;
    bool timed_out_ = false;
    bool silent_ = false;
    bool served_ = false;  // a request answered on it already
    std::chrono::steady_clock::time_point first_byte_by_{};
    std::chrono::steady_clock::time_point whole_by_{};
    // The request being answered.
    unsigned version_ = 11;
    bool keep_alive_ = false;
    bool head_only_ = false;
    std::shared_ptr<http::response<http::string_body>> response_;
    // A live stream.
    uint64_t seen_ = 0;
    std::chrono::steady_clock::time_point written_at_{};
};

void WebServer::Impl::Connection::Read() {
    parser_.emplace();
    parser_->header_limit(kMaxHead);
    parser_->body_limit(kMaxBody);
    reading_ = true;
    timed_out_ = false;
    silent_ = false;
    stream_.expires_never();
    server_.admission_.Wait(id_);
    // The first byte within the idle limit, the whole request within the
    // deadline, however slowly its bytes come.
    const auto now = std::chrono::steady_clock::now();
    first_byte_by_ = now + std::chrono::milliseconds(server_.options_.idle_ms);
    whole_by_ = now + std::chrono::milliseconds(server_.options_.head_ms);
    timer_.expires_at(std::min(first_byte_by_, whole_by_));
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec && self->reading_) self->OnDeadline();
    });
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
}

void WebServer::Impl::Connection::OnDeadline() {
    const auto now = std::chrono::steady_clock::now();
    if (now >= whole_by_) {
        timed_out_ = true;
    } else if (now >= first_byte_by_ && !parser_->got_some() && buffer_.size() == 0) {
        silent_ = true;
    } else {
        timer_.expires_at(whole_by_);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec && self->reading_) self->OnDeadline();
        });
        return;
    }
    beast::error_code ignored;
    stream_.socket().cancel(ignored);
}

// Admission has given its room to the newcomer already.
void WebServer::Impl::Connection::Displace(Unavailable why) {
    displaced_ = why;
    server_.counters_.Count(Refused::kDisplaced);
    beast::error_code ignored;
    stream_.socket().cancel(ignored);
}

void WebServer::Impl::Connection::OnRead(beast::error_code ec) {
    reading_ = false;
    timer_.cancel();
    server_.admission_.Busy(id_);
    keep_alive_ = false;
    head_only_ = false;
    version_ = 11;
    if (displaced_) {
        // Told why only while the refusals being told stay within their bound.
        if (server_.refusing_ >= kMaxRefusing) return Close();
        ++server_.refusing_;
        refusing_ = true;
        server_.counters_.Count(*displaced_);
        Reply r = Fail(http::status::service_unavailable, FullText(*displaced_, server_.options_));
        r.close = true;
        return Send(std::move(r));
    }
    if (silent_) {
        // An idle keep-alive connection closing is no refusal.
        if (!served_) server_.counters_.Count(Refused::kSentNothing);
        return Close();
    }
    if (timed_out_) {
        // Only a client that began a request is told; an idle keep-alive
        // connection just closes.
        if (!parser_->got_some()) return Close();
        return Send(Fail(http::status::request_timeout, "the request did not arrive within " +
                                                            std::to_string(server_.options_.head_ms) + " ms"));
    }
    if (ec == http::error::header_limit) {
        return Send(Fail(http::status::request_header_fields_too_large,
                         "the request head is larger than " + std::to_string(kMaxHead) + " bytes"));
    }
    if (ec == http::error::body_limit) {
        return Send(Fail(http::status::payload_too_large,
                         "a request body is at most " + std::to_string(kMaxBody) + " bytes"));
    }
    if (ec == net::error::operation_aborted || ec == beast::error::timeout) return Close();
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message) {
        return Send(Fail(http::status::bad_request, "malformed request: " + ec.message()));
    }
    if (ec) return Close();
    Handle(parser_->get());
}

void WebServer::Impl::Connection::Handle(const http::request<http::string_body>& req) {
    served_ = true;
    version_ = req.version();
    keep_alive_ = req.keep_alive();
    head_only_ = req.method() == http::verb::head;
    if (static_cast<std::size_t>(std::distance(req.begin(), req.end())) > kMaxHeaderLines) {
        keep_alive_ = false;
        return Send(Fail(http::status::request_header_fields_too_large,
                         "a request has at most " + std::to_string(kMaxHeaderLines) + " header lines"));
    }
    if (req.method() != http::verb::get && !head_only_) {
        Reply r = Fail(http::status::method_not_allowed, "this server only reads: " + std::string(kAllow));
        r.headers.emplace_back("Allow", kAllow);
        return Send(std::move(r));
    }
    // One Host header, no more, no fewer: with two, a proxy and this server
    // could each read another.
    const auto hosts = req.count(http::field::host);
    if (hosts != 1) {
        keep_alive_ = false;
        return Send(Fail(http::status::bad_request,
                         "a request names its server in one Host header, not " + std::to_string(hosts)));
    }
    const auto target = HttpText::ParseTarget(std::string(req.target()));
    if (!target) return Send(Fail(http::status::bad_request, "malformed address: " + std::string(req.target())));
    // An absolute-form target names the server itself, and then it is what
    // counts, not the Host header.
    const std::string host =
        target->authority.empty() ? req.find(http::field::host)->value().to_string() : target->authority;
    if (!HttpText::HostAllowed(host, server_.options_.host, server_.acceptor_.local_endpoint().port())) {
        keep_alive_ = false;
        return Send(Fail(http::status::misdirected_request,
                         "this server answers only requests for its own address, not " + host));
    }
    try {
        Router::Site site;
        site.live = server_.options_.live;
        site.history = server_.options_.history;
        site.live_json = [this](const SnapshotHub::Latest& latest) { return server_.CachedOf(latest).json; };
        site.server_metrics = [this] { return server_.counters_.Metrics(server_.open_); };
        site.now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
        Serve(Router::Route(Router::Request{target->path, target->params, head_only_}, site));
    } catch (const std::exception& e) {
        Send(Fail(http::status::internal_server_error, e.what()));
    }
}

void WebServer::Impl::Connection::Serve(Router::Routed routed) {
    if (routed.counted) server_.counters_.Count(*routed.counted);
    if (const auto refused = server_.admission_.Take(id_, routed.use)) {
        server_.counters_.Count(refused->why);
        Reply r = Fail(http::status::service_unavailable, BusyText(*refused, server_.options_));
        r.close = true;
        return Send(std::move(r));
    }
    ++server_.admitted_;
    switch (routed.kind) {
        case Router::Routed::Kind::kReply: return Send(std::move(routed.reply));
        case Router::Routed::Kind::kHistory: return History(std::move(routed.job));
        case Router::Routed::Kind::kStream: return StartStream();
    }
}

void WebServer::Impl::Connection::Send(Reply reply) {
    const auto status = static_cast<http::status>(reply.status);
    auto res = std::make_shared<http::response<http::string_body>>(status, version_);
    AddDefaults(*res);
    res->set(http::field::content_type, reply.type);
    for (const auto& [name, value] : reply.headers) res->set(name, value);
    const bool keep = keep_alive_ && !reply.close && reply.status < 400;
    res->keep_alive(keep);
    if (head_only_) {
        res->content_length(reply.body.size());
    } else {
        res->body() = std::move(reply.body);
        res->prepare_payload();
    }
    response_ = res;
    stream_.expires_after(std::chrono::milliseconds(server_.options_.write_ms));
    http::async_write(stream_, *res, [self = shared_from_this(), keep](beast::error_code ec, std::size_t) {
        self->response_.reset();
        self->server_.admission_.Answered(self->id_);
        if (ec) return self->Close();
        if (!keep) return self->Close();
        self->Read();
    });
}

void WebServer::Impl::Connection::Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
}

void WebServer::Impl::Connection::History(std::function<Reply()> job) {
    if (server_.jobs_.fetch_add(1) >= server_.options_.history_jobs) {
        --server_.jobs_;
        server_.counters_.Count(Unavailable::kHistoryQueries);
        return Send(Fail(http::status::service_unavailable, "too many history queries at once (" +
                                                                std::to_string(server_.options_.history_jobs) + ")"));
    }
    net::post(server_.pool_, [self = shared_from_this(), job = std::move(job)]() mutable {
        Reply r;
        try {
            r = job();
        } catch (const std::exception& e) {
            r = Fail(http::status::internal_server_error, e.what());
        }
        --self->server_.jobs_;
        // The connection goes back to the server's thread with the reply, and
        // the query's thread keeps no share of it: were the reply sent and the
        // connection closed before this thread let go, the last share would
        // end here and the connection's end would change the server's counts
        // and lists on this thread while the server's thread uses them.
        const auto server_thread = self->stream_.get_executor();
        net::post(server_thread, [self = std::move(self), r = std::move(r)]() mutable { self->Send(std::move(r)); });
    });
}

// Admission has moved it to the streams' room.
void WebServer::Impl::Connection::StartStream() {
    beast::error_code ignored;
    stream_.socket().set_option(net::socket_base::send_buffer_size(kStreamSendBuffer), ignored);
    StreamWrite(std::make_shared<const std::string>(EventStreamHead(version_)));
}

void WebServer::Impl::Connection::StreamWrite(std::shared_ptr<const std::string> text) {
    written_at_ = std::chrono::steady_clock::now();
    stream_.expires_after(std::chrono::milliseconds(server_.options_.write_ms));
    net::async_write(stream_, net::buffer(*text), [self = shared_from_this(), text](beast::error_code ec, std::size_t) {
        if (ec) return self->Close();
        self->stream_.expires_never();
        self->StreamTick();
    });
}

void WebServer::Impl::Connection::StreamTick() {
    // At most one snapshot per pause; the newest one, skipping those the
    // page had no time for.
    timer_.expires_after(kStreamPause);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (ec) return;
        const auto latest = self->server_.options_.live->Get();
        if (latest.snapshot && latest.version > self->seen_) {
            self->seen_ = latest.version;
            return self->StreamWrite(self->server_.CachedOf(latest).event);
        }
        if (std::chrono::steady_clock::now() - self->written_at_ >=
            std::chrono::milliseconds(self->server_.options_.heartbeat_ms)) {
            static const auto quiet = std::make_shared<const std::string>(": quiet\n\n");
            return self->StreamWrite(quiet);
        }
        self->StreamTick();
    });
}

WebServer::Impl::Cached WebServer::Impl::CachedOf(const SnapshotHub::Latest& latest) {
    std::lock_guard<std::mutex> lock(cached_mutex_);
    if (cached_.version != latest.version || !cached_.json) {
        auto json = std::make_shared<const std::string>(latest.snapshot->ToJson(latest.version));
        cached_.event = std::make_shared<const std::string>("event: snapshot\ndata: " + *json + "\n\n");
        cached_.json = std::move(json);
        cached_.version = latest.version;
    }
    return cached_;
}

void WebServer::Impl::Bind(int& port) {
    beast::error_code ec;
    auto address = net::ip::make_address(options_.host == "localhost" ? "127.0.0.1" : options_.host, ec);
    if (ec) {
        // A name (the one scrapers and browsers will use, and so the one the
        // Host header is checked against): its first address.
        tcp::resolver resolver(ioc_);
        const auto found = resolver.resolve(options_.host, std::to_string(options_.port), ec);
        if (ec || found.empty()) {
            throw std::runtime_error("cannot serve the web page on " + options_.host + ": " +
                                     (ec ? ec.message() : std::string("no address")));
        }
        address = found.begin()->endpoint().address();
    }
    const auto fail = [this](const std::string& why) {
        const bool v6 = options_.host.find(':') != std::string::npos;
        return std::runtime_error("cannot serve the web page on " + (v6 ? "[" + options_.host + "]" : options_.host) +
                                  ":" + std::to_string(options_.port) + ": " + why);
    };
    const auto sibling = LoopbackSibling(address);
    // With any free port asked for, one whose sibling is taken is passed over.
    for (int attempt = 0;; ++attempt) {
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(options_.port));
        acceptor_.open(endpoint.protocol(), ec);
        // SO_REUSEADDR lets a restarted server take its port while old
        // connections linger; on Linux it never lets two listen on one address.
        // SO_REUSEPORT, which would, is never set.
        if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec && address.is_v6()) acceptor_.set_option(net::ip::v6_only(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (ec) throw fail(ec.message());
        if (!sibling) break;
        // Without SO_REUSEADDR, so that a server asking for it is refused too.
        const tcp::endpoint other(*sibling, acceptor_.local_endpoint().port());
        sibling_.open(other.protocol(), ec);
        if (!ec && other.address().is_v6()) sibling_.set_option(net::ip::v6_only(true), ec);
        if (!ec) sibling_.bind(other, ec);
        if (!ec) break;
        beast::error_code ignored;
        sibling_.close(ignored);
        // A machine without that family has nothing to take it.
        if (ec != net::error::address_in_use) break;
        acceptor_.close(ignored);
        if (options_.port != 0 || attempt == 8) {
            throw fail(EndpointText(other) + " is taken by another server (another bench-host?), and localhost:" +
                       std::to_string(other.port()) + " would reach either");
        }
    }
    refusal_full_ = RefusalText(FullText(Unavailable::kServerFull, options_));
    refusal_address_ = RefusalText(FullText(Unavailable::kAddressFull, options_));
    port = acceptor_.local_endpoint().port();
}

void WebServer::Impl::Accept() {
    acceptor_.async_accept(ioc_, [this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly rather than
            // spin or stop serving.
            accept_pause_.expires_after(std::chrono::milliseconds(100));
            accept_pause_.async_wait([this](beast::error_code e) {
                if (!e) Accept();
            });
            return;
        }
        beast::error_code ignored;
        const auto address = socket.remote_endpoint(ignored).address();
        const Admission::Id id = ++next_id_;
        const auto arrival = admission_.Arrive(id, address.to_string());
        if (arrival.kind == Admission::Arrival::Kind::kRefused) {
            Refuse(std::move(socket), arrival.why);
            return Accept();
        }
        if (arrival.kind == Admission::Arrival::Kind::kDisplacing) {
            connections_.at(arrival.displaced)->Displace(arrival.why);
        }
        std::make_shared<Connection>(*this, std::move(socket), id)->Read();
        Accept();
    });
}

namespace {

// A connection beyond the cap: told so at once, given a moment to read it,
// then closed, with no wait for the client's request (which would hold the
// slot).  Whatever the client sent is drained until it closes or the moment
// is over, so the refusal is not lost to a reset.
class Refusal : public std::enable_shared_from_this<Refusal> {
public:
    Refusal(tcp::socket socket, std::function<void()> done) : stream_(std::move(socket)), done_(std::move(done)) {}
    ~Refusal() { done_(); }

    void Start(const std::string& text) {
        stream_.expires_after(kRefusalTime);
        net::async_write(stream_, net::buffer(text), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return;
            beast::error_code ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            self->Drain();
        });
    }

private:
    void Drain() {
        stream_.async_read_some(net::buffer(sink_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec) self->Drain();
        });
    }

    beast::tcp_stream stream_;
    std::function<void()> done_;
    char sink_[512];
};

}  // namespace

void WebServer::Impl::Refuse(tcp::socket socket, Unavailable why) {
    counters_.Count(why == Unavailable::kAddressFull ? Refused::kAddressFull : Refused::kServerFull);
    if (refusing_ >= kMaxRefusing) return;  // closed unanswered
    counters_.Count(why);
    ++refusing_;
    ++open_;
    std::make_shared<Refusal>(std::move(socket), [this] {
        --refusing_;
        --open_;
    })->Start(why == Unavailable::kAddressFull ? refusal_address_ : refusal_full_);
}

void WebServer::Impl::Stop() {
    net::post(ioc_, [this] {
        beast::error_code ignored;
        acceptor_.close(ignored);
        sibling_.close(ignored);
    });
    ioc_.stop();
    if (thread_.joinable()) thread_.join();
    pool_.join();
}

WebServer::WebServer(Options options) : options_(std::move(options)) {}

WebServer::~WebServer() { Stop(); }

std::string WebServer::Url() const {
    const bool v6 = options_.host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port_) + "/";
}

std::string WebServer::Warning() const {
    if (IsLoopback(options_.host)) return "";
    return "the web page at " + Url() + " has no authentication: anyone who can reach " + options_.host +
           " can read it";
}

void WebServer::Start() {
    if (impl_) return;
    auto impl = std::make_unique<Impl>(options_);
    impl->Bind(port_);
    impl->Accept();
    impl_ = std::move(impl);
    impl_->thread_ = std::thread([this] { impl_->Run(); });
}

void WebServer::Stop() {
    if (!impl_) return;
    if (options_.live) options_.live->Wake();
    impl_->Stop();
    impl_.reset();
}

std::size_t WebServer::OpenConnections() const { return impl_ ? impl_->open_.load() : 0; }

std::size_t WebServer::Admitted() const { return impl_ ? impl_->admitted_.load() : 0; }

const ServerCounters* WebServer::Counters() const { return impl_ ? &impl_->counters_ : nullptr; }
