#pragma once
// Visibility of the host framework's own symbols.  The plug-in is built with
// hidden visibility by default; everything declared by the host must stay
// default-visible so that references from the plug-in resolve against the
// loading process, and so that the header-defined classes the plug-in carries
// (the device interface, the provider bases) keep one identity across the
// library boundary.
#define HLX_API __attribute__((visibility("default")))
