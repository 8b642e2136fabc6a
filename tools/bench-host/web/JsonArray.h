#pragma once
// A JSON array of items, each written by a function that returns its JSON
// text (the companion of JsonLine, which writes objects).
#include <string>

struct JsonArray {
    template <typename Items, typename Each>
    static std::string Of(const Items& items, Each each) {
        std::string out = "[";
        for (const auto& item : items) {
            if (out.size() > 1) out += ',';
            out += each(item);
        }
        return out + "]";
    }
};
