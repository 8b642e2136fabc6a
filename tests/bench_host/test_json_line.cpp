// The text forms every event line relies on: JSON strings, floats, hex.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "basics/Hex.h"
#include "basics/JsonLine.h"
#include "basics/TextEscape.h"
#include "basics/Utf8.h"
#include "basics/ValueText.h"

namespace {

TEST(JsonLine, QuotesOnlyWhatJsonRequires) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"第1节电池", "\"第1节电池\""},
        {"整组电压", "\"整组电压\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\nend\ttab\r", "\"line\\nend\\ttab\\r\""},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
        {"/", "\"/\""},
        {"", "\"\""},
        // Bytes that are not UTF-8 (a port path, a label) become U+FFFD.
        {"/dev/ttyUSB\xff", "\"/dev/ttyUSB\xEF\xBF\xBD\""},
        {"\xE7\xAC", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        // Line ends to some readers: a JavaScript source, a terminal.
        {"a\xE2\x80\xA8" "b\xC2\x85", "\"a\\u2028b\\u0085\""},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonLine::Quote(c.in), c.out) << c.in;
}

// One text in every quoting: a note, a name or a path that carries a line
// end, a stray byte, a quote or markup comes out valid UTF-8 and on one
// line, printable characters as they are.
TEST(TextEscape, EveryQuotingKeepsATextValidAndOnOneLine) {
    const struct {
        const char* in;
        const char* line;
        const char* json;
        const char* label;
        const char* html;
    } cases[] = {
        {"第6节电池", "第6节电池", "第6节电池", "第6节电池", "第6节电池"},
        {"note\n12:00:01 ALARM forged", "note\\n12:00:01 ALARM forged", "note\\n12:00:01 ALARM forged",
         "note\\n12:00:01 ALARM forged", "note\\n12:00:01 ALARM forged"},
        {"cr\rtab\tdel\x7f", "cr\\rtab\\tdel\\x7f", "cr\\rtab\\tdel\\u007f", "cr\\\\rtab\\\\tdel\\\\x7f",
         "cr\\rtab\\tdel\\x7f"},
        {"\x1b[2J", "\\x1b[2J", "\\u001b[2J", "\\\\x1b[2J", "\\x1b[2J"},
        {"c1\xC2\x85 ls\xE2\x80\xA8 ps\xE2\x80\xA9", "c1\\x85 ls\\u2028 ps\\u2029", "c1\\u0085 ls\\u2028 ps\\u2029",
         "c1\\\\x85 ls\\\\u2028 ps\\\\u2029", "c1\\x85 ls\\u2028 ps\\u2029"},
        {"/dev/tty\xff", "/dev/tty\xEF\xBF\xBD", "/dev/tty\xEF\xBF\xBD", "/dev/tty\xEF\xBF\xBD", "/dev/tty\xEF\xBF\xBD"},
        {"a\"b\\c", "a\"b\\c", "a\\\"b\\\\c", "a\\\"b\\\\c", "a&quot;b\\c"},
        {"<i>&'", "<i>&'", "<i>&'", "<i>&'", "&lt;i&gt;&amp;&#39;"},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TextEscape::Line(c.in), c.line) << c.in;
        EXPECT_EQ(TextEscape::Json(c.in), c.json) << c.in;
        EXPECT_EQ(TextEscape::Label(c.in), c.label) << c.in;
        EXPECT_EQ(TextEscape::Html(c.in), c.html) << c.in;
    }
}

// Any bytes at all, drawn from a fixed seed: every quoting gives valid
// UTF-8 with no control character, C1 control or line separator left.
TEST(TextEscape, AnyBytesComeOutValidAndOnOneLine) {
    using Q = TextEscape::Quoting;
    uint32_t state = 29;
    const auto next = [&] { return state = state * 1103515245u + 12345u; };
    for (int round = 0; round < 2000; ++round) {
        std::string in;
        const int length = static_cast<int>(next() >> 16) % 24;
        for (int i = 0; i < length; ++i) {
            // Mostly the bytes that matter: controls, UTF-8 leads and trails.
            static const unsigned char kPick[] = {0x0A, 0x0D, 0x00, 0x1B, 0x7F, 0xC2, 0x85, 0xE2, 0x80,
                                                  0xA8, 0xA9, 0xFF, 0xC0, 0xED, 0xF4, 'a', '\\', '"'};
            const uint32_t r = next() >> 8;
            in += static_cast<char>(r % 3 == 0 ? r >> 8 : kPick[(r >> 8) % sizeof kPick]);
        }
        for (const Q q : {Q::kLine, Q::kJson, Q::kLabel, Q::kHtml}) {
            const std::string out = TextEscape::Escape(in, q);
            ASSERT_EQ(utf8::Valid(out), out);
            for (std::size_t i = 0; i < out.size(); ++i) {
                const auto b = static_cast<unsigned char>(out[i]);
                ASSERT_FALSE(b < 0x20 || b == 0x7F) << static_cast<int>(q) << " " << i;
                // U+0080 to U+009F: C2 80 to C2 9F.
                ASSERT_FALSE(b == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) <= 0x9F)
                    << static_cast<int>(q);
            }
            ASSERT_EQ(out.find("\xE2\x80\xA8"), std::string::npos) << static_cast<int>(q);
            ASSERT_EQ(out.find("\xE2\x80\xA9"), std::string::npos) << static_cast<int>(q);
        }
    }
}

TEST(JsonLine, FloatsAreShortestRoundTrip) {
    struct Case {
        float in;
        const char* out;
    } cases[] = {
        {53.6f, "53.6"}, {13.5f, "13.5"}, {391.2f, "391.2"}, {0.0f, "0"},   {-100.0f, "-100"},
        {25.1f, "25.1"}, {1.5f, "1.5"},   {0.1f, "0.1"},     {1e-7f, "1e-07"}, {100.0f, "100"},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonLine::FormatFloat(c.in), c.out);
    // Every printed float reads back to the same float.
    for (float f : {13.53f, 14.34f, 7.25f, 0.3f, 3.4028235e38f, 1.17549435e-38f}) {
        const std::string text = JsonLine::FormatFloat(f);
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), f) << text;
    }
    EXPECT_EQ(JsonLine::FormatFloat(std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(JsonLine::FormatFloat(std::numeric_limits<float>::infinity()), "null");
}

TEST(JsonLine, KeepsKeysInOrderWithoutSpaces) {
    JsonLine line;
    line.Str("ev", "check_threshold").UInt("id", 12).Str("label", "第1节电池").Float("value", 13.5f).Int("index", 1).Bool(
        "flag", false);
    EXPECT_EQ(line.Text(), R"({"ev":"check_threshold","id":12,"label":"第1节电池","value":13.5,"index":1,"flag":false})");
}

// Every value a person reads goes through one rule: the kind's resolution,
// more only when the value carries it, never a float's residue.
TEST(ValueText, EveryValueAtItsResolution) {
    const struct {
        const char* name;
        double value;
        const char* text;
    } cases[] = {
        {"battery_5_value", 13.29f, "13.29"},
        {"battery_5_value", 13.0, "13.00"},
        {"battery_5_value", 11.2f, "11.20"},
        {"battery_5_value", 13.512f, "13.512"},      // millivolt cells keep their third decimal
        {"battery_5_value", 13.51249, "13.512"},     // never more than three
        {"group_voltage", 391.2f, "391.2"},
        {"group_voltage", 391.25f, "391.25"},        // a string in hundredths
        {"group_current", 1.5200019, "1.52"},        // the sensor's 0.04 A steps
        {"group_current", -19.999998, "-20.0"},
        {"group_current", -0.04f, "-0.04"},
        {"group_current", -0.000001, "0.0"},         // no sign on a zero
        {"temperature", 44.899999999999999, "44.9"},
        {"temperature", 25.0f, "25.0"},
        {"temperature", std::nan(""), "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(ValueText::Of(c.name, c.value), c.text) << c.name << " " << c.value;
    EXPECT_EQ(ValueText::WithUnit("battery_0_value", 11.2f), "11.20 V");
    EXPECT_EQ(ValueText::WithUnit("group_current", -21.5f), "-21.5 A");
    EXPECT_EQ(ValueText::WithUnit("temperature", 45.0f), "45.0 °C");
}

TEST(Hex, EncodesUpperCaseAndDecodesLeniently) {
    const std::vector<uint8_t> bytes{0xFE, 0xFE, 0x01, 0xA1, 0xA2};
    EXPECT_EQ(hex::Encode(bytes), "FEFE01A1A2");
    EXPECT_EQ(hex::Spaced(bytes.data(), bytes.size()), "FE FE 01 A1 A2");
    struct Case {
        const char* text;
        bool ok;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"FEFE01A1A2", true, bytes},
        {"fe fe 01 a1 a2", true, bytes},
        {"  FeFe\t01A1 A2 ", true, bytes},
        {"", true, {}},
        {"F", false, {}},
        {"F E", false, {}},
        {"0x01", false, {}},
        {"GG", false, {}},
    };
    for (const auto& c : cases) {
        const auto got = hex::Decode(c.text);
        ASSERT_EQ(got.has_value(), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(*got, c.bytes) << c.text;
        }
    }
}

}  // namespace
