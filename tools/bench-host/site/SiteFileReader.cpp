#include "site/SiteFileReader.h"

#include <cstdio>
#include <vector>

#include "CommandLine.h"
#include "site/SiteConfig.h"

namespace {

// As people write numbers: 86400, 0.05, 4294967295, 3.4e+38.
std::string Text(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", d);
    return buf;
}

// A key or a text quoted from the file may hold any character, a line break
// or a terminal's escape among them: each control character is shown as the
// file writes it in JSON, so the reason stays on its one line and shows
// what to look for.
std::string OneLine(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        }
    }
    return out;
}

}  // namespace

void SiteFileReader::Fail(const std::string& where, const std::string& what) const {
    throw SiteConfig::Error(Line(where, what));
}

std::string SiteFileReader::Line(const std::string& where, const std::string& what) const {
    return OneLine("site file " + source_ + ": " + (where.empty() ? "" : where + ": ") + what);
}

void SiteFileReader::OnlyKeys(const Json::Value& obj, const std::string& where,
                              const std::set<std::string>& allowed) const {
    // The file's one abbreviation, for those who write the word in full.
    static const std::vector<std::pair<std::string, std::string>> kSpelled = {{"addr", "address"}};
    for (const auto& key : obj.getMemberNames())
        if (!allowed.count(key))
            Fail(where, "unknown key \"" + key + "\"" +
                            command_line::DidYouMeanKey(key, std::vector<std::string>(allowed.begin(), allowed.end()),
                                                        kSpelled));
}

double SiteFileReader::Number(const Json::Value& v, const std::string& where, double min, double max) const {
    if (!v.isNumeric()) Fail(where, "must be a number" + std::string(v.isString() ? ", not a string" : ""));
    if (v.asDouble() < min || v.asDouble() > max) Fail(where, "must be from " + Text(min) + " to " + Text(max));
    return v.asDouble();
}

uint64_t SiteFileReader::Whole(const Json::Value& v, const std::string& where, uint64_t max) const {
    if (!v.isUInt64() || v.asUInt64() > max)
        Fail(where, "must be a whole number from 0 to " + Text(static_cast<double>(max)));
    return v.asUInt64();
}

std::string SiteFileReader::String(const Json::Value& v, const std::string& where) const {
    if (!v.isString() || v.asString().empty()) Fail(where, "must be a non-empty string");
    return v.asString();
}

bool SiteFileReader::Bool(const Json::Value& v, const std::string& where) const {
    if (!v.isBool()) Fail(where, "must be true or false");
    return v.asBool();
}
