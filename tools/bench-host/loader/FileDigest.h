#pragma once
// What identifies a library file beyond its name: its size and its SHA-256
// (OpenSSL's EVP interface), so that a run, and every record it stores, can
// be traced to the exact build of the plug-in that produced it.
#include <cstdint>
#include <string>

struct FileDigest {
    uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits

    // Reads the whole file; throws std::runtime_error naming it when it
    // cannot be read.
    static FileDigest Of(const std::string& path);
};
