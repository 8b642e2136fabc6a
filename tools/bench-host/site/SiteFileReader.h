#pragma once
// Typed fields of the site file, each refused with a one-line reason naming
// the file and the JSON path ("site file site.json: ports[0].path: must be a
// non-empty string").  Ranges read as people write numbers.
#include <cstdint>
#include <set>
#include <string>

#include <json/value.h>

class SiteFileReader {
public:
    explicit SiteFileReader(std::string source) : source_(std::move(source)) {}

    // Throws SiteConfig::Error.
    [[noreturn]] void Fail(const std::string& where, const std::string& what) const;
    // The same text, for a warning.
    std::string Line(const std::string& where, const std::string& what) const;

    void OnlyKeys(const Json::Value& obj, const std::string& where, const std::set<std::string>& allowed) const;
    double Number(const Json::Value& v, const std::string& where, double min, double max) const;
    uint64_t Whole(const Json::Value& v, const std::string& where, uint64_t max) const;
    std::string String(const Json::Value& v, const std::string& where) const;
    bool Bool(const Json::Value& v, const std::string& where) const;

private:
    std::string source_;
};
