#include "web/Router.h"

#include <regex>

#include "basics/JsonLine.h"
#include "web/HistoryFormat.h"
#include "web/HistoryQuery.h"
#include "web/HistoryRequest.h"
#include "web/HttpText.h"
#include "web/MetricsFormat.h"
#include "web/WebAssets.h"

namespace {

constexpr unsigned kOk = 200;
constexpr unsigned kNoContent = 204;
constexpr unsigned kBadRequest = 400;
constexpr unsigned kNotFound = 404;
constexpr unsigned kUnavailable = 503;

using Reply = Router::Reply;
using Routed = Router::Routed;

Routed Replied(Reply reply, Admission::Use use = Admission::Use::kPage) {
    Routed r;
    r.reply = std::move(reply);
    r.use = use;
    return r;
}

Routed Job(std::function<Reply()> job) {
    Routed r;
    r.kind = Routed::Kind::kHistory;
    r.job = std::move(job);
    return r;
}

Reply Asset(const std::string& name) {
    const WebAsset* a = WebAssets::Find(name);
    if (!a) return Router::Fail(kNotFound, "no such file: " + name);
    return Reply{kOk, std::string(a->content_type), std::string(a->Body()), {}, false};
}

}  // namespace

Reply Router::Fail(unsigned status, const std::string& reason) {
    Reply r{status, kJson, JsonLine().Str("error", HttpText::Printable(reason)).Text(), {}, false};
    if (status == kUnavailable) r.headers.emplace_back("Retry-After", std::to_string(kRetryAfterS));
    return r;
}

Reply Router::Json(std::string body) { return Reply{kOk, kJson, std::move(body), {}, false}; }

Routed Router::Route(const Request& request, const Site& site) {
    const std::string& path = request.path;
    SnapshotHub* const live = site.live;
    HistoryQuery* const history = site.history;
    static const std::regex kAsset(R"(/assets/([A-Za-z0-9_.-]+))");
    std::smatch m;
    if (path == "/") return Replied(Asset(live ? "live.html" : "history.html"));
    if (path == "/history") return Replied(Asset("history.html"));
    // Browsers ask for it unbidden; no icon is no error.
    if (path == "/favicon.ico") return Replied(Reply{kNoContent, "text/plain", "", {}, false});
    if (std::regex_match(path, m, kAsset)) return Replied(Asset(m[1].str()));
    // What the pages need to know about this server: whether the live part
    // runs, whether there is a history to read.
    if (path == "/api/info") {
        return Replied(Json(JsonLine().Bool("live", live != nullptr).Bool("history", history != nullptr).Text()));
    }
    const bool scrape = path == "/metrics";
    if (live && (path == "/api/live" || scrape || path == "/api/events")) {
        const auto use = scrape ? Admission::Use::kScrape : Admission::Use::kPage;
        const auto latest = live->Get();
        if (!latest.snapshot) {
            Routed r = Replied(Fail(kUnavailable, "the run has not started its devices yet"), use);
            r.counted = ServerCounters::Unavailable::kNotStarted;
            return r;
        }
        if (path == "/api/live") return Replied(Json(*site.live_json(latest)));
        if (scrape) {
            std::string body = MetricsFormat::Render(*latest.snapshot, site.now_ms);
            if (site.server_metrics) body += site.server_metrics();
            return Replied(Reply{kOk, MetricsFormat::kContentType, std::move(body), {}, false}, use);
        }
        // HEAD learns what a stream would be without holding one open.
        if (request.head_only) return Replied(Reply{kOk, "text/event-stream", "", {}, false});
        Routed r;
        r.kind = Routed::Kind::kStream;
        r.use = Admission::Use::kStream;
        return r;
    }
    if (history && (path == "/api/history" || path == "/api/history.csv")) {
        const bool csv = path == "/api/history.csv";
        HistoryRequest r;
        try {
            r = HistoryRequest::Parse(request.params, HistoryRequest::Endpoint::kSeries);
        } catch (const HistoryRequest::Error& e) {
            return Replied(Fail(kBadRequest, e.what()));
        }
        return Job([history, csv, r] {
            const auto data = history->Downsample(r.series);
            if (!csv) return Json(HistoryFormat::SeriesJson(r.series, data));
            Reply reply{kOk, "text/csv; charset=utf-8", HistoryFormat::SeriesCsv(r.series, data), {}, false};
            reply.headers.emplace_back("Content-Disposition",
                                       "attachment; filename=\"device-" + std::to_string(r.series.device) + ".csv\"");
            return reply;
        });
    }
    if (history && path == "/api/alarms") {
        HistoryRequest r;
        try {
            r = HistoryRequest::Parse(request.params, HistoryRequest::Endpoint::kAlarms);
        } catch (const HistoryRequest::Error& e) {
            return Replied(Fail(kBadRequest, e.what()));
        }
        return Job([history, r] {
            const std::optional<uint32_t> device =
                r.has_device ? std::optional<uint32_t>(r.series.device) : std::nullopt;
            // One more than the limit tells whether the list was cut.
            auto alarms = history->Alarms(device, r.series.range, r.limit + 1);
            const bool truncated = alarms.size() > r.limit;
            if (truncated) alarms.resize(r.limit);
            return Json(HistoryFormat::AlarmsJson(alarms, truncated));
        });
    }
    if (history && path == "/api/devices") {
        return Job([history] { return Json(HistoryFormat::DevicesJson(history->Devices())); });
    }
    return Replied(Fail(kNotFound, "no such page: " + path));
}
