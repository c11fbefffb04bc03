#include "service/EosRtcOptions.h"

namespace VondSdk {

// The vendor's Linux and macOS headers declare no platform RTC options.
struct EosRtcPlatformOptions::Options {};

EosRtcPlatformOptions::EosRtcPlatformOptions() = default;
EosRtcPlatformOptions::~EosRtcPlatformOptions() = default;

void* EosRtcPlatformOptions::Get() { return nullptr; }

}  // namespace VondSdk
