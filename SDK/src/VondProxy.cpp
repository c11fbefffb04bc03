// The exported functions: convert the game's wide strings and forward. Nothing thrown inside
// the SDK may unwind into the game, whose compiler settings the SDK does not control.
#include "VondProxy.h"

#include <exception>
#include <thread>

#include "easylogging++.h"
#include "service/EosPlatform.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"
#include "src/CVondUser.h"
#include "src/ResultCodes.h"
#include "utils/Guarded.h"
#include "utils/VondUtils.h"

namespace {

using VondSdk::CVondCore;
using VondSdk::Guarded;
using VondSdk::ToUtf8;

}  // namespace

namespace VondProxy {

void Init(std::wstring appId, std::wstring appKey, ResultCallback callback) {
    Init(std::move(appId), std::move(appKey), std::make_shared<EosGameInfo>(), callback);
}

void Init(std::wstring appId, std::wstring appKey, std::shared_ptr<EosGameInfo> gameInfo, ResultCallback callback) {
    Guarded("Init", [&] {
        CVondCore::Instance().InitSdk(ToUtf8(appId), ToUtf8(appKey), std::move(gameInfo), callback);
    });
}

void Login(ResultCallback callback) {
    Guarded("Login", [&] {
        if (!CVondCore::Instance().CheckInit(callback)) return;
        try {
            std::thread([callback] {
                Guarded("Login", [&] { CVondCore::Instance().Login(callback); });
            }).detach();
        } catch (const std::system_error&) {
            if (callback != nullptr) callback(VondSdk::kCodeLoginFailure, VondSdk::ToWide(VondSdk::kLoginFailure), std::wstring());
        }
    });
}

void Exit() {
    Guarded("Exit", [] { CVondCore::Instance().Exit(); });
}

void QueryProducts(ResultCallback callback) {
    Guarded("QueryProducts", [&] { VondSdk::CVondPay::Instance().QueryProducts(callback); });
}

void CallPay(std::wstring productId, std::wstring extInfo, ResultCallback callback) {
    Guarded("CallPay", [&] { CVondCore::Instance().CallPay(ToUtf8(productId), ToUtf8(extInfo), callback); });
}

void PostEvent(const std::wstring& eventName, const std::wstring& params, double value) {
    Guarded("PostEvent", [&] { CVondCore::Instance().PostEvent(ToUtf8(eventName), ToUtf8(params), value); });
}

void SetServerId(std::wstring serverId) {
    Guarded("SetServerId", [&] { CVondCore::Instance().SetServerId(ToUtf8(serverId)); });
}

void SetGameUserId(std::wstring gameUserId) {
    Guarded("SetGameUserId", [&] { CVondCore::Instance().SetGameUserId(ToUtf8(gameUserId)); });
}

void SetNickName(std::wstring nickName) {
    Guarded("SetNickName", [&] { CVondCore::Instance().SetNickName(ToUtf8(nickName)); });
}

void SetLevel(int level) {
    Guarded("SetLevel", [&] { CVondCore::Instance().SetLevel(level); });
}

void UpdateSDKEvent() {
    // Never throws; starts a due entitlement re-query, runs the EOS work other threads
    // queued, then ticks.
    Guarded("UpdateSDKEvent", [] { VondSdk::CVondUser::OnUpdate(); });
    VondSdk::FPlatform::Update();
}

}  // namespace VondProxy
