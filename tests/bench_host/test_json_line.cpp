// The text forms every event line relies on: JSON strings, floats, hex.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "basics/Hex.h"
#include "basics/JsonLine.h"

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
    };
    for (const auto& c : cases) EXPECT_EQ(JsonLine::Quote(c.in), c.out) << c.in;
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
