#include "basics/TextEscape.h"

#include <cstdint>

#include "basics/Utf8.h"

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kDigits[] = "0123456789abcdef";

// The code point of a well-formed sequence of n bytes.
uint32_t CodePoint(std::string_view s, std::size_t at, std::size_t n) {
    const auto b = [&](std::size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + k])); };
    if (n == 1) return b(0);
    if (n == 2) return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
    if (n == 3) return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
    return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
}

bool NeverAsItIs(uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

std::string Hex(uint32_t c, int digits) {
    std::string out;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kDigits[(c >> shift) & 0x0F];
    return out;
}

// A control character as a plain line shows it.
std::string LineForm(uint32_t c) {
    switch (c) {
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return c <= 0xFF ? "\\x" + Hex(c, 2) : "\\u" + Hex(c, 4);
    }
}

std::string JsonForm(uint32_t c) {
    switch (c) {
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return "\\u" + Hex(c, 4);
    }
}

}  // namespace

std::string TextEscape::Escape(std::string_view text, Quoting quoting) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8::SequenceLength(text, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        const uint32_t c = CodePoint(text, i, n);
        const std::string_view as_is = text.substr(i, n);
        i += n;
        switch (quoting) {
            case Quoting::kLine:
                // A backslash stays as it is: a quoted text quoted again is
                // unchanged (an error text may quote an error text), and no
                // backslash can start a line.
                if (NeverAsItIs(c)) out += LineForm(c);
                else out += as_is;
                break;
            case Quoting::kJson:
                if (c == '"' || c == '\\') out += c == '"' ? "\\\"" : "\\\\";
                else if (NeverAsItIs(c)) out += JsonForm(c);
                else out += as_is;
                break;
            case Quoting::kLabel:
                if (c == '"' || c == '\\') out += c == '"' ? "\\\"" : "\\\\";
                else if (c == '\n') out += "\\n";
                else if (NeverAsItIs(c)) out += "\\" + LineForm(c);
                else out += as_is;
                break;
            case Quoting::kHtml:
                if (c == '&') out += "&amp;";
                else if (c == '<') out += "&lt;";
                else if (c == '>') out += "&gt;";
                else if (c == '"') out += "&quot;";
                else if (c == '\'') out += "&#39;";
                else if (NeverAsItIs(c)) out += LineForm(c);
                else out += as_is;
                break;
        }
    }
    return out;
}
