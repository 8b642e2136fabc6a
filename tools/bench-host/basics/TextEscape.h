#pragma once
// Every text that comes from outside (a --test note, a device name, a port
// path, a plug-in's line, what a client sent) reaches an output through
// here, in the quoting that output needs.  Whatever its bytes, what comes
// out is valid UTF-8 (a byte that is not part of a well-formed sequence
// becomes U+FFFD) and one line: no control character passes as it is, so a
// line feed in a note cannot start a line of its own in the plain output,
// the journal or /metrics.  Printable characters, 第1节电池 included, pass
// unchanged.
//
// The characters that never pass as they are: C0 controls, DEL, the C1
// controls (U+0080 to U+009F, which some terminals obey) and the line and
// paragraph separators U+2028 and U+2029 (line ends to some readers).
#include <string>
#include <string_view>

class TextEscape {
public:
    enum class Quoting {
        kLine,   // a plain line: \n \r \t \\ and \xHH (or \uHHHH) for the rest
        kJson,   // inside a JSON string: \" \\ \b \f \n \r \t, \u00HH for the rest
        kLabel,  // a Prometheus label value: \\ \" \n; the rest as kLine writes it, its backslash escaped
        kHtml,   // HTML text or an attribute: & < > " ' as entities; controls as kLine writes them
    };

    static std::string Escape(std::string_view text, Quoting quoting);

    static std::string Line(std::string_view text) { return Escape(text, Quoting::kLine); }
    static std::string Json(std::string_view text) { return Escape(text, Quoting::kJson); }
    static std::string Label(std::string_view text) { return Escape(text, Quoting::kLabel); }
    static std::string Html(std::string_view text) { return Escape(text, Quoting::kHtml); }
};
