#include "src/CVondCore.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "easylogging++.h"
#include "http/CVondApi.h"
#include "http/CVondHttp.h"
#include "http/SionAsync.h"
#include "platform/Platform.h"
#include "service/EosPlatform.h"
#include "service/EpicLoginService.h"
#include "service/EpicSdkService.h"
#include "src/CVondEventOutbox.h"
#include "src/CVondPay.h"
#include "src/CVondTrack.h"
#include "src/CVondUser.h"
#include "src/OrderWriter.h"
#include "src/ResultCodes.h"
#include "utils/GameCalls.h"
#include "utils/KeptClientConfig.h"
#include "utils/VondConfigUtils.h"
#include "utils/VondJson.h"
#include "utils/VondLogging.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

constexpr char kAttributionFlag[] = "AttributionFlag";
constexpr char kEventsNotWritten[] = "Exit: event writer did not finish in time";
constexpr char kOrdersNotWritten[] = "Exit: order writer did not finish in time";
// Exit returns within this on the game's thread, in every mode: what is still running then
// (EOS work of the session, writes, a worker inside a completion, a start-up it interrupted)
// finishes on its own thread.
constexpr std::chrono::milliseconds kExitBound(900);
// Of that: with EOS kept, how long EOS may finish the login or checkout the session started,
// so that few of their completions land in the next session (those that do are told apart by
// their session).
constexpr std::chrono::milliseconds kEosSettleBound(300);
// What the disk gets, order records and events together.
constexpr std::chrono::milliseconds kExitWriteBound(500);
constexpr char kDeadlinePassed[] = "Http Code:, Msg:Client config not answered within the start-up deadline";
constexpr char kKeptConfigUsed[] = "Client config request failed, EOS ids taken from the kept config";
constexpr char kEosKept[] = "[EOS SDK] Kept from the last session";
constexpr char kStaleLogin[] = "Epic login of an ended session dropped";
constexpr char kEosWorkLeft[] = "Exit: EOS work of the session still running";
constexpr char kWorkersLeft[] = "Exit: a request worker is still inside a completion";
constexpr char kStartupLeft[] = "Exit: the interrupted start-up ends on its own thread";

// Set on the thread running a start-up: Exit called from there (a game callback of the
// start-up) must not wait for that very start-up.
thread_local bool t_inStartup = false;

void Report(ResultCallback callback, int code, const std::string& message) {
    AnswerGame(callback, code, ToWide(message), std::wstring());
}

// A number member read as an integer; anything else, or a number past 64 bits, counts as absent.
int64_t IntMember(const nlohmann::json& object, const char* key) {
    return IntegerMember(object, key, 0);
}

std::string StringMember(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return std::string();
    auto it = object.find(key);
    return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

void IgnoreResult(int, std::wstring, std::wstring) {}

// What one start-up shares with the client-configuration completion.
struct StartupWait {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    // Claimed once, by the answer or by the deadline: the game hears of the request once.
    bool answered = false;
    nlohmann::json clientConfig;
};

// Every start-up still waiting, so that Exit releases each of them (two games' threads may
// call Init at once).
std::mutex g_startupMutex;
std::vector<std::weak_ptr<StartupWait>> g_waitingStartups;

void FinishStartupWait(const std::shared_ptr<StartupWait>& wait) {
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->done = true;
    wait->cond.notify_all();
}

// Sets done when the completion leaves, however it leaves.
struct FinishOnExit {
    const std::shared_ptr<StartupWait>& wait;
    ~FinishOnExit() { FinishStartupWait(wait); }
};

void SendAttribution() {
    CVondApi::Instance().RequestAttribution([](HttpResp resp) {
        if (resp.code != kCodeOk) return;
        VondConfigUtils::UpdateConfigJson(false, [](nlohmann::json& conf) {
            conf[kAttributionFlag] = 1;
            return true;
        });
        LOG(INFO) << "Send Attribution Success.";
    });
}

// The client-configuration answer, on a pool worker. Everything start-up must queue before
// EOS starts is queued before done is set; the game's callback is called without any SDK
// lock held, and before done, so the game hears of a failed request before the outcome.
void OnClientConfig(const std::shared_ptr<StartupWait>& wait, ResultCallback callback, const HttpResp& resp) {
    FinishOnExit finish{wait};
    try {
        if (resp.code == kCodeOk) {
            nlohmann::json config = nlohmann::json::parse(ToUtf8(resp.data), nullptr, false);
            if (!config.is_discarded() && IntMember(config, "isTestDevice") == 1) ConfigureLogging(true);
            {
                std::lock_guard<std::mutex> lock(wait->mutex);
                wait->answered = true;
                wait->clientConfig = config.is_discarded() ? nlohmann::json() : config;
            }
            if (!config.is_discarded()) keptconfig::Keep(config);
            // Loaded ahead of the first purchase, which then needs no product request of its own.
            CVondPay::Instance().QueryProducts(&IgnoreResult);
            // An unreadable AppConf may hold the flag: the attribution waits for a start-up
            // that can read it rather than being sent twice.
            nlohmann::json appConf;
            if (ReadConfigJson(false, appConf) && IntMember(appConf, kAttributionFlag) == 0) SendAttribution();
        } else {
            bool tell = false;
            {
                std::lock_guard<std::mutex> lock(wait->mutex);
                tell = !wait->answered;
                wait->answered = true;
            }
            // Past the deadline the game has heard of this request already.
            if (tell && callback != nullptr) callback(resp.code, resp.msg, resp.data);
        }
    } catch (const std::exception& e) {
        LOG(ERROR) << "Client config handling failed: " << e.what();
    } catch (...) {
        // The game's callback may throw anything; start-up must still go on.
        LOG(ERROR) << "Client config handling failed";
    }
}

// Fills the fields the game left empty. A null or unparsable configuration only leaves its
// fields empty (StringMember reads nothing from a non-object).
void FillGameInfo(const nlohmann::json& clientConfig, EosGameInfo& gameInfo) {
    auto fill = [](std::string& field, const std::string& value) {
        if (field.empty()) field = value;
    };
    fill(gameInfo.deploymentId, ToUtf8(LaunchArgs::Get(L"epicdeploymentid")));
    fill(gameInfo.sandboxId, ToUtf8(LaunchArgs::Get(L"epicsandboxid")));
    fill(gameInfo.productName, StringMember(clientConfig, "epicGameName"));
    fill(gameInfo.productVersion, "1.0.0");
    fill(gameInfo.productId, StringMember(clientConfig, "epicProductId"));
    fill(gameInfo.clientId, StringMember(clientConfig, "epicClientCredentialsId"));
    fill(gameInfo.clientSecret, StringMember(clientConfig, "epicClientCredentialsSecret"));
}

// Ticks EOS until the EOS operations the SDK started are over (bounded): with EOS kept
// between sessions their completions would otherwise land in the next session.
void SettleEosWork(std::chrono::steady_clock::time_point deadline) {
    if (FPlatform::OnTickThread()) return;  // Exit from inside the tick: nothing can tick now
    auto idle = [] {
        return !EpicLoginService::isLoggingIn() && CVondPay::Instance().RunningCheckouts().empty() &&
               FPlatform::PendingWork() == 0;
    };
    while (!idle()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            LOG(WARNING) << kEosWorkLeft;
            return;
        }
        FPlatform::Update();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

CVondCore& CVondCore::Instance() {
    // Never destroyed, so a worker finishing late at process exit never touches a dead object.
    static CVondCore* core = new CVondCore();
    return *core;
}

void CVondCore::InitSdk(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                        ResultCallback callback) {
    uint64_t session = 0;
    {
        std::unique_lock<std::mutex> lock(lifecycleMutex_);
        initCalled_ = true;
        lifecycleChanged_.wait(lock, [this] {
            return lifecycle_ != Lifecycle::Starting && lifecycle_ != Lifecycle::Exiting;
        });
        switch (lifecycle_) {
            case Lifecycle::Running:
                lock.unlock();
                Report(callback, kCodeOk, kAlreadyInit);
                return;
            case Lifecycle::Exited:
                lock.unlock();
                LOG(WARNING) << "Init after Exit refused: EOS cannot start twice in one process";
                Report(callback, kCodeInitFailure, kInitFailure);
                return;
            default:
                lifecycle_ = Lifecycle::Starting;
                startupRunning_ = true;
                session = session_.load();
                break;
        }
    }
    bool ok = false;
    t_inStartup = true;
    try {
        ok = StartUp(std::move(appId), std::move(appKey), std::move(gameInfo), callback, session);
    } catch (...) {
        ok = false;
    }
    t_inStartup = false;
    bool shutDownEos = false;
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex_);
        startupRunning_ = false;
        const bool current = session_.load() == session;
        if (current && lifecycle_ == Lifecycle::Starting) lifecycle_ = ok ? Lifecycle::Running : Lifecycle::Idle;
        ok = current && lifecycle_ == Lifecycle::Running;
        if (current) inited_.store(ok);
        // What an Exit that returned during this start-up left to it.
        if (std::exchange(idleWhenStartupLeaves_, false) && lifecycle_ == Lifecycle::Exiting) {
            lifecycle_ = Lifecycle::Idle;
        }
        shutDownEos = std::exchange(eosShutdownLeftToStartup_, false);
    }
    if (shutDownEos) EpicSdkService::shutdown();
    lifecycleChanged_.notify_all();
    if (ok) {
        Report(callback, kCodeOk, kInitSuccess);
    } else {
        Report(callback, kCodeInitFailure, kInitFailure);
    }
}

bool CVondCore::InitSdkAsync(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                             ResultCallback callback, std::function<void()> finished) {
    // The thread may outlive an unload of the library by the game.
    platform::PinLibraryCode();
    try {
        std::thread([this, appId = std::move(appId), appKey = std::move(appKey), gameInfo = std::move(gameInfo),
                     callback, finished = std::move(finished)]() mutable {
            RunGuarded([&] { InitSdk(std::move(appId), std::move(appKey), std::move(gameInfo), callback); },
                       "Init failed");
            if (finished) RunGuarded(finished, "Init failed");
        }).detach();
    } catch (const std::system_error& e) {
        LOG(ERROR) << "Start-up thread failed: " << e.what();
        return false;
    }
    return true;
}

bool CVondCore::SetKeepEosBetweenSessions(bool keep) {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (initCalled_) return false;
    keepEos_.store(keep);
    return true;
}

bool CVondCore::SessionEnded(uint64_t session) const {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    return session_.load() != session || lifecycle_ == Lifecycle::Exited;
}

bool CVondCore::IsExited() const {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    return lifecycle_ == Lifecycle::Exited || lifecycle_ == Lifecycle::Exiting;
}

// The start-up itself; the caller holds the Starting state and answers the game.
bool CVondCore::StartUp(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                        ResultCallback callback, uint64_t session) {
    if (!gameInfo) gameInfo = std::make_shared<EosGameInfo>();
    ConfigureLogging(false);
    KeepOutOfLogTarget(appKey);
    InitGlobalParams(std::move(appId), std::move(appKey));

    sion::Async& pool = sion::Pool();
    if (!pool.Started()) {
        try {
            pool.Start();
        } catch (const std::logic_error&) {
            // Another start-up on another thread started it first.
        } catch (const std::system_error& e) {
            // No workers, no backend: start-up cannot go on, and says so once.
            LOG(ERROR) << "Request pool failed to start: " << e.what();
            return false;
        }
    }

    // Some of the SDK's threads cannot be waited for (a name lookup the OS is still running,
    // a login on its own thread): the library's code must stay mapped until the process
    // ends, even when the game unloads it.
    platform::PinLibraryCode();
    CVondTrack::Instance().Init();
    CVondTrack::Instance().PostEvent("qlx_startup", std::string(), std::numeric_limits<double>::quiet_NaN());

    auto wait = std::make_shared<StartupWait>();
    {
        std::lock_guard<std::mutex> lock(g_startupMutex);
        g_waitingStartups.push_back(wait);
    }
    CVondApi::Instance().RequestClientConfig(
        [wait, callback](HttpResp resp) { OnClientConfig(wait, callback, resp); });

    nlohmann::json clientConfig;
    bool deadlinePassed = false;
    {
        // The transport bounds every exchange, so the answer always comes; only a stopped
        // pool (Exit on another thread) drops it, and Exit ends this wait too. The game's
        // deadline, when set, ends it sooner: the request then counts as failed.
        std::unique_lock<std::mutex> lock(wait->mutex);
        auto ready = [&] { return wait->done || pool.Stopped(); };
        const int64_t timeoutMs = startupTimeoutMs_.load();
        if (timeoutMs > 0 && !wait->cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
            if (!wait->answered) {
                wait->answered = true;
                deadlinePassed = true;
            } else {
                // The answer is being handled right now: it is as good as in.
                wait->cond.wait(lock, ready);
            }
        } else {
            wait->cond.wait(lock, ready);
        }
        if (!deadlinePassed) clientConfig = wait->clientConfig;
    }
    if (deadlinePassed) Report(callback, kCodeExchangeFailed, kDeadlinePassed);
    {
        std::lock_guard<std::mutex> lock(g_startupMutex);
        g_waitingStartups.erase(std::remove_if(g_waitingStartups.begin(), g_waitingStartups.end(),
                                               [&](const std::weak_ptr<StartupWait>& entry) {
                                                   auto held = entry.lock();
                                                   return !held || held == wait;
                                               }),
                                g_waitingStartups.end());
    }

    // Exit during the wait: EOS is not started over a stopped SDK.
    if (SessionEnded(session)) return false;
    // A player offline still gets EOS up, with the ids of the last configuration that came.
    if (!clientConfig.is_object() && keptconfig::Load(clientConfig)) LOG(INFO) << kKeptConfigUsed;
    LaunchArgs::Parse(platform::CommandLine());
    FillGameInfo(clientConfig, *gameInfo);
    if (EpicSdkService::isRunning()) {
        // A new session on the EOS SDK and platform that the last one left up.
        LOG(INFO) << kEosKept;
        return true;
    }
    // An Exit that ran while EOS was starting left its shut-down to InitSdk, as this returns.
    const bool ok = EpicSdkService::init(*gameInfo);
    return ok && !SessionEnded(session);
}

bool CVondCore::CheckInit(ResultCallback callback) {
    if (inited_.load()) return true;
    Report(callback, kCodeNotInit, kNotInit);
    return false;
}

void CVondCore::CallPay(std::string productId, std::string extInfo, ResultCallback callback) {
    if (!CheckInit(callback)) return;
    if (!loggedIn_.load()) {
        Report(callback, kCodeNotLogin, kNotLogin);
        return;
    }
    CVondPay::Instance().CreateOrder(std::move(productId), std::move(extInfo), callback);
}

void CVondCore::PostEvent(const std::string& eventName, const std::string& params, double value) {
    CVondTrack::Instance().PostEvent(eventName, params, value);
}

void CVondCore::Login(ResultCallback callback) {
    // The service keeps itself alive until EOS answers; the completion needs nothing of it.
    auto service = std::make_shared<EpicLoginService>();
    const uint64_t session = Session();
    LoginCompletion completion = [callback, session](std::shared_ptr<LoginInfo> info) {
        if (CVondCore::Instance().Session() != session) {
            // EOS answered after the session that asked ended; the next one logs in anew.
            LOG(WARNING) << kStaleLogin;
            return;
        }
        if (!info) {
            Report(callback, kCodeLoginFailure, kLoginFailure);
            return;
        }
        LOG(INFO) << "Epic login success, puserId: " << info->puserId << ", token: " << info->jwtToken;
        CVondUser::Instance().Login(info->puserId, info->jwtToken, callback);
    };
    const std::string exchangeCode = ToUtf8(LaunchArgs::Get(L"AUTH_PASSWORD"));
    KeepOutOfLogTarget(exchangeCode);
    service->login(exchangeCode, completion);
}

void CVondCore::Exit() {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + kExitBound;
    auto left = [&deadline](std::chrono::steady_clock::time_point until) {
        const auto bound = std::min(until, deadline) - std::chrono::steady_clock::now();
        return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(bound), std::chrono::milliseconds(0));
    };
    const bool keep = keepEos_.load();
    bool shutDownEos = !keep;
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex_);
        if (keep) {
            lifecycle_ = Lifecycle::Exiting;
            session_.fetch_add(1);
        } else {
            lifecycle_ = Lifecycle::Exited;
            // EOS starting on the start-up thread holds EOS for as long as it takes: that
            // thread takes EOS down as it leaves, so the game's thread never waits for it.
            if (startupRunning_ && !t_inStartup) {
                eosShutdownLeftToStartup_ = true;
                shutDownEos = false;
            }
        }
        inited_.store(false);
    }
    lifecycleChanged_.notify_all();
    if (keep) SettleEosWork(start + kEosSettleBound);
    // First, while the disk is all it needs: the order records still queued (a settled order,
    // a redeemed one to remove) reach the store, then the events not yet in the outbox's
    // journal are written there; what is unsent goes out at the next start. Bounded, so Exit
    // never waits on a slow disk for long, and never on the network.
    const auto writeDeadline = std::chrono::steady_clock::now() + kExitWriteBound;
    // Order records a full disk refused earlier get one more try.
    if (UnconsumedOrder::getInstance().HasDeferred()) {
        orderwriter::Submit([] { UnconsumedOrder::getInstance().RetryDeferred(); });
    }
    if (!orderwriter::Flush(left(writeDeadline))) LOG(WARNING) << kOrdersNotWritten;
    if (!CVondEventOutbox::Instance().Shutdown(left(writeDeadline))) LOG(WARNING) << kEventsNotWritten;
    if (shutDownEos) EpicSdkService::shutdown();
    // In-flight exchanges are cut short at once; only a worker inside a completion can be late.
    if (!sion::Pool().Stop(left(deadline))) LOG(WARNING) << kWorkersLeft;
    std::vector<std::shared_ptr<StartupWait>> startups;
    {
        std::lock_guard<std::mutex> lock(g_startupMutex);
        for (const auto& entry : g_waitingStartups) {
            if (auto held = entry.lock()) startups.push_back(held);
        }
    }
    // A start-up still waiting for its answer would wait for ever: the stopped pool drops it.
    for (const auto& startup : startups) FinishStartupWait(startup);
    if (keep) {
        // The next session finds the store as this one left it, and a pool that starts anew.
        if (!orderwriter::Flush(left(deadline))) LOG(WARNING) << "Exit: order writes still pending";
        sion::Pool().Reset();
        EpicLoginService::clearLoggedInAccount();
        ResetSession();
        {
            std::lock_guard<std::mutex> lock(lifecycleMutex_);
            if (lifecycle_ == Lifecycle::Exiting) {
                if (startupRunning_ && !t_inStartup) {
                    // The next Init waits for it; the game's thread does not.
                    idleWhenStartupLeaves_ = true;
                    LOG(INFO) << kStartupLeft;
                } else {
                    lifecycle_ = Lifecycle::Idle;
                }
            }
        }
        lifecycleChanged_.notify_all();
    }
    LOG(INFO) << "Excute Exit.";
}

void CVondCore::ResetSession() {
    loggedIn_.store(false);
    productsLoaded_.store(false);
    {
        std::lock_guard<std::mutex> lock(fieldsMutex_);
        token_.clear();
        userId_ = "-1";
        gameUserInfo_ = GameUserInfo();
    }
    CVondPay::Instance().ResetSession();
    CVondUser::ResetSession();
}

namespace {
// Built while the library loads, before the game can call anything.
CVondCore& kCoreAtLoad = CVondCore::Instance();
}  // namespace

}  // namespace VondSdk
