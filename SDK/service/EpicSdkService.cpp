#include "service/EpicSdkService.h"

#include <atomic>
#include <exception>
#include <mutex>

#include "easylogging++.h"
#include "eos_sdk.h"
#include "service/EosPlatform.h"
#include "service/EpicLoginService.h"

namespace VondSdk {
namespace {

constexpr int32_t kLogLevelWarning = 300;

struct SdkState {
    std::atomic<bool> initialised{false};
    std::atomic<bool> shutDown{false};
    // EOS_Initialize succeeded once in this process. EOS accepts it only once, so a start-up
    // retried after a failed platform creation must not ask again.
    bool eosInitialized = false;  // under FPlatform::EosMutex
    std::mutex infoMutex;         // guards info
    std::shared_ptr<const EosGameInfo> info = std::make_shared<EosGameInfo>();
};

SdkState& State() {
    static SdkState* state = new SdkState();
    return *state;
}

}  // namespace

bool EpicSdkService::init(const EosGameInfo& info) {
    SdkState& state = State();
    std::lock_guard<std::recursive_mutex> eos(FPlatform::EosMutex());
    if (state.initialised.load()) {
        LOG(DEBUG) << "[EOS SDK] Has Init ...";
        return false;
    }
    if (state.shutDown.load()) {
        LOG(DEBUG) << "[EOS SDK] Is Shutdown ...";
        return false;
    }
    LOG(DEBUG) << "[EOS SDK] Initializing ...";
    if (!state.eosInitialized) {
        EOS_InitializeOptions options{};
        options.ApiVersion = EOS_INITIALIZE_API_LATEST;
        options.AllocateMemoryFunction = nullptr;
        options.ReallocateMemoryFunction = nullptr;
        options.ReleaseMemoryFunction = nullptr;
        options.ProductName = info.productName.c_str();
        options.ProductVersion = info.productVersion.c_str();
        options.Reserved = nullptr;
        options.SystemInitializeOptions = nullptr;
        options.OverrideThreadAffinity = nullptr;
        if (EOS_Initialize(&options) != EOS_EResult::EOS_Success) {
            LOG(DEBUG) << "[EOS SDK] Init Failed!";
            return false;
        }
        state.eosInitialized = true;
    }
    LOG(DEBUG) << "[EOS SDK] Initialized. Setting Logging Callback ...";
    if (EOS_Logging_SetCallback(&EOSSDKLoggingCallback) != EOS_EResult::EOS_Success) {
        LOG(DEBUG) << "[EOS SDK] Set Logging Callback Failed!";
        return false;
    }
    LOG(DEBUG) << "[EOS SDK] Logging Callback Set";
    EOS_Logging_SetLogLevel(EOS_ELogCategory::EOS_LC_ALL_CATEGORIES, static_cast<EOS_ELogLevel>(kLogLevelWarning));

    if (FPlatform::IsCreated() || FPlatform::Create(info)) {
        {
            std::lock_guard<std::mutex> lock(state.infoMutex);
            state.info = std::make_shared<const EosGameInfo>(info);
        }
        state.initialised.store(true);
        return true;
    }
    LOG(ERROR) << "[EOS SDK] Platform Create failed ...";
    return false;
}

void EpicSdkService::shutdown() {
    SdkState& state = State();
    std::lock_guard<std::recursive_mutex> eos(FPlatform::EosMutex());
    LOG(INFO) << "Shutdown Epic SDK [" << (state.shutDown.load() ? 0 : 1) << "]";
    if (!state.initialised.load()) {
        LOG(INFO) << "Shutdown Epic SDK failed, has not inited";
        return;
    }
    if (state.shutDown.load()) {
        LOG(INFO) << "Shutdown Epic SDK failed, has been shutdown";
        return;
    }
    state.shutDown.store(true);
    EpicLoginService::clearLoggedInAccount();
    FPlatform::Release();
    const EOS_EResult result = EOS_Shutdown();
    if (result != EOS_EResult::EOS_Success) {
        LOG(ERROR) << "[EOS SDK] Failed to shutdown Error: " << EOS_EResult_ToString(result);
    }
    LOG(INFO) << "[EOS SDK] Shutdown Complete";
}

bool EpicSdkService::isRunning() {
    SdkState& state = State();
    return state.initialised.load() && !state.shutDown.load();
}

std::shared_ptr<const EosGameInfo> EpicSdkService::currentGameInfo() {
    SdkState& state = State();
    std::lock_guard<std::mutex> lock(state.infoMutex);
    return state.info;
}

void EOS_CALL EOSSDKLoggingCallback(const EOS_LogMessage* message) {
    try {
        if (message == nullptr) return;
        const int level = static_cast<int>(message->Level);
        if (level == 0) return;
        const char* category = message->Category != nullptr ? message->Category : "";
        const char* text = message->Message != nullptr ? message->Message : "";
        if (level == 100 || level == 200) {
            LOG(ERROR) << "[EOS SDK] " << category << ": " << text;
        } else if (level == 300) {
            LOG(WARNING) << "[EOS SDK] " << category << ": " << text;
        } else {
            LOG(DEBUG) << "[EOS SDK] " << category << ": " << text;
        }
    } catch (...) {
        // Nothing may unwind into EOS.
    }
}

}  // namespace VondSdk
