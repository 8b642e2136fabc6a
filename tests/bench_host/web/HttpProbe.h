#pragma once
// A blocking HTTP client for the tests and benchmarks of the web server:
// one request on a connection of its own, or a live stream read event by
// event.  Kept apart from the server's code on purpose, so what one gets
// wrong the other does not copy.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <optional>
#include <string>

namespace probe {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

struct Got {
    int status = 0;
    http::fields headers;
    std::string body;
    std::string Header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : std::string(it->value());
    }
};

inline std::string DefaultHost(int port) { return "127.0.0.1:" + std::to_string(port); }

// None when the connection failed or closed before a whole response.
inline std::optional<Got> Request(int port, const std::string& target, http::verb method = http::verb::get,
                                  const std::optional<std::string>& host = std::nullopt, const std::string& body = "") {
    try {
        net::io_context ioc;
        tcp::socket socket(ioc);
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        http::request<http::string_body> req{method, target, 11};
        req.set(http::field::host, host ? *host : DefaultHost(port));
        if (!body.empty()) {
            req.body() = body;
            req.prepare_payload();
        }
        http::write(socket, req);
        boost::beast::flat_buffer buffer;
        http::response_parser<http::string_body> parser;
        parser.body_limit(64 * 1024 * 1024);
        parser.skip(method == http::verb::head);
        http::read(socket, buffer, parser);
        Got got;
        got.status = static_cast<int>(parser.get().result_int());
        for (const auto& f : parser.get()) got.headers.insert(f.name_string(), f.value());
        got.body = parser.get().body();
        return got;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

inline std::optional<Got> Get(int port, const std::string& target) { return Request(port, target); }

// Opens the live stream and hands each event's data to want until it
// returns false or the stream ends; the status of the response.
inline int ReadEvents(int port, const std::function<bool(const std::string& data)>& want) {
    net::io_context ioc;
    tcp::socket socket(ioc);
    try {
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        const std::string req = "GET /api/events HTTP/1.1\r\nHost: " + DefaultHost(port) + "\r\n\r\n";
        net::write(socket, net::buffer(req));
        std::string text;
        char chunk[4096];
        int status = 0;
        for (;;) {
            boost::system::error_code ec;
            const std::size_t n = socket.read_some(net::buffer(chunk), ec);
            if (ec) return status;
            text.append(chunk, n);
            if (status == 0) {
                const auto end = text.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                status = std::stoi(text.substr(9, 3));
                text.erase(0, end + 4);
                if (status != 200) return status;
            }
            for (std::size_t end; (end = text.find("\n\n")) != std::string::npos;) {
                const std::string event = text.substr(0, end);
                text.erase(0, end + 2);
                const auto at = event.find("data: ");
                if (at != std::string::npos && !want(event.substr(at + 6))) return status;
            }
        }
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace probe
