#include "loader/FileDigest.h"

#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "basics/Hex.h"

FileDigest FileDigest::Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("cannot compute the SHA-256 of " + path);
    FileDigest d;
    char buf[1 << 16];
    while (in) {
        in.read(buf, sizeof buf);
        const std::streamsize n = in.gcount();
        if (n <= 0) break;
        EVP_DigestUpdate(ctx.get(), buf, static_cast<std::size_t>(n));
        d.size += static_cast<uint64_t>(n);
    }
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    // Lower case, as sha256sum prints it, so the two can be compared by eye.
    d.sha256 = hex::Encode(md, len);
    for (char& c : d.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return d;
}
