#pragma once
// A site of eight devices in every health state, for the web tests:
//   12 answering, cell 6 (第6节电池) below its low limit, texts that need escaping
//   13 not answering (timeouts), 14 port lost, 15 stale, 16 never answered,
//   17..19 answering; and a port whose path is not valid UTF-8.
// Cell i of an answering device reads 13.000 + 0.010 * i volts, cell 6 of 12
// reads 11.500.
#include "web/LiveSnapshot.h"

namespace canned {

constexpr int64_t kNowMs = 1796720223250;  // 2026-12-08T08:57:03.250Z
constexpr float kLow = 12.0f;
constexpr float kHigh = 14.4f;
constexpr int kCells = 29;
constexpr float kAlarmCellValue = 11.5f;
constexpr int kAlarmCell = 6;  // 1-based
// A port without devices whose path is not UTF-8.
constexpr const char* kBadPath = "/dev/serial/by-id/usb-\xff";
constexpr const char* kTrickyName = "<img src=x onerror=alert(1)> \"A\\B\"\n第1组";

float CellValue(int cell);  // 1-based, for an answering device without alarm

// Times relative to now_ms.
LiveSnapshot Site(int64_t now_ms = kNowMs);

}  // namespace canned
