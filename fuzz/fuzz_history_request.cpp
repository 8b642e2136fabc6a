// The history endpoints' parameters, from arbitrary request targets read as
// the server reads them, checked for both endpoints.  Only the request's
// own error, with a reason, leaves the parser.  A request is taken exactly
// when every parameter is known to its endpoint, given once, a decimal
// number within its range (from not after to, cell within cells) and, for a
// series, the device is named; what is taken is what was written, and what
// was not written is its default.
// The input is the target as it comes on the request line.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "web/HistoryRequest.h"
#include "web/HttpText.h"

namespace {

using Params = std::multimap<std::string, std::string>;
using Endpoint = HistoryRequest::Endpoint;

// The value of a whole decimal number ("-" before it allowed), none when the
// text is not one or its value lies beyond 2^62.
std::optional<int64_t> Decimal(const std::string& text) {
    std::size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (i == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        if (value > (INT64_C(1) << 62) / 10) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -value : value;
}

struct Expected {
    bool taken = true;
    std::map<std::string, int64_t> values;
};

Expected Expect(const Params& params, Endpoint endpoint) {
    const std::set<std::string> known = endpoint == Endpoint::kSeries
                                            ? std::set<std::string>{"device", "from", "to", "points", "cells", "cell"}
                                            : std::set<std::string>{"device", "from", "to", "limit"};
    const std::map<std::string, std::pair<int64_t, int64_t>> ranges{
        {"device", {0, UINT32_MAX}}, {"from", {0, INT64_C(253402300799999)}}, {"to", {0, INT64_C(253402300799999)}},
        {"points", {1, 10000}},      {"cells", {1, 32}},                       {"cell", {1, 32}},
        {"limit", {1, 10000}}};
    Expected e;
    for (const auto& [name, text] : params) {
        const auto value = Decimal(text);
        if (!known.count(name) || params.count(name) > 1 || !value || *value < ranges.at(name).first ||
            *value > ranges.at(name).second) {
            e.taken = false;
            return e;
        }
        e.values[name] = *value;
    }
    const auto has = [&](const char* name) { return e.values.count(name) != 0; };
    if (endpoint == Endpoint::kSeries && !has("device")) e.taken = false;
    if (has("from") && has("to") && e.values["from"] > e.values["to"]) e.taken = false;
    if (has("cell") && e.values["cell"] > (has("cells") ? e.values["cells"] : 29)) e.taken = false;
    return e;
}

void Check(const Params& params, Endpoint endpoint) {
    const Expected want = Expect(params, endpoint);
    HistoryRequest r;
    try {
        r = HistoryRequest::Parse(params, endpoint);
    } catch (const HistoryRequest::Error& e) {
        FUZZ_CHECK(!want.taken);
        FUZZ_CHECK(std::string(e.what()).find("parameter") != std::string::npos);
        return;
    }
    FUZZ_CHECK(want.taken);
    const auto or_default = [&](const char* name, int64_t fallback) {
        const auto it = want.values.find(name);
        return it == want.values.end() ? fallback : it->second;
    };
    FUZZ_CHECK(r.has_device == (want.values.count("device") != 0));
    FUZZ_CHECK(r.series.device == or_default("device", 0));
    FUZZ_CHECK(r.series.range.from_ms == (want.values.count("from") ? std::optional<int64_t>(want.values.at("from"))
                                                                      : std::nullopt));
    FUZZ_CHECK(r.series.range.to_ms ==
               (want.values.count("to") ? std::optional<int64_t>(want.values.at("to")) : std::nullopt));
    FUZZ_CHECK(r.series.points == or_default("points", 2000));
    FUZZ_CHECK(r.series.cells == or_default("cells", 29));
    FUZZ_CHECK(r.series.cell ==
               (want.values.count("cell") ? std::optional<int>(static_cast<int>(want.values.at("cell"))) : std::nullopt));
    FUZZ_CHECK(static_cast<int64_t>(r.limit) == or_default("limit", 1000));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto target = HttpText::ParseTarget(std::string(reinterpret_cast<const char*>(data), size));
    if (!target) return 0;
    Check(target->params, Endpoint::kSeries);
    Check(target->params, Endpoint::kAlarms);
    return 0;
}
