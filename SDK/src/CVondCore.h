// CVondCore: the SDK's central object. One instance, created when the library loads and
// never destroyed. Holds the request parameters, the start-up and login flags, the game
// user's details and the backend session.
#pragma once

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "VondProxy.h"

namespace VondSdk {

// The eight values every backend request carries. Written by start-up before any request
// is built; copied by every request builder.
struct GlobalParams {
    std::string appId;
    std::string appKey;
    std::string os;
    std::string sdkVer;
    std::string sdkType;
    std::string clientId;
    std::string runPlatform;
    std::string gamePlatform;
};

struct GameUserInfo {
    std::string serverId;
    std::string gameUserId;
    std::string nickName;
    int32_t level = 0;
};

class CVondCore {
public:
    static CVondCore& Instance();

    // Start-up; blocks the caller until the client configuration has answered (or the
    // start-up deadline passed). The outcome goes to callback (which may be null). One
    // start-up runs at a time: a call made while another runs waits for it and answers "Sdk
    // already init." when it succeeded, -402 when it failed. After Exit every Init answers
    // -402 (EOS cannot start twice in one process), unless EOS is kept between sessions.
    void InitSdk(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                 ResultCallback callback);
    // The same start-up on a thread of the SDK's own; returns at once. finished (may be
    // empty) runs on that thread after the outcome was reported. False when the OS refused the
    // thread: nothing was started and nothing is reported.
    bool InitSdkAsync(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                      ResultCallback callback, std::function<void()> finished);

    // Opt-in for engines that keep the library loaded across play sessions: Exit then stops
    // the SDK's own work but leaves the EOS SDK and its platform up, and the next Init starts
    // a new session on them. Only before the first Init; false (unchanged) afterwards.
    bool SetKeepEosBetweenSessions(bool keep);
    bool KeepsEosBetweenSessions() const { return keepEos_.load(); }
    // How long start-up waits for the client configuration; zero (the default) waits as long
    // as the transport's own bounds. Past it the request counts as failed for start-up.
    void SetStartupTimeout(std::chrono::milliseconds timeout) { startupTimeoutMs_.store(timeout.count()); }
    void InitGlobalParams(std::string appId, std::string appKey);

    // True when start-up succeeded; otherwise tells callback -401 (unless null).
    bool CheckInit(ResultCallback callback);
    void CallPay(std::string productId, std::string extInfo, ResultCallback callback);
    void PostEvent(const std::string& eventName, const std::string& params, double value);
    // Starts the Epic login; runs on the thread that Login started.
    void Login(ResultCallback callback);

    void SetServerId(std::string serverId);
    void SetGameUserId(std::string gameUserId);
    void SetNickName(std::string nickName);
    void SetLevel(int level);

    void Exit();

    // Copies for other threads; each is consistent in itself.
    GlobalParams GetGlobalParams() const;
    GameUserInfo GetGameUserInfo() const;
    std::string GetUserId() const;
    std::string GetToken() const;
    // Stored by the backend account login (worker thread).
    void SetSession(std::string token, std::string userId);

    bool IsInited() const { return inited_.load(); }
    // True from the start of Exit until the next session begins (for ever without the keep
    // option): the request pool does not serve then.
    bool IsExited() const;
    // Counts the sessions ended by Exit; work of an earlier session checks it before it
    // reaches the game of a later one. Any thread.
    uint64_t Session() const { return session_.load(); }
    bool IsLoggedIn() const { return loggedIn_.load(); }
    void SetLoggedIn(bool value) { loggedIn_.store(value); }
    bool IsProductsLoaded() const { return productsLoaded_.load(); }
    void SetProductsLoaded(bool value) { productsLoaded_.store(value); }

private:
    CVondCore() = default;

    // Idle -> Starting -> Running -> Exited, or Starting -> Idle when start-up failed (a later
    // Init may try again). Exit moves every state to Exited. Guarded by lifecycleMutex_;
    // inited_ mirrors Running for the lock-free checks.
    // With EOS kept between sessions, Exit moves to Exiting and then back to Idle instead; an
    // Exit that returned while a start-up it interrupted still ran leaves Exiting to that
    // start-up, which moves to Idle as it leaves.
    enum class Lifecycle { Idle, Starting, Running, Exiting, Exited };
    bool StartUp(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                 ResultCallback callback, uint64_t session);
    // True when Exit ended the session start-up began in.
    bool SessionEnded(uint64_t session) const;
    // Forgets the player, the products and the game user of the session that ended.
    void ResetSession();

    mutable std::mutex lifecycleMutex_;
    std::condition_variable lifecycleChanged_;
    Lifecycle lifecycle_ = Lifecycle::Idle;
    bool startupRunning_ = false;  // guarded by lifecycleMutex_
    // Exit returned during a start-up: the start-up, as it leaves, moves Exiting to Idle
    // (EOS kept) or takes EOS down (EOS not kept). Guarded by lifecycleMutex_.
    bool idleWhenStartupLeaves_ = false;
    bool eosShutdownLeftToStartup_ = false;
    bool initCalled_ = false;      // guarded by lifecycleMutex_
    std::atomic<uint64_t> session_{0};
    std::atomic<bool> keepEos_{false};
    std::atomic<int64_t> startupTimeoutMs_{0};

    mutable std::mutex fieldsMutex_;  // guards globalParams_, gameUserInfo_, token_, userId_
    GlobalParams globalParams_;
    std::atomic<bool> inited_{false};
    std::atomic<bool> loggedIn_{false};
    std::atomic<bool> productsLoaded_{false};
    GameUserInfo gameUserInfo_;
    std::string token_;
    std::string userId_ = "-1";
};

}  // namespace VondSdk
