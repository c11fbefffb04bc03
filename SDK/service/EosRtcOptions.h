// The operating system's own part of EOS's RTC options. Windows has one (where XAudio 2.9 is
// found); the vendor's other platform headers declare none, and EOS must then be given null.
#pragma once

#include <memory>

namespace VondSdk {

class EosRtcPlatformOptions {
public:
    // Reads what the options need (the process's current directory on Windows). Any thread.
    EosRtcPlatformOptions();
    ~EosRtcPlatformOptions();
    EosRtcPlatformOptions(const EosRtcPlatformOptions&) = delete;
    EosRtcPlatformOptions& operator=(const EosRtcPlatformOptions&) = delete;

    // What EOS_Platform_RTCOptions.PlatformSpecificOptions points to, valid while this object
    // lives; null where the OS has no such options.
    void* Get();

private:
    struct Options;
    std::unique_ptr<Options> options_;
};

}  // namespace VondSdk
