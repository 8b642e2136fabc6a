#pragma once
// The texts a device's Get_Value throws (as std::out_of_range) when it has no
// value to give.  The host and other devices compare them byte for byte, so
// they are written once, here.  Valid C++11.

namespace hostvalue {

// No reply has completed a round and nothing was restored from the cache.
constexpr char kNotReady[] = "数据未就绪";
// The data is older than the device is willing to vouch for.
constexpr char kTimedOut[] = "数据已超时";
// The device has no value of that name.
constexpr char kUnsupported[] = "不支持变量";

}  // namespace hostvalue
