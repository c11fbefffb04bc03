// The stand-in's platform: results, account ids, the SDK's lifetime and logging, integrated
// platform containers, and the platform itself with its tick, which delivers the completions
// the other interfaces queue.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scenario.h"
#include "sim_state.h"

using namespace eossim;

namespace {

bool ValidId(const char* text, size_t maxLength) {
    return text != nullptr && *text != '\0' && std::strlen(text) <= maxLength;
}

}  // namespace

// ---- results ----

EOS_DECLARE_FUNC(const char*) EOS_EResult_ToString(EOS_EResult Result) {
    const char* name = ResultName(Result);
    return name != nullptr ? name : "EOS_UnknownResult";
}

EOS_DECLARE_FUNC(EOS_Bool) EOS_EResult_IsOperationComplete(EOS_EResult Result) {
    return Result == EOS_EResult::EOS_OperationWillRetry ? EOS_FALSE : EOS_TRUE;
}

// ---- account ids ----

EOS_DECLARE_FUNC(EOS_Bool) EOS_EpicAccountId_IsValid(EOS_EpicAccountId AccountId) {
    Lock lock = Enter("EOS_EpicAccountId_IsValid");
    return IsLiveId(S(), AccountId) ? EOS_TRUE : EOS_FALSE;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_EpicAccountId_ToString(EOS_EpicAccountId AccountId, char* OutBuffer,
                                                         int32_t* InOutBufferLength) {
    Lock lock = Enter("EOS_EpicAccountId_ToString");
    if (OutBuffer == nullptr || InOutBufferLength == nullptr) return EOS_EResult::EOS_InvalidParameters;
    if (!IsLiveId(S(), AccountId)) return EOS_EResult::EOS_InvalidUser;
    return CopyText(AccountId->text, OutBuffer, InOutBufferLength);
}

EOS_DECLARE_FUNC(EOS_EpicAccountId) EOS_EpicAccountId_FromString(const char* AccountIdString) {
    Lock lock = Enter("EOS_EpicAccountId_FromString");
    if (AccountIdString == nullptr) return nullptr;
    return InternId(S(), AccountIdString);
}

// ---- SDK lifetime and logging ----

EOS_DECLARE_FUNC(EOS_EResult) EOS_Initialize(const EOS_InitializeOptions* Options) {
    Lock lock = Enter("EOS_Initialize");
    Sim& sim = S();
    if (sim.initialized) return EOS_EResult::EOS_AlreadyConfigured;
    if (Options == nullptr || Options->ApiVersion < 1 || Options->ApiVersion > EOS_INITIALIZE_API_LATEST) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (!ValidId(Options->ProductName, 64) || !ValidId(Options->ProductVersion, 64)) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    const bool allocator = Options->AllocateMemoryFunction != nullptr;
    if (!allocator && (Options->ReallocateMemoryFunction != nullptr || Options->ReleaseMemoryFunction != nullptr)) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (allocator && (Options->ReallocateMemoryFunction == nullptr || Options->ReleaseMemoryFunction == nullptr)) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (Options->Reserved != nullptr) return EOS_EResult::EOS_InvalidParameters;
    sim.initialized = true;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Shutdown(void) {
    Lock lock = Enter("EOS_Shutdown");
    Sim& sim = S();
    if (!sim.initialized) return EOS_EResult::EOS_NotConfigured;
    if (sim.shutDown) return EOS_EResult::EOS_UnexpectedError;
    sim.shutDown = true;
    sim.logCallback = nullptr;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Logging_SetCallback(EOS_LogMessageFunc Callback) {
    Lock lock = Enter("EOS_Logging_SetCallback");
    Sim& sim = S();
    if (!sim.initialized || sim.shutDown) return EOS_EResult::EOS_NotConfigured;
    sim.logCallback = Callback;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(EOS_EResult) EOS_Logging_SetLogLevel(EOS_ELogCategory LogCategory, EOS_ELogLevel LogLevel) {
    Lock lock = Enter("EOS_Logging_SetLogLevel");
    Sim& sim = S();
    if (!sim.initialized || sim.shutDown) return EOS_EResult::EOS_NotConfigured;
    if (LogCategory == EOS_ELogCategory::EOS_LC_ALL_CATEGORIES) {
        sim.defaultLogLevel = static_cast<int>(LogLevel);
        sim.logLevels.clear();
    } else {
        sim.logLevels[static_cast<int>(LogCategory)] = static_cast<int>(LogLevel);
    }
    return EOS_EResult::EOS_Success;
}

// ---- integrated platforms ----

EOS_DECLARE_FUNC(EOS_EResult) EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainer(
    const EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainerOptions* Options,
    EOS_HIntegratedPlatformOptionsContainer* OutIntegratedPlatformOptionsContainerHandle) {
    Lock lock = Enter("EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainer");
    if (Options == nullptr || OutIntegratedPlatformOptionsContainerHandle == nullptr) {
        return EOS_EResult::EOS_InvalidParameters;
    }
    if (Options->ApiVersion < 1) return EOS_EResult::EOS_IncompatibleVersion;
    Sim& sim = S();
    if (EOS_EResult failure = Failure(sim, "integratedPlatformContainer"); failure != EOS_EResult::EOS_Success) {
        *OutIntegratedPlatformOptionsContainerHandle = nullptr;
        return failure;
    }
    auto* container = new EOS_IntegratedPlatformOptionsContainerHandle();
    sim.containers.insert(container);
    *OutIntegratedPlatformOptionsContainerHandle = container;
    return EOS_EResult::EOS_Success;
}

EOS_DECLARE_FUNC(void) EOS_IntegratedPlatformOptionsContainer_Release(
    EOS_HIntegratedPlatformOptionsContainer IntegratedPlatformOptionsContainerHandle) {
    Lock lock = Enter("EOS_IntegratedPlatformOptionsContainer_Release");
    Sim& sim = S();
    if (sim.containers.erase(IntegratedPlatformOptionsContainerHandle) != 0) {
        delete IntegratedPlatformOptionsContainerHandle;
    }
}

// ---- platform ----

namespace {

// A creation held by a test waits here, before the stand-in's own lock, so that the test can
// watch the SDK meanwhile.
struct CreateHold {
    std::mutex mutex;
    std::condition_variable released;
    bool held = false;  // guarded by mutex
    int waiting = 0;    // guarded by mutex
};

CreateHold& Hold() {
    static CreateHold* hold = new CreateHold();
    return *hold;
}

}  // namespace

EOS_DECLARE_FUNC(int32_t) EOSSim_HoldPlatformCreate(int32_t Held) {
    CreateHold& hold = Hold();
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.held = Held != 0;
    if (!hold.held) hold.released.notify_all();
    return hold.waiting;
}

EOS_DECLARE_FUNC(EOS_HPlatform) EOS_Platform_Create(const EOS_Platform_Options* Options) {
    {
        CreateHold& hold = Hold();
        std::unique_lock<std::mutex> wait(hold.mutex);
        ++hold.waiting;
        hold.released.wait(wait, [&] { return !hold.held; });
        --hold.waiting;
    }
    Lock lock = Enter("EOS_Platform_Create");
    Sim& sim = S();
    auto refuse = [&](const std::string& why) -> EOS_HPlatform {
        LogLine line = PrepareLog(sim, EOS_ELogCategory::EOS_LC_Core, "LogEOS", EOS_ELogLevel::EOS_LOG_Error,
                                  "EOS_Platform_Create failed: " + why);
        lock.unlock();
        Emit(line);
        return nullptr;
    };
    if (!sim.initialized || sim.shutDown) return refuse("the SDK is not initialized");
    if (Options == nullptr || Options->ApiVersion < 1 || Options->ApiVersion > EOS_PLATFORM_OPTIONS_API_LATEST) {
        return refuse("invalid options");
    }
    if (Options->Reserved != nullptr) return refuse("Reserved must be NULL");
    if (!ValidId(Options->ProductId, EOS_PLATFORM_OPTIONS_PRODUCTID_MAX_LENGTH)) return refuse("invalid ProductId");
    if (!ValidId(Options->SandboxId, EOS_PLATFORM_OPTIONS_SANDBOXID_MAX_LENGTH)) return refuse("invalid SandboxId");
    if (!ValidId(Options->DeploymentId, EOS_PLATFORM_OPTIONS_DEPLOYMENTID_MAX_LENGTH)) {
        return refuse("invalid DeploymentId");
    }
    const char* clientId = Options->ClientCredentials.ClientId;
    const char* clientSecret = Options->ClientCredentials.ClientSecret;
    const bool hasId = clientId != nullptr && *clientId != '\0';
    const bool hasSecret = clientSecret != nullptr && *clientSecret != '\0';
    if (hasId != hasSecret) return refuse("client credentials need both an id and a secret");
    if (hasId && (std::strlen(clientId) > 64 || std::strlen(clientSecret) > 64)) {
        return refuse("client credentials too long");
    }
    if (Options->EncryptionKey != nullptr && std::strlen(Options->EncryptionKey) != EOS_PLATFORM_OPTIONS_ENCRYPTIONKEY_LENGTH) {
        return refuse("EncryptionKey must be 64 hex digits");
    }
    if (Options->OverrideCountryCode != nullptr && std::strlen(Options->OverrideCountryCode) > EOS_COUNTRYCODE_MAX_LENGTH) {
        return refuse("invalid OverrideCountryCode");
    }
    if (Options->OverrideLocaleCode != nullptr && std::strlen(Options->OverrideLocaleCode) > EOS_LOCALECODE_MAX_LENGTH) {
        return refuse("invalid OverrideLocaleCode");
    }
    if (sim.failPlatformCreate) return refuse("refused by the scenario");
    auto* platform = new EOS_PlatformHandle();
    platform->sandboxId = Options->SandboxId;
    platform->clientId = hasId ? clientId : "";
    sim.platforms.insert(platform);
    return platform;
}

EOS_DECLARE_FUNC(void) EOS_Platform_Release(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_Release");
    Sim& sim = S();
    if (Live(sim, Handle) == nullptr) return;
    sim.platforms.erase(Handle);
    // Completions not yet delivered die with the platform, as with the real SDK.
    std::unique_ptr<EOS_PlatformHandle> gone(Handle);
    std::deque<Pending> dropped;
    dropped.swap(gone->pending);
    lock.unlock();
}

namespace {
thread_local int t_tickDepth = 0;
struct TickDepth {
    TickDepth() { ++t_tickDepth; }
    ~TickDepth() { --t_tickDepth; }
};
}  // namespace

EOS_DECLARE_FUNC(void) EOS_Platform_Tick(EOS_HPlatform Handle) {
    std::vector<std::function<void()>> due;
    TickDepth depth;
    {
        Sim& sim = S();
        Lock lock(sim.mutex);
        EnsureScenarioLocked(sim);
        if (t_tickDepth > 1) ++sim.nestedTicks;
        // Not Enter: the tick names the ticking thread, so it is never a call off that thread.
        CountCall(sim, "EOS_Platform_Tick");
        sim.ticked = true;
        sim.tickThread = std::this_thread::get_id();
        EOS_PlatformHandle* platform = Live(sim, Handle);
        if (platform == nullptr || platform->pending.empty()) return;
        std::deque<Pending> keep;
        for (Pending& item : platform->pending) {
            if (--item.ticksLeft <= 0) {
                due.push_back(std::move(item.deliver));
            } else {
                keep.push_back(std::move(item));
            }
        }
        platform->pending.swap(keep);
    }
    for (auto& deliver : due) deliver();
}

EOS_DECLARE_FUNC(EOS_HAuth) EOS_Platform_GetAuthInterface(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_GetAuthInterface");
    EOS_PlatformHandle* platform = Live(S(), Handle);
    return platform ? &platform->auth : nullptr;
}

EOS_DECLARE_FUNC(EOS_HConnect) EOS_Platform_GetConnectInterface(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_GetConnectInterface");
    EOS_PlatformHandle* platform = Live(S(), Handle);
    return platform ? &platform->connect : nullptr;
}

EOS_DECLARE_FUNC(EOS_HEcom) EOS_Platform_GetEcomInterface(EOS_HPlatform Handle) {
    Lock lock = Enter("EOS_Platform_GetEcomInterface");
    EOS_PlatformHandle* platform = Live(S(), Handle);
    return platform ? &platform->ecom : nullptr;
}
