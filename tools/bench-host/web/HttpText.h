#pragma once
// The texts of an HTTP request the web server reads itself: the target's
// path and query, percent-decoded, and the Host header checked against the
// address served.  Whatever a client sends comes back in an error text only
// as valid UTF-8.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace HttpText {

// %XX decoded; in a query also '+' as a space.  None when an escape is cut
// short or not hexadecimal.
std::optional<std::string> PercentDecode(std::string_view text, bool query);

struct Target {
    std::string authority;  // "host:port" of an absolute-form target; "" for "/path"
    std::string path;
    std::multimap<std::string, std::string> params;
};
// "/path?a=1&b=2", or the absolute form a proxy sends,
// "http://host:port/path?a=1" (the path "/" when it has none); none when
// the path does not begin with '/', the scheme is not http, or an escape is
// broken.
std::optional<Target> ParseTarget(std::string_view target);

// text with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD, and control characters escaped on one line (TextEscape::Line), so
// an error text can quote what a client sent.
std::string Printable(std::string_view text);

// Whether a Host header names the address served.  A page on another site
// may reach a loopback server through a name it controls (DNS rebinding);
// its requests then carry that name, so only the served address and, for a
// loopback address, the loopback names are taken.  A server on every address
// (0.0.0.0, ::) takes any numeric address and "localhost", never a name.
// The port, when given, must be the one served.
bool HostAllowed(std::string_view host_header, const std::string& served_host, int served_port);

// Whether a host names this machine's loopback: "localhost", "::1" or an
// address in 127.0.0.0/8.
bool IsLoopback(const std::string& host);

}  // namespace HttpText
