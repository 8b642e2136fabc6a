#pragma once
// Byte strings as hexadecimal text, the way frames and records are shown.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hex {

// Upper-case, two digits per byte, no separators.
std::string Encode(const uint8_t* data, std::size_t len);
inline std::string Encode(const std::vector<uint8_t>& bytes) { return Encode(bytes.data(), bytes.size()); }

// Upper-case pairs separated by single spaces, as in a trace.
std::string Spaced(const uint8_t* data, std::size_t len);

// Digits in either case; white space may stand between bytes (not inside
// one).  Anything else, or an odd number of digits, gives nothing.
std::optional<std::vector<uint8_t>> Decode(std::string_view text);

}  // namespace hex
