// The web server's reading of what a client sends, on arbitrary text: the
// request target (path and query, percent-decoded), the Host header, and
// the error text that quotes them back.
//  - A target taken has a path from '/', and the same target written again
//    with every byte escaped reads back the same: path, parameters in their
//    order, authority.
//  - Whether a Host header is taken does not depend on the letters' case.
//  - The quoted text of an error is well-formed UTF-8 without control
//    characters, and the error's JSON body reads back to it.
// The input is the target as it comes on the request line, and the same
// text as a Host header.
#include <json/reader.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "basics/JsonLine.h"
#include "fuzz/FuzzCheck.h"
#include "web/HttpText.h"

namespace {

// Well-formed UTF-8 as its definition has it: shortest form, no surrogate,
// nothing beyond U+10FFFF.
bool WellFormed(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

std::string Escaped(std::string_view text, bool keep_slash) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) || (keep_slash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += kHex[static_cast<unsigned char>(c) >> 4];
            out += kHex[static_cast<unsigned char>(c) & 15];
        }
    }
    return out;
}

void CheckQuoted(const std::string& said) {
    const std::string quoted = HttpText::Printable(said);
    FUZZ_CHECK(WellFormed(quoted));
    for (const char c : quoted) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    FUZZ_CHECK(HttpText::Printable(quoted) == quoted);
    // The error body as the server sends it, read by a strict reader.
    const std::string body = JsonLine().Str("error", quoted).Text();
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    FUZZ_CHECK(reader->parse(body.data(), body.data() + body.size(), &v, nullptr));
    FUZZ_CHECK(v.isObject() && v["error"].isString() && v["error"].asString() == quoted);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

void CheckHost(const std::string& header) {
    for (const char* served : {"127.0.0.1", "::1", "localhost", "0.0.0.0", "::", "192.0.2.7", "bench-01"}) {
        const bool allowed = HttpText::HostAllowed(header, served, 8029);
        FUZZ_CHECK(HttpText::HostAllowed(Upper(header), served, 8029) == allowed);
        FUZZ_CHECK(HttpText::HostAllowed(Lower(header), served, 8029) == allowed);
        if (allowed) FUZZ_CHECK(!header.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckQuoted(text);
    CheckQuoted("malformed address: " + text);
    CheckHost(text);

    const auto target = HttpText::ParseTarget(text);
    if (!target) return 0;
    FUZZ_CHECK(!target->path.empty() && target->path[0] == '/');
    if (!target->authority.empty()) {
        FUZZ_CHECK(target->authority.find_first_of("/?") == std::string::npos);
        CheckHost(target->authority);
    }
    CheckQuoted(target->path);

    // Written again with every byte but letters and digits escaped.
    std::string again = Escaped(target->path, true);
    char sep = '?';
    for (const auto& [key, value] : target->params) {
        again += sep + Escaped(key, false) + '=' + Escaped(value, false);
        sep = '&';
    }
    if (!target->authority.empty()) again = "http://" + target->authority + again;
    const auto reread = HttpText::ParseTarget(again);
    FUZZ_CHECK(reread);
    FUZZ_CHECK(reread->authority == target->authority);
    FUZZ_CHECK(reread->path == target->path);
    FUZZ_CHECK(reread->params == target->params);
    return 0;
}
