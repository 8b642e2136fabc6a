// Serves the web page and metrics of a canned site (see CannedSnapshot.h),
// for the browser and Prometheus tests:
//
//   web_test_server [--port N] [--history FILE] [--streams N]
//
// Prints "url: http://127.0.0.1:N/" once it listens.  Reads commands on
// standard input: "publish" publishes the site again with every cell 1
// raised by 0.1 V and device 13 answering again; end of input stops it.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "CannedSnapshot.h"
#include "web/SnapshotHub.h"
#include "web/SqliteHistoryQuery.h"
#include "web/WebServer.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    WebServer::Options options;
    std::string history;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--port") options.port = std::atoi(argv[i + 1]);
        else if (arg == "--history") history = argv[i + 1];
        else if (arg == "--streams") options.streams = static_cast<std::size_t>(std::atoi(argv[i + 1]));
        else {
            std::cerr << "web_test_server: unknown option " << arg << "\n";
            return 2;
        }
    }
    SnapshotHub hub;
    std::unique_ptr<SqliteHistoryQuery> query;
    if (!history.empty()) query = std::make_unique<SqliteHistoryQuery>(history);
    options.live = &hub;
    options.history = query.get();

    LiveSnapshot site = canned::Site(NowMs());
    hub.Publish(site);
    WebServer server(options);
    try {
        server.Start();
    } catch (const std::exception& e) {
        std::cerr << "web_test_server: " << e.what() << "\n";
        return 1;
    }
    std::cout << "url: " << server.Url() << std::endl;

    std::string command;
    while (std::getline(std::cin, command)) {
        if (command != "publish") continue;
        const int64_t now = NowMs();
        site.now_ms = now;
        for (auto& d : site.devices) {
            if (!d.cells.empty()) d.cells[0].value += 0.1f;
            if (d.id == 13) {
                d.health = LiveSnapshot::Health::kAnswering;
                d.health_since_ms = now;
                d.values_at_ms = now;
            } else if (d.health == LiveSnapshot::Health::kAnswering) {
                d.values_at_ms = now;
            }
        }
        hub.Publish(site);
        std::cout << "published" << std::endl;
    }
    server.Stop();
    return 0;
}
