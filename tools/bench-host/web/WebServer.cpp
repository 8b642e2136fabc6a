#include "WebServer.h"

#include <charconv>
#include <chrono>
#include <stdexcept>

#include <httplib.h>

#include "BoundedTaskQueue.h"
#include "HistoryFormat.h"
#include "HistoryQuery.h"
#include "HistoryRequest.h"
#include "JsonLine.h"
#include "MetricsFormat.h"
#include "SnapshotHub.h"
#include "WebAssets.h"

namespace {

// Requests are GETs: no body is expected, headers and the URI are bounded
// by the library (8 KiB each).
constexpr std::size_t kMaxBody = 1024;
constexpr time_t kReadTimeoutS = 5;
constexpr time_t kWriteTimeoutS = 5;
constexpr time_t kKeepAliveS = 2;
constexpr std::size_t kKeepAliveRequests = 100;
// How long a closed live page waits before it reconnects.
constexpr int kRetryMs = 1000;
// A live page gets at most this many snapshots a second: with eight devices
// polled at the wire's pace there are some 18 rounds a second, more than a
// person reads, and every one sent costs the machine the bus loop runs on.
// A round still shows within a second of completing.
constexpr auto kStreamPause = std::chrono::milliseconds(250);

const char* const kJson = "application/json; charset=utf-8";

void Fail(httplib::Response& res, int status, const std::string& reason) {
    res.status = status;
    res.set_content(JsonLine().Str("error", reason).Text(), kJson);
}

std::string SseEvent(const std::string& json) { return "event: snapshot\ndata: " + json + "\n\n"; }

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

bool WebServer::IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

WebServer::WebServer(Options options) : options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {}

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
    auto& s = *server_;
    const std::size_t threads = options_.threads, queued = options_.queued;
    s.new_task_queue = [threads, queued] { return new BoundedTaskQueue(threads, queued); };
    s.set_payload_max_length(kMaxBody);
    s.set_read_timeout(kReadTimeoutS);
    s.set_write_timeout(kWriteTimeoutS);
    s.set_keep_alive_timeout(kKeepAliveS);
    s.set_keep_alive_max_count(kKeepAliveRequests);
    // Every response: scripts and styles only from the files this server
    // serves, never inline; no framing; nothing sent elsewhere.
    s.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    });
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        Fail(res, res.status, res.status == 404 ? "no such page: " + req.path
                                                : "request refused (" + std::to_string(res.status) + ")");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        Fail(res, 500, what);
    });
    Routes();

    port_ = options_.port == 0 ? s.bind_to_any_port(options_.host)
                               : (s.bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port_ < 0) {
        throw std::runtime_error("cannot serve the web page on " + options_.host + ":" +
                                 std::to_string(options_.port) + " (address in use or not this machine's)");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop() before listening has begun would be lost; wait for it.
    while (!s.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::shared_ptr<const std::string> WebServer::JsonOf(const SnapshotHub::Latest& latest) {
    // Made once per publication, whatever the number of pages open; the
    // others wait for it here, never the run.
    std::lock_guard<std::mutex> lock(json_mutex_);
    if (json_version_ != latest.version || !json_) {
        json_ = std::make_shared<const std::string>(latest.snapshot->ToJson(latest.version));
        json_version_ = latest.version;
    }
    return json_;
}

void WebServer::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    if (options_.live) options_.live->Wake();
    server_->stop();
    thread_.join();
}

void WebServer::Routes() {
    auto& s = *server_;
    SnapshotHub* const live = options_.live;
    HistoryQuery* const history = options_.history;

    const auto asset = [](const std::string& name) {
        return [name](const httplib::Request&, httplib::Response& res) {
            const WebAsset* a = WebAssets::Find(name);
            if (!a) return Fail(res, 404, "no such file: " + name);
            res.set_content(std::string(a->Body()), std::string(a->content_type));
        };
    };
    s.Get("/", asset(live ? "live.html" : "history.html"));
    s.Get("/history", asset("history.html"));
    // Browsers ask for it unbidden; no icon is no error.
    s.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    s.Get(R"(/assets/([A-Za-z0-9_.-]+))", [](const httplib::Request& req, httplib::Response& res) {
        const WebAsset* a = WebAssets::Find(req.matches[1].str());
        if (!a) return Fail(res, 404, "no such file: " + req.path);
        res.set_content(std::string(a->Body()), std::string(a->content_type));
    });
    // What the pages need to know about this server: whether the live part
    // runs, whether there is a history to read.
    s.Get("/api/info", [live, history](const httplib::Request&, httplib::Response& res) {
        res.set_content(JsonLine().Bool("live", live != nullptr).Bool("history", history != nullptr).Text(), kJson);
    });

    if (live) {
        s.Get("/api/live", [this, live](const httplib::Request&, httplib::Response& res) {
            const auto latest = live->Get();
            if (!latest.snapshot) return Fail(res, 503, "the run has not started its devices yet");
            res.set_content(*JsonOf(latest), kJson);
        });
        s.Get("/metrics", [live](const httplib::Request&, httplib::Response& res) {
            const auto latest = live->Get();
            if (!latest.snapshot) return Fail(res, 503, "the run has not started its devices yet");
            res.set_content(MetricsFormat::Render(*latest.snapshot), MetricsFormat::kContentType);
        });
        s.Get("/api/events", [this, live](const httplib::Request&, httplib::Response& res) {
            if (streams_.fetch_add(1) >= options_.streams) {
                streams_.fetch_sub(1);
                return Fail(res, 503, "too many live pages open at once (" + std::to_string(options_.streams) + ")");
            }
            const auto heartbeat = std::chrono::milliseconds(options_.heartbeat_ms);
            auto seen = std::make_shared<uint64_t>(0);
            auto sent_at = std::make_shared<std::chrono::steady_clock::time_point>();
            res.set_header("X-Accel-Buffering", "no");
            res.set_chunked_content_provider(
                "text/event-stream",
                [this, live, heartbeat, seen, sent_at](size_t offset, httplib::DataSink& sink) {
                    if (offset == 0) {
                        const std::string retry = "retry: " + std::to_string(kRetryMs) + "\n\n";
                        if (!sink.write(retry.data(), retry.size())) return false;
                    }
                    const auto next = *sent_at + kStreamPause;
                    if (std::chrono::steady_clock::now() < next) std::this_thread::sleep_until(next);
                    const auto latest = live->WaitNewer(*seen, heartbeat, stopping_);
                    if (stopping_) {
                        sink.done();
                        return true;
                    }
                    std::string text;
                    if (latest.version > *seen && latest.snapshot) {
                        text = SseEvent(*JsonOf(latest));
                        *seen = latest.version;
                        *sent_at = std::chrono::steady_clock::now();
                    } else {
                        text = ": quiet\n\n";
                    }
                    return sink.write(text.data(), text.size());
                },
                [this](bool) { streams_.fetch_sub(1); });
        });
    }

    if (history) {
        const auto series = [history](bool csv) {
            return [history, csv](const httplib::Request& req, httplib::Response& res) {
                HistoryRequest r;
                try {
                    r = HistoryRequest::Parse(req.params, HistoryRequest::Endpoint::kSeries);
                } catch (const HistoryRequest::Error& e) {
                    return Fail(res, 400, e.what());
                }
                const auto data = history->Downsample(r.series);
                if (csv) {
                    res.set_header("Content-Disposition", "attachment; filename=\"device-" +
                                                              std::to_string(r.series.device) + ".csv\"");
                    res.set_content(HistoryFormat::SeriesCsv(r.series, data), "text/csv; charset=utf-8");
                } else {
                    res.set_content(HistoryFormat::SeriesJson(r.series, data), kJson);
                }
            };
        };
        s.Get("/api/history", series(false));
        s.Get("/api/history.csv", series(true));
        s.Get("/api/alarms", [history](const httplib::Request& req, httplib::Response& res) {
            HistoryRequest r;
            try {
                r = HistoryRequest::Parse(req.params, HistoryRequest::Endpoint::kAlarms);
            } catch (const HistoryRequest::Error& e) {
                return Fail(res, 400, e.what());
            }
            const std::optional<uint32_t> device =
                r.has_device ? std::optional<uint32_t>(r.series.device) : std::nullopt;
            // One more than the limit tells whether the list was cut.
            auto alarms = history->Alarms(device, r.series.range, r.limit + 1);
            const bool truncated = alarms.size() > r.limit;
            if (truncated) alarms.resize(r.limit);
            res.set_content(HistoryFormat::AlarmsJson(alarms, truncated), kJson);
        });
        s.Get("/api/devices", [history](const httplib::Request&, httplib::Response& res) {
            res.set_content(HistoryFormat::DevicesJson(history->Devices()), kJson);
        });
    }
}
