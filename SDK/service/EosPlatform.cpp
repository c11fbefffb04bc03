#include "service/EosPlatform.h"

#include <atomic>
#include <exception>
#include <string>
#include <vector>

#include "easylogging++.h"
#include "eos_integratedplatform.h"
#include "platform/Platform.h"
#include "service/EosRtcOptions.h"
#include "utils/GameCalls.h"
#include "utils/VondConfigUtils.h"

namespace VondSdk {
namespace {

constexpr char kCreateFailed[] = "[EOS SDK] Platform Create Failed!";
constexpr char kInvalidParameters[] =
    "One or more parameters required for EOS_Platform_Create are invalid. Check SampleConstants have been set up "
    "correctly.";
constexpr uint64_t kOverlayFlags =
    EOS_PF_WINDOWS_ENABLE_OVERLAY_D3D9 | EOS_PF_WINDOWS_ENABLE_OVERLAY_D3D10 | EOS_PF_WINDOWS_ENABLE_OVERLAY_OPENGL;

struct PlatformState {
    std::atomic<EOS_HPlatform> handle{nullptr};
    std::atomic<bool> created{false};
    std::atomic<bool> released{false};
    std::atomic<bool> productIdEmpty{false};
    std::atomic<bool> sandboxIdEmpty{false};
    std::atomic<bool> deploymentIdEmpty{false};
    std::atomic<bool> credentialsInvalid{false};
    std::atomic<bool> createFailureReported{false};
    std::atomic<bool> invalidParametersReported{false};

    std::recursive_mutex eos;
    std::mutex queueMutex;  // guards queue
    std::vector<std::function<void()>> queue;
    std::atomic<size_t> queued{0};
};

PlatformState& State() {
    // Never destroyed: detached threads may still hand in work while the process ends.
    static PlatformState* state = new PlatformState();
    return *state;
}

thread_local int t_updateDepth = 0;
// Counts the whole of Update on this thread, the game's callbacks after the tick included: a
// callback that pumps again must not tick EOS inside the tick it came from.
thread_local int t_pumpDepth = 0;

struct PumpScope {
    PumpScope() { ++t_pumpDepth; }
    ~PumpScope() { --t_pumpDepth; }
};

struct UpdateScope {
    UpdateScope() { ++t_updateDepth; }
    ~UpdateScope() { --t_updateDepth; }
};

constexpr char kQueuedWorkFailed[] = "[EOS SDK] queued work failed";

// Runs what other threads handed in, in order. Work handed in meanwhile waits for the next
// round, so one Update never runs unbounded.
void RunQueued(PlatformState& state) {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> lock(state.queueMutex);
        work.swap(state.queue);
        state.queued.store(0);
    }
    for (const auto& item : work) RunGuarded(item, kQueuedWorkFailed);
}

}  // namespace

bool FPlatform::Create(const EosGameInfo& info) {
    PlatformState& state = State();
    std::lock_guard<std::recursive_mutex> eos(state.eos);
    state.created.store(false);
    const std::string cacheDirectory = platform::JoinPath(GetSdkDataDir(), "temp");

    state.productIdEmpty.store(info.productId.empty());
    if (info.productId.empty()) LOG(ERROR) << "[EOS SDK] Product Id is empty";
    state.sandboxIdEmpty.store(info.sandboxId.empty());
    if (info.sandboxId.empty()) LOG(ERROR) << "[EOS SDK] Sandbox Id is empty";
    state.deploymentIdEmpty.store(info.deploymentId.empty());
    if (info.deploymentId.empty()) LOG(ERROR) << "[EOS SDK] Deployment Id is empty";
    const bool halfCredentials = info.clientId.empty() != info.clientSecret.empty();
    state.credentialsInvalid.store(halfCredentials);
    if (halfCredentials) {
        LOG(ERROR) << "[EOS SDK] Client credentials are invalid, check clientid and clientsecret in SampleConstants";
    }
    if (info.productId.empty() || info.sandboxId.empty() || info.deploymentId.empty() || halfCredentials) return false;

    // EOS keeps its cache there and expects the folder to exist.
    platform::CreateDir(cacheDirectory);

    EOS_Platform_Options options{};
    options.ApiVersion = EOS_PLATFORM_OPTIONS_API_LATEST;
    options.Reserved = nullptr;
    options.ProductId = info.productId.c_str();
    options.SandboxId = info.sandboxId.c_str();
    options.DeploymentId = info.deploymentId.c_str();
    if (!info.clientId.empty()) {
        options.ClientCredentials.ClientId = info.clientId.c_str();
        options.ClientCredentials.ClientSecret = info.clientSecret.c_str();
    }
    options.bIsServer = EOS_FALSE;
    options.EncryptionKey = nullptr;
    options.OverrideCountryCode = nullptr;
    options.OverrideLocaleCode = nullptr;
    options.Flags = kOverlayFlags;
    options.CacheDirectory = cacheDirectory.c_str();
    options.TickBudgetInMilliseconds = 0;
    options.SystemSpecificOptions = nullptr;
    options.TaskNetworkTimeoutSeconds = nullptr;

    EosRtcPlatformOptions rtcPlatform;
    EOS_Platform_RTCOptions rtc{};
    rtc.ApiVersion = EOS_PLATFORM_RTCOPTIONS_API_LATEST;
    rtc.PlatformSpecificOptions = rtcPlatform.Get();
    rtc.BackgroundMode = EOS_ERTCBackgroundMode::EOS_RTCBM_LeaveRooms;
    options.RTCOptions = &rtc;

    EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainerOptions containerOptions{};
    containerOptions.ApiVersion = EOS_INTEGRATEDPLATFORM_CREATEINTEGRATEDPLATFORMOPTIONSCONTAINER_API_LATEST;
    EOS_HIntegratedPlatformOptionsContainer container = nullptr;
    const EOS_EResult containerResult =
        EOS_IntegratedPlatform_CreateIntegratedPlatformOptionsContainer(&containerOptions, &container);
    if (containerResult != EOS_EResult::EOS_Success) {
        LOG(ERROR) << "Failed to create integrated platform options container: " << EOS_EResult_ToString(containerResult);
        container = nullptr;
    }
    options.IntegratedPlatformOptionsContainerHandle = container;

    EOS_HPlatform handle = EOS_Platform_Create(&options);
    if (container != nullptr) EOS_IntegratedPlatformOptionsContainer_Release(container);
    if (handle == nullptr) return false;
    state.handle.store(handle);
    state.released.store(false);
    state.created.store(true);
    return true;
}

void FPlatform::Update() {
    if (t_pumpDepth > 0) return;
    PumpScope pump;
    PlatformState& state = State();
    GameCallScope gameCalls;
    {
        // EOS starting or stopping on the start-up thread holds the lock for as long as EOS
        // takes (a real one loads its overlay and caches there): the frame never waits for
        // it, and ticks again once the platform exists. EOS calls stay one thread at a time.
        std::unique_lock<std::recursive_mutex> eos(state.eos, std::try_to_lock);
        if (!eos.owns_lock()) return;
        UpdateScope scope;
        if (state.queued.load(std::memory_order_acquire) != 0) RunQueued(state);
        if (EOS_HPlatform handle = state.handle.load()) EOS_Platform_Tick(handle);
    }
    // The completions' answers to the game, now that no SDK lock is held.
    gameCalls.Flush();
    if (!state.created.load() && !state.released.load() && !state.createFailureReported.exchange(true)) {
        LOG(ERROR) << kCreateFailed;
    }
    if ((state.productIdEmpty.load() || state.sandboxIdEmpty.load() || state.deploymentIdEmpty.load() ||
         state.credentialsInvalid.load()) &&
        !state.invalidParametersReported.exchange(true)) {
        LOG(ERROR) << kInvalidParameters;
    }
}

EOS_HPlatform FPlatform::GetPlatformHandle() {
    return State().handle.load();
}

bool FPlatform::IsCreated() {
    return State().created.load();
}

EOS_HEcom FPlatform::GetEcomInterface() {
    EOS_HPlatform platform = GetPlatformHandle();
    return platform != nullptr ? EOS_Platform_GetEcomInterface(platform) : nullptr;
}

void FPlatform::RunOnTickThread(std::function<void()> work) {
    if (!work) return;
    PlatformState& state = State();
    // After shut-down no EOS call can be made any more: the work runs at once and finds no
    // platform, so its operation ends now instead of waiting for a tick that never comes.
    if (t_updateDepth > 0 || state.released.load()) {
        RunGuarded(work, kQueuedWorkFailed);
        return;
    }
    std::lock_guard<std::mutex> lock(state.queueMutex);
    state.queue.push_back(std::move(work));
    state.queued.store(state.queue.size(), std::memory_order_release);
}

bool FPlatform::OnTickThread() {
    return t_updateDepth > 0;
}

void FPlatform::Release() {
    PlatformState& state = State();
    GameCallScope gameCalls;
    {
        std::lock_guard<std::recursive_mutex> eos(state.eos);
        if (EOS_HPlatform handle = state.handle.exchange(nullptr)) EOS_Platform_Release(handle);
        state.created.store(false);
        state.released.store(true);
        // Work handed in before shut-down ends now, each with its failure, told to the game
        // once the lock is released.
        RunQueued(state);
    }
    gameCalls.Flush();
}

std::recursive_mutex& FPlatform::EosMutex() {
    return State().eos;
}

size_t FPlatform::PendingWork() {
    return State().queued.load();
}

}  // namespace VondSdk
