#include "web/HttpText.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "basics/TextEscape.h"

namespace HttpText {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsIp(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool query) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (query && c == '+') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<Target> ParseTarget(std::string_view target) {
    Target t;
    constexpr std::string_view kScheme = "http://";
    if (target.size() > kScheme.size() && Lower(target.substr(0, kScheme.size())) == kScheme) {
        const std::string_view rest = target.substr(kScheme.size());
        const auto end = rest.find_first_of("/?");
        t.authority = std::string(rest.substr(0, end));
        if (t.authority.empty()) return std::nullopt;
        if (end == std::string_view::npos) {
            t.path = "/";
            return t;
        }
        target = rest.substr(end);
        if (target[0] == '?') {
            auto rooted = ParseTarget("/" + std::string(target));
            if (rooted) rooted->authority = std::move(t.authority);
            return rooted;
        }
    }
    if (target.empty() || target[0] != '/') return std::nullopt;
    const auto q = target.find('?');
    auto path = PercentDecode(target.substr(0, q), false);
    if (!path) return std::nullopt;
    t.path = std::move(*path);
    if (q == std::string_view::npos) return t;
    std::string_view query = target.substr(q + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const auto eq = pair.find('=');
        auto key = PercentDecode(pair.substr(0, eq), true);
        auto value = PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
        if (!key || !value) return std::nullopt;
        t.params.emplace(std::move(*key), std::move(*value));
    }
    return t;
}

std::string Printable(std::string_view text) { return TextEscape::Line(text); }

bool HostAllowed(std::string_view header, const std::string& served_host, int served_port) {
    std::string host;
    std::string_view port;
    if (!header.empty() && header[0] == '[') {
        const auto close = header.find(']');
        if (close == std::string_view::npos) return false;
        host = Lower(header.substr(1, close - 1));
        const std::string_view rest = header.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            port = rest.substr(1);
        }
        if (host.find(':') == std::string::npos) return false;  // brackets are for IPv6 only
    } else {
        const auto colon = header.find(':');
        host = Lower(header.substr(0, colon));
        if (colon != std::string_view::npos) port = header.substr(colon + 1);
    }
    if (host.empty()) return false;
    if (!port.empty()) {
        int value = -1;
        const auto r = std::from_chars(port.data(), port.data() + port.size(), value);
        if (r.ec != std::errc() || r.ptr != port.data() + port.size() || value != served_port) return false;
    }
    const std::string served = Lower(served_host);
    if (IsLoopback(served)) return host == "localhost" || (IsIp(host) && IsLoopback(host));
    if (served == "0.0.0.0" || served == "::") return host == "localhost" || IsIp(host);
    return host == served;
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace HttpText
