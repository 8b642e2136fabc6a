#pragma once
// One JSON object written as one line: keys in the order they are added, no
// white space, strings in UTF-8 as they are (only what JSON requires is
// escaped, so labels such as 第1节电池 stay readable; invalid bytes become
// U+FFFD), floats as the shortest
// decimal that reads back to the same float.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class JsonLine {
public:
    JsonLine& Str(std::string_view key, std::string_view value);
    JsonLine& Int(std::string_view key, int64_t value);
    JsonLine& UInt(std::string_view key, uint64_t value);
    JsonLine& Float(std::string_view key, float value);
    JsonLine& Double(std::string_view key, double value);
    JsonLine& Bool(std::string_view key, bool value);
    // A value already written as JSON text (an object or array built elsewhere).
    JsonLine& Raw(std::string_view key, std::string_view json);

    // The finished object, without a line end.
    std::string Text() const { return body_ + "}"; }

    // value as a JSON string literal, quotes included; a byte that is not
    // part of well-formed UTF-8 becomes U+FFFD, so the line stays valid JSON.
    static std::string Quote(std::string_view value);
    // Shortest round-trip decimal of a float; JSON has no NaN or infinity, so
    // those become null.
    static std::string FormatFloat(float value);
    static std::string FormatDouble(double value);
    // A figure rounded to `places` decimals, null when none; an array of
    // them.
    static std::string Rounded(std::optional<double> value, int places);
    static std::string RoundedList(const std::vector<std::optional<double>>& values, int places);

private:
    JsonLine& Key(std::string_view key);
    std::string body_ = "{";
};
