// Who gets room in the web server, and what a request asks of it, without a
// socket: the crowds that shut scrapes out replayed step by step, and the
// paths routed to a reply, a stream or a history query.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "CannedSnapshot.h"
#include "web/Admission.h"
#include "web/HistoryQuery.h"
#include "web/HttpText.h"
#include "web/Router.h"
#include "web/SnapshotHub.h"

namespace {

using Use = Admission::Use;
using U = ServerCounters::Unavailable;

std::string Name(U why) {
    switch (why) {
        case U::kServerFull: return "server full";
        case U::kAddressFull: return "address full";
        case U::kPagesBusy: return "pages busy";
        case U::kLivePages: return "live pages";
        case U::kHistoryQueries: return "history queries";
        case U::kNotStarted: return "not started";
    }
    return "?";
}

// One step of a crowd: "arrive", "wait", "busy", "page", "scrape",
// "stream", "answered", "leave", and what it gives: "admitted",
// "displaces N (why)", "refused (why)", "served", "no room (why)" or
// "no room (why, of address)".
struct Step {
    const char* op;
    int id;
    const char* from;
    const char* gives;
};

std::string Do(Admission& a, const Step& s) {
    const std::string op = s.op;
    const Admission::Id id = static_cast<Admission::Id>(s.id);
    if (op == "arrive") {
        const auto r = a.Arrive(id, s.from);
        switch (r.kind) {
            case Admission::Arrival::Kind::kAdmitted: return "admitted";
            case Admission::Arrival::Kind::kDisplacing:
                return "displaces " + std::to_string(r.displaced) + " (" + Name(r.why) + ")";
            case Admission::Arrival::Kind::kRefused: return "refused (" + Name(r.why) + ")";
        }
    }
    if (op == "page" || op == "scrape" || op == "stream") {
        const Use use = op == "page" ? Use::kPage : op == "scrape" ? Use::kScrape : Use::kStream;
        const auto r = a.Take(id, use);
        if (!r) return "served";
        return "no room (" + Name(r->why) + (r->of_address ? ", of address)" : ")");
    }
    if (op == "wait") a.Wait(id);
    if (op == "busy") a.Busy(id);
    if (op == "answered") a.Answered(id);
    if (op == "leave") a.Leave(id);
    return "";
}

// n steps of one op from ids first, first + 1, ...; each gives the same.
std::vector<Step> Many(int n, const char* op, int first, const char* from, const char* gives) {
    std::vector<Step> out;
    for (int i = 0; i < n; ++i) out.push_back({op, first + i, from, gives});
    return out;
}

std::vector<Step> Join(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const char* const A = "127.0.0.1";
const char* const B = "127.0.0.2";

TEST(Admission, CrowdsStepByStep) {
    // connections, per_client, kept_for_metrics, kept_per_client, streams
    const Admission::Bounds small{8, 4, 2, 1, 3};
    const Admission::Bounds wide{256, 32, 16, 4, 64};
    const struct {
        const char* what;
        Admission::Bounds bounds;
        std::vector<Step> steps;
        std::size_t connections, streams, pages, waiting;  // at the end
    } cases[] = {
        {"an address full of waiting ones: its oldest gives way", small,
         Join({Many(4, "arrive", 1, A, "admitted"), {{"arrive", 5, A, "displaces 1 (address full)"}}}), 4, 0, 0, 4},
        {"the server full of waiting ones: the oldest of any address gives way", small,
         Join({Many(4, "arrive", 1, A, "admitted"), Many(4, "arrive", 5, B, "admitted"),
               {{"arrive", 9, "127.0.0.3", "displaces 1 (server full)"}}}),
         8, 0, 0, 8},
        {"an address full of busy ones: refused; another address admitted", small,
         Join({Many(4, "arrive", 1, A, "admitted"), Many(4, "busy", 1, A, ""),
               {{"arrive", 5, A, "refused (address full)"}, {"arrive", 6, B, "admitted"}}}),
         5, 0, 0, 1},
        {"a keep-alive connection waiting again is the newest to wait", small,
         Join({Many(4, "arrive", 1, A, "admitted"),
               {{"busy", 1, A, ""}, {"wait", 1, A, ""}, {"arrive", 5, A, "displaces 2 (address full)"}}}),
         4, 0, 0, 4},
        {"32 live streams and 300 waiting from one address: a scrape from it is served", wide,
         Join({Many(32, "arrive", 1, A, "admitted"), Many(32, "stream", 1, A, "served"),
               Many(32, "arrive", 33, A, "admitted"), {{"arrive", 65, A, "displaces 33 (address full)"}},
               {{"arrive", 1000, A, "displaces 34 (address full)"}, {"busy", 1000, A, ""},
                {"scrape", 1000, A, "served"}}}),
         32, 32, 0, 31},
        {"live streams at their bound, in all", small,
         Join({Many(2, "arrive", 1, A, "admitted"), Many(2, "arrive", 3, B, "admitted"),
               Many(3, "stream", 1, "", "served"), {{"stream", 4, B, "no room (live pages)"}}}),
         1, 3, 0, 0},
        {"live streams of one address at its bound; another address's served", wide,
         Join({Many(32, "arrive", 1, A, "admitted"), Many(32, "stream", 1, A, "served"),
               {{"arrive", 33, A, "admitted"}, {"stream", 33, A, "no room (live pages, of address)"},
                {"arrive", 34, B, "admitted"}, {"stream", 34, B, "served"}}}),
         1, 33, 0, 0},
        {"a stream that leaves gives its room back", small,
         Join({Many(3, "arrive", 1, A, "admitted"), Many(3, "stream", 1, A, "served"),
               {{"leave", 2, A, ""}, {"arrive", 4, B, "admitted"}, {"stream", 4, B, "served"}}}),
         0, 3, 0, 0},
        {"pages at their share: a page refused, a scrape served", Admission::Bounds{8, 8, 2, 1, 3},
         Join({Many(7, "arrive", 1, "", "admitted"), Many(6, "page", 1, "", "served"),
               {{"page", 7, "", "no room (pages busy)"}, {"arrive", 8, B, "admitted"}, {"scrape", 8, B, "served"}}}),
         8, 0, 6, 0},
        {"one address's pages at its share: the rest of it is kept for scrapes", small,
         Join({Many(4, "arrive", 1, A, "admitted"), Many(3, "page", 1, A, "served"),
               {{"page", 4, A, "no room (pages busy, of address)"}, {"arrive", 5, B, "admitted"},
                {"page", 5, B, "served"}}}),
         5, 0, 4, 0},
        {"an address with its pages busy and one waiting: a scrape takes the waiting one's room", small,
         Join({Many(4, "arrive", 1, A, "admitted"), Many(3, "page", 1, A, "served"),
               {{"arrive", 5, A, "displaces 4 (address full)"}, {"scrape", 5, A, "served"}}}),
         4, 0, 3, 0},
        {"a page answered gives its share back", small,
         Join({Many(4, "arrive", 1, A, "admitted"), Many(3, "page", 1, A, "served"),
               {{"answered", 2, A, ""}, {"answered", 2, A, ""}, {"page", 4, A, "served"}}}),
         4, 0, 3, 0},
        {"one connection asks twice for a page: counted once", small,
         {{"arrive", 1, A, "admitted"}, {"page", 1, A, "served"}, {"page", 1, A, "served"}}, 1, 0, 1, 0},
        {"a displaced connection leaving changes nothing", small,
         Join({Many(4, "arrive", 1, A, "admitted"),
               {{"arrive", 5, A, "displaces 1 (address full)"}, {"leave", 1, A, ""}, {"wait", 1, A, ""},
                {"page", 1, A, "served"}, {"arrive", 6, A, "displaces 2 (address full)"}}}),
         4, 0, 0, 4},
        {"a page leaving mid-answer gives its share back", small,
         {{"arrive", 1, A, "admitted"}, {"page", 1, A, "served"}, {"leave", 1, A, ""}}, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        Admission a(c.bounds);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            EXPECT_EQ(Do(a, s), s.gives) << c.what << ", step " << i << ": " << s.op << " " << s.id;
        }
        EXPECT_EQ(a.Connections(), c.connections) << c.what;
        EXPECT_EQ(a.Streams(), c.streams) << c.what;
        EXPECT_EQ(a.Pages(), c.pages) << c.what;
        EXPECT_EQ(a.Waiting(), c.waiting) << c.what;
    }
}

TEST(Admission, KeptRoomsMustLeaveRoomForPages) {
    const struct {
        Admission::Bounds bounds;
        const char* named;  // in the error
    } cases[] = {
        {{8, 4, 8, 1, 3}, "kept for /metrics (8)"},
        {{8, 4, 2, 4, 3}, "of one address kept for /metrics (4)"},
    };
    for (const auto& c : cases) {
        try {
            Admission a(c.bounds);
            ADD_FAILURE() << c.named;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
    }
}

// Any crowd, drawn at random from a fixed seed: the bounds hold, and a
// scrape from any address finds room unless that room is held by answers
// in progress (scrapes, or requests being refused) rather than pages or
// waiting connections.
TEST(Admission, WhateverTheCrowdAScrapeFindsRoom) {
    const Admission::Bounds b{12, 6, 3, 2, 4};
    const std::vector<std::string> addresses{A, B, "127.0.0.3"};
    enum class State { kWaiting, kBusy, kPage, kStream };
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        Admission a(b);
        std::map<Admission::Id, std::pair<std::string, State>> open;
        Admission::Id next = 0;
        for (int step = 0; step < 400; ++step) {
            const std::string& from = addresses[random() % addresses.size()];
            const auto pick = [&]() -> Admission::Id {
                if (open.empty()) return 0;
                auto it = open.begin();
                std::advance(it, random() % open.size());
                return it->first;
            };
            switch (random() % 6) {
                case 0:
                case 1: {
                    const auto r = a.Arrive(++next, from);
                    if (r.kind == Admission::Arrival::Kind::kDisplacing) {
                        ASSERT_EQ(open.at(r.displaced).second, State::kWaiting) << seed;
                        open.erase(r.displaced);
                    }
                    if (r.kind != Admission::Arrival::Kind::kRefused) open[next] = {from, State::kWaiting};
                    break;
                }
                case 2: {
                    const auto id = pick();
                    if (!id || open[id].second == State::kStream) break;
                    const Use use = random() % 2 ? Use::kPage : Use::kStream;
                    const bool served = !a.Take(id, use);
                    open[id].second = !served ? State::kBusy : use == Use::kPage ? State::kPage : State::kStream;
                    break;
                }
                case 3:
                    if (const auto id = pick(); id && open[id].second == State::kWaiting) {
                        a.Busy(id);
                        open[id].second = State::kBusy;
                    }
                    break;
                case 4:
                    if (const auto id = pick(); id && open[id].second != State::kStream) {
                        a.Answered(id);
                        a.Wait(id);
                        open[id].second = State::kWaiting;
                    }
                    break;
                default:
                    if (const auto id = pick()) {
                        a.Leave(id);
                        open.erase(id);
                    }
            }
            std::map<std::string, std::map<State, std::size_t>> of;
            std::map<State, std::size_t> all;
            for (const auto& [id, e] : open) {
                ++of[e.first][e.second];
                ++all[e.second];
            }
            ASSERT_EQ(a.Connections(), all[State::kWaiting] + all[State::kBusy] + all[State::kPage]) << seed;
            ASSERT_EQ(a.Streams(), all[State::kStream]) << seed;
            ASSERT_EQ(a.Pages(), all[State::kPage]) << seed;
            ASSERT_LE(a.Connections(), b.connections) << seed;
            ASSERT_LE(a.Streams(), b.streams) << seed;
            ASSERT_LE(a.Pages(), b.connections - b.kept_for_metrics) << seed;
            for (const auto& from_one : addresses) {
                ASSERT_LE(of[from_one][State::kPage], b.per_client - b.kept_per_client) << seed;
                ASSERT_LE(of[from_one][State::kStream], b.per_client) << seed;
                // A scrape arriving now, on a copy.
                Admission probe = a;
                const bool answers_fill = of[from_one][State::kBusy] >= b.kept_per_client ||
                                          all[State::kBusy] >= b.kept_for_metrics;
                const auto r = probe.Arrive(1000000, from_one);
                if (!answers_fill) {
                    ASSERT_NE(r.kind, Admission::Arrival::Kind::kRefused) << seed << " " << from_one;
                }
            }
        }
    }
}

// A history that is never read: routing only makes its queries.
class NoHistory : public HistoryQuery {
public:
    std::vector<DeviceSpan> Devices() override { return {}; }
    Series Downsample(const SeriesRequest&) override { return {}; }
    std::vector<Alarm> Alarms(std::optional<uint32_t>, const Range&, std::size_t) override { return {}; }
};

TEST(Router, EachPathToItsReplyStreamOrQuery) {
    using K = Router::Routed::Kind;
    NoHistory history;
    SnapshotHub started;
    started.Publish(canned::Site());
    SnapshotHub waiting;
    const auto json = [](const SnapshotHub::Latest&) { return std::make_shared<const std::string>("{\"live\":1}"); };
    const struct {
        const char* what;
        const char* path;
        SnapshotHub* live;
        bool head;
        bool history;
        Router::Routed::Kind kind;
        Use use;
        unsigned status;    // of a reply
        const char* body;   // a part of it
        bool not_started;   // counted as such
    } cases[] = {
        {"the live page", "/", &started, false, false, K::kReply, Use::kPage, 200, "/assets/live.js", false},
        {"no live part: the history page", "/", nullptr, false, false, K::kReply, Use::kPage, 200,
         "/assets/history.js", false},
        {"an asset", "/assets/style.css", &started, false, false, K::kReply, Use::kPage, 200, ".cell", false},
        {"no such asset", "/assets/none.js", &started, false, false, K::kReply, Use::kPage, 404,
         "no such file: none.js", false},
        {"the icon", "/favicon.ico", &started, false, false, K::kReply, Use::kPage, 204, "", false},
        {"info", "/api/info", nullptr, false, false, K::kReply, Use::kPage, 200, "\"live\":false", false},
        {"the snapshot", "/api/live", &started, false, false, K::kReply, Use::kPage, 200, "{\"live\":1}",
         false},
        {"a scrape", "/metrics", &started, false, false, K::kReply, Use::kScrape, 200,
         "bench_host_cell_volts{", false},
        {"a scrape before the run started", "/metrics", &waiting, false, false, K::kReply, Use::kScrape,
         503, "not started its devices", true},
        {"a stream", "/api/events", &started, false, false, K::kStream, Use::kStream, 0, "", false},
        {"a stream's head holds none open", "/api/events", &started, true, false, K::kReply, Use::kPage,
         200, "", false},
        {"a stream before the run started", "/api/events", &waiting, false, false, K::kReply, Use::kPage,
         503, "not started", true},
        {"no live part: no metrics", "/metrics", nullptr, false, false, K::kReply, Use::kPage, 404,
         "no such page: /metrics", false},
        {"no history: no history endpoints", "/api/devices", &started, false, false, K::kReply, Use::kPage,
         404, "no such page", false},
        {"a history series", "/api/history?device=12", nullptr, false, true, K::kHistory,
         Use::kPage, 0, "", false},
        {"history alarms", "/api/alarms", nullptr, false, true, K::kHistory, Use::kPage, 0, "",
         false},
        {"a history query it cannot use", "/api/history?device=twelve", nullptr, false, true,
         K::kReply, Use::kPage, 400, "device is not a whole number", false},
    };
    for (const auto& c : cases) {
        Router::Site site;
        site.live = c.live;
        site.history = c.history ? &history : nullptr;
        site.live_json = json;
        site.server_metrics = [] { return std::string("bench_host_http_connections_open 1\n"); };
        site.now_ms = 1700000000000;
        const auto target = HttpText::ParseTarget(c.path);
        const auto r = Router::Route(Router::Request{target->path, target->params, c.head}, site);
        EXPECT_EQ(r.kind, c.kind) << c.what;
        EXPECT_EQ(r.use, c.use) << c.what;
        EXPECT_EQ(r.counted.has_value(), c.not_started) << c.what;
        EXPECT_EQ(static_cast<bool>(r.job), r.kind == K::kHistory) << c.what;
        if (r.kind != K::kReply) continue;
        EXPECT_EQ(r.reply.status, c.status) << c.what;
        EXPECT_NE(r.reply.body.find(c.body), std::string::npos) << c.what << ": " << r.reply.body.substr(0, 200);
        if (c.status == 503) {
            EXPECT_EQ(r.reply.headers.at(0).second, "5") << c.what;
        }
        if (c.use == Use::kScrape && c.status == 200) {
            EXPECT_NE(r.reply.body.find("bench_host_http_connections_open 1\n"), std::string::npos) << c.what;
        }
    }
}

}  // namespace
