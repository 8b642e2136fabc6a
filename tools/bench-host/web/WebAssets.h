#pragma once
// The web pages' files (HTML, JavaScript, CSS, the chart library), built
// into bench-host so it serves them itself, with no file to install and no
// request leaving the machine.  The table is generated at build time from
// tools/bench-host/web/assets and the pinned chart package.
#include <cstddef>
#include <string_view>

struct WebAsset {
    std::string_view name;          // file name, e.g. "live.js"
    std::string_view content_type;
    const unsigned char* data;
    std::size_t size;

    std::string_view Body() const { return {reinterpret_cast<const char*>(data), size}; }
};

class WebAssets {
public:
    // Null when there is no such file.
    static const WebAsset* Find(std::string_view name);
};
