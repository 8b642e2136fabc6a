#include "web/WebAssets.h"

// Defined in the generated file.
extern const WebAsset kEmbeddedWebAssets[];
extern const std::size_t kEmbeddedWebAssetCount;

const WebAsset* WebAssets::Find(std::string_view name) {
    for (std::size_t i = 0; i < kEmbeddedWebAssetCount; ++i) {
        if (kEmbeddedWebAssets[i].name == name) return &kEmbeddedWebAssets[i];
    }
    return nullptr;
}
