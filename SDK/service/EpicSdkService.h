// EpicSdkService: brings the EOS SDK up once per process (Init) and down at Exit.
#pragma once

#include <memory>

#include "VondProxy.h"
#include "eos_logging.h"

namespace VondSdk {

class EpicSdkService {
public:
    // EOS_Initialize, logging, then the platform (FPlatform::Create). True only when this call
    // brought the SDK and platform up; a second success is impossible in one process. Runs on
    // the start-up thread.
    static bool init(const EosGameInfo& info);
    // Releases the platform and shuts the SDK down (Exit). Refusals are logged.
    static void shutdown();
    // True between a successful init and shutdown: the SDK and platform are up. Any thread.
    static bool isRunning();
    // A copy of the info of the successful init (all fields empty before it). Any thread.
    static std::shared_ptr<const EosGameInfo> currentGameInfo();
};

// Registered with EOS: forwards its lines to the SDK's log as "[EOS SDK] category: message".
void EOS_CALL EOSSDKLoggingCallback(const EOS_LogMessage* message);

}  // namespace VondSdk
