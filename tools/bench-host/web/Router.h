#pragma once
// What a request's path asks of the web server, decided without a socket:
// a reply made at once (a page's file, /api/live, /metrics, an error), a
// live stream to start, or a history query to run on a worker thread.
// Which room of the server it uses (Admission) follows from the same
// decision: /metrics is a scrape, a live stream a stream, the rest pages.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "web/Admission.h"
#include "web/ServerCounters.h"
#include "web/SnapshotHub.h"

class HistoryQuery;

class Router {
public:
    struct Reply {
        unsigned status = 200;
        std::string type;
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
        bool close = false;  // the connection closes after it
    };

    struct Request {
        std::string path;
        std::multimap<std::string, std::string> params;
        bool head_only = false;
    };

    // What the server has to answer with.
    struct Site {
        SnapshotHub* live = nullptr;       // none: the history page alone
        HistoryQuery* history = nullptr;   // none: no history endpoints
        // The snapshot's JSON, made once per publication for every page.
        std::function<std::shared_ptr<const std::string>(const SnapshotHub::Latest&)> live_json;
        // The server's own families of /metrics (what it turned away).
        std::function<std::string()> server_metrics;
        int64_t now_ms = 0;  // when the request is answered (ages count to it)
    };

    struct Routed {
        enum class Kind { kReply, kStream, kHistory } kind = Kind::kReply;
        Admission::Use use = Admission::Use::kPage;
        Reply reply;                          // kReply
        std::function<Reply()> job;           // kHistory: run off the server's loop
        std::optional<ServerCounters::Unavailable> counted;  // a 503 to count
    };

    static Routed Route(const Request& request, const Site& site);

    static constexpr const char* kJson = "application/json; charset=utf-8";
    static constexpr int kRetryAfterS = 5;
    // {"error": reason} with the status; a 503 says when to come back.
    static Reply Fail(unsigned status, const std::string& reason);
    static Reply Json(std::string body);
};
