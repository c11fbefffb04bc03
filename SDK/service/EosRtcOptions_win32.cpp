#include <string>

#include "Windows/eos_Windows.h"
#include "platform/Platform.h"
#include "service/EosRtcOptions.h"

namespace VondSdk {

struct EosRtcPlatformOptions::Options {
    std::string xaudioPath;
    EOS_Windows_RTCOptions windows{};
};

EosRtcPlatformOptions::EosRtcPlatformOptions() : options_(new Options) {
    options_->xaudioPath = platform::JoinPath(platform::CurrentDirectory(), "xaudio2_9redist.dll");
    options_->windows.ApiVersion = EOS_WINDOWS_RTCOPTIONS_API_LATEST;
    options_->windows.XAudio29DllPath = options_->xaudioPath.c_str();
}

EosRtcPlatformOptions::~EosRtcPlatformOptions() = default;

void* EosRtcPlatformOptions::Get() { return &options_->windows; }

}  // namespace VondSdk
