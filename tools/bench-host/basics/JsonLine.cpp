#include "basics/JsonLine.h"

#include <charconv>
#include <cmath>

#include "basics/TextEscape.h"

JsonLine& JsonLine::Key(std::string_view key) {
    if (body_.size() > 1) body_ += ',';
    body_ += Quote(key);
    body_ += ':';
    return *this;
}

JsonLine& JsonLine::Str(std::string_view key, std::string_view value) {
    Key(key);
    body_ += Quote(value);
    return *this;
}

JsonLine& JsonLine::Int(std::string_view key, int64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::UInt(std::string_view key, uint64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Float(std::string_view key, float value) {
    Key(key);
    body_ += FormatFloat(value);
    return *this;
}

JsonLine& JsonLine::Double(std::string_view key, double value) {
    Key(key);
    body_ += FormatDouble(value);
    return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Raw(std::string_view key, std::string_view json) {
    Key(key);
    body_ += json;
    return *this;
}

std::string JsonLine::Quote(std::string_view raw) { return '"' + TextEscape::Json(raw) + '"'; }

std::string JsonLine::FormatFloat(float value) {
    if (!std::isfinite(value)) return "null";
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

std::string JsonLine::FormatDouble(double value) {
    if (!std::isfinite(value)) return "null";
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

std::string JsonLine::Rounded(std::optional<double> value, int places) {
    if (!value) return "null";
    const double scale = std::pow(10.0, places);
    return FormatDouble(std::round(*value * scale) / scale);
}

std::string JsonLine::RoundedList(const std::vector<std::optional<double>>& values, int places) {
    std::string list = "[";
    for (const auto& v : values) list += (list.size() > 1 ? "," : "") + Rounded(v, places);
    return list + "]";
}
