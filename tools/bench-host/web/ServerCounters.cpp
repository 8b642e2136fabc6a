#include "web/ServerCounters.h"

namespace {

const char* const kRefused[] = {"server full", "address full", "displaced", "sent nothing"};
const char* const kUnavailable[] = {"server full",     "address full",    "pages busy",
                                    "live pages",      "history queries", "not started"};

template <std::size_t N>
void Family(std::string& out, const char* name, const char* help, const char* const (&reasons)[N],
            const std::array<std::atomic<uint64_t>, N>& counts) {
    out += std::string("# HELP ") + name + ' ' + help + '\n';
    out += std::string("# TYPE ") + name + " counter\n";
    for (std::size_t i = 0; i < N; ++i) {
        out += std::string(name) + "{reason=\"" + reasons[i] + "\"} " + std::to_string(counts[i].load()) + '\n';
    }
}

}  // namespace

std::string ServerCounters::Metrics(std::size_t open_connections) const {
    std::string out;
    out += "# HELP bench_host_http_connections_open Connections to the web server open now.\n";
    out += "# TYPE bench_host_http_connections_open gauge\n";
    out += "bench_host_http_connections_open " + std::to_string(open_connections) + '\n';
    Family(out, "bench_host_http_connections_refused_total",
           "Connections closed before a request on them was served: refused at once (the server or the client's "
           "address had no room), displaced while waiting for their request, or silent past the idle limit.",
           kRefused, refused_);
    Family(out, "bench_host_http_unavailable_total", "Responses 503 (come back later), by what was full.",
           kUnavailable, unavailable_);
    return out;
}
