#pragma once
// Conversions of configuration values.  Every setting is read through its
// text form, so a number may be written as a JSON number or as a string that
// holds one, with the same result.
//
// The controller is a 32-bit target: its atoi and atol both saturate at the
// limits of a 32-bit integer.  These conversions do the same on every build,
// so a configuration gives the same device on the bench as on the controller.
#include <cstdint>
#include <string>

#include <json/value.h>

namespace config {

// A key is present when its value is not JSON null (a missing key reads as null).
inline bool Present(const Json::Value& v) { return !v.isNull(); }

// atoi/atol of a text, as on the 32-bit controller: leading white space, an
// optional sign, decimal digits up to the first other character; no digits
// give 0; out-of-range values saturate.
int32_t TextToInt(const std::string& text);

// atof of a text: 0.0 when nothing can be read.  Read in the C locale: a
// decimal point, whatever locale the host has set.
double TextToReal(const std::string& text);

// A real truncated toward zero to a 32-bit integer, saturating (NaN gives 0).
int32_t TruncateToInt(double v);

// The same conversions applied to a JSON value's text.  A value without a
// text form (an object, an array) throws the JSON library's error.
inline int32_t Int(const Json::Value& v) { return TextToInt(v.asString()); }
inline uint32_t UnsignedLong(const Json::Value& v) { return static_cast<uint32_t>(TextToInt(v.asString())); }
inline float RealAsFloat(const Json::Value& v) { return static_cast<float>(TextToReal(v.asString())); }
inline int32_t RealAsInt(const Json::Value& v) { return TruncateToInt(TextToReal(v.asString())); }

}  // namespace config
