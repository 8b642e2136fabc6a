// /metrics of a site of eight devices: the text rendered from the run's
// snapshot, and the whole request over loopback HTTP, as Prometheus makes
// it (a new connection per scrape), while a live stream is open.
//
//   bench_metrics [--requests N]
//
// Prints the median, the 99th percentile and the slowest, in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "HttpProbe.h"
#include "web/LiveSnapshot.h"
#include "web/MetricsFormat.h"
#include "web/SnapshotHub.h"
#include "web/WebServer.h"

namespace {

// Eight answering devices of 29 cells, every limit set, some failures.
LiveSnapshot Site() {
    LiveSnapshot s;
    s.now_ms = 1796720000000;
    for (uint32_t id = 1; id <= 8; ++id) {
        LiveSnapshot::Device d;
        d.id = id;
        d.type = "upsbattery_29";
        d.port = "/dev/ttyUSB0";
        d.addr = static_cast<int>(id);
        d.health = DeviceHealth::State::kAnswering;
        d.health_since_ms = s.now_ms - 3600000;
        d.values_at_ms = s.now_ms - 500;
        for (int i = 1; i <= 29; ++i) {
            LiveSnapshot::Cell c;
            c.value = 13.5f + 0.001f * static_cast<float>(i);
            c.low = 12.0f;
            c.high = 14.4f;
            c.label = "第" + std::to_string(i) + "节电池";
            d.cells.push_back(c);
        }
        d.string_voltage = {391.5f, 348.0f, 417.6f, false};
        d.current = {1.5f, std::nullopt, std::nullopt, false};
        d.temperature = {25.0f, std::nullopt, 40.0f, false};
        for (const char* reason : {"timeout", "partial", "start byte", "address", "checksum", "refused", "port lost",
                                   "late reply"})
            d.failures.emplace_back(reason, 3);
        d.cycles = d.rounds = d.records_stored = 86400;
        s.devices.push_back(d);
    }
    return s;
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s %8zu %10.3f %10.3f %10.3f\n", what, ms.size(), ms[ms.size() / 2],
                ms[ms.size() * 99 / 100], ms.back());
}

std::vector<double> Time(int n, const std::function<void()>& run) {
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int requests = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--requests") == 0 && i + 1 < argc) {
            requests = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_metrics [--requests N]\n");
            return 2;
        }
    }
    SnapshotHub hub;
    hub.Publish(Site());
    WebServer::Options options;
    options.live = &hub;
    WebServer server(options);
    server.Start();

    std::size_t bytes = 0;
    std::printf("%-44s %8s %10s %10s %10s\n", "/metrics, 8 devices of 29 cells", "runs", "median ms", "p99 ms",
                "max ms");
    Report("render the text", Time(requests, [&] { bytes = MetricsFormat::Render(*hub.Get().snapshot).size(); }));

    // A page open meanwhile, following the stream.
    std::thread stream([&] { probe::ReadEvents(server.Port(), [](const std::string&) { return true; }); });
    bool ok = true;
    Report("GET over loopback, a connection each", Time(requests, [&] {
               const auto res = probe::Get(server.Port(), "/metrics");
               ok = ok && res && res->status == 200 && res->body.size() == bytes;
               hub.Publish(Site());  // a round completes between scrapes
           }));
    std::printf("%zu bytes a scrape%s\n", bytes, ok ? "" : "; SOME SCRAPES FAILED");
    server.Stop();  // ends the stream
    stream.join();
    return ok ? 0 : 1;
}
