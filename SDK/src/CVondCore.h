// CVondCore: the SDK's central object. One instance, created when the library loads and
// never destroyed. Holds the request parameters, the start-up and login flags, the game
// user's details and the backend session.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
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

    // Start-up; blocks the caller until the client configuration has answered. The outcome
    // goes to callback (which may be null). One start-up runs at a time: a call made while
    // another runs waits for it and answers "Sdk already init." when it succeeded, -402 when
    // it failed. After Exit every Init answers -402: EOS cannot start twice in one process.
    void InitSdk(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                 ResultCallback callback);
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
    // True once Exit has begun; the SDK never serves again in this process.
    bool IsExited() const;
    bool IsLoggedIn() const { return loggedIn_.load(); }
    void SetLoggedIn(bool value) { loggedIn_.store(value); }
    bool IsProductsLoaded() const { return productsLoaded_.load(); }
    void SetProductsLoaded(bool value) { productsLoaded_.store(value); }

private:
    CVondCore() = default;

    // Idle -> Starting -> Running -> Exited, or Starting -> Idle when start-up failed (a later
    // Init may try again). Exit moves every state to Exited. Guarded by lifecycleMutex_;
    // inited_ mirrors Running for the lock-free checks.
    enum class Lifecycle { Idle, Starting, Running, Exited };
    bool StartUp(std::string appId, std::string appKey, std::shared_ptr<EosGameInfo> gameInfo,
                 ResultCallback callback);

    mutable std::mutex lifecycleMutex_;
    std::condition_variable lifecycleChanged_;
    Lifecycle lifecycle_ = Lifecycle::Idle;

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
