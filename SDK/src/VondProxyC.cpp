// The C interface: plain functions over the VondProxy ones, UTF-8 in and out, results through
// CVondCallbackRelay. Nothing thrown inside the SDK may unwind into a C caller.
#include "vondsdk_c.h"

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "easylogging++.h"
#include "VondProxy.h"
#include "src/CVondCallbackRelay.h"
#include "src/CVondCore.h"
#include "src/CVondEventOutbox.h"
#include "src/ResultCodes.h"
#include "utils/Guarded.h"
#include "utils/VondLogging.h"
#include "utils/VondUtils.h"

namespace {

using VondSdk::CVondCallbackRelay;
using Lifetime = VondSdk::CVondCallbackRelay::Lifetime;
using VondSdk::kCodeInitFailure;
using VondSdk::kCodeNotInit;
using VondSdk::kInitFailure;
using VondSdk::kNotInit;

constexpr char kTooManyPending[] = "Too Many Pending Operations.";
constexpr char kInFlightRefused[] = "Events In Flight Not Changed, Not In 1..6:";

// NULL counts as ""; invalid UTF-8 becomes U+FFFD, as unpaired surrogates do on the C++ side.
std::wstring Wide(const char* text) { return text == nullptr ? std::wstring() : VondSdk::ToWide(text); }
std::string Utf8(const char* text) { return VondSdk::ToUtf8(Wide(text)); }

using VondSdk::Guarded;

// Runs start(relay) with a relay for one operation, or answers at once when none is free.
// The arguments are converted before: start only hands them to the SDK, which never throws.
std::shared_ptr<EosGameInfo> GameInfo(const VondEosGameInfo* game_info) {
    auto info = std::make_shared<EosGameInfo>();
    if (game_info != nullptr) {
        info->productName = Utf8(game_info->productName);
        info->productVersion = Utf8(game_info->productVersion);
        info->productId = Utf8(game_info->productId);
        info->clientId = Utf8(game_info->clientId);
        info->clientSecret = Utf8(game_info->clientSecret);
        info->sandboxId = Utf8(game_info->sandboxId);
        info->deploymentId = Utf8(game_info->deploymentId);
    }
    return info;
}

// A new session after one that kept EOS: its results are delivered again.
void OpenSession() {
    if (VondSdk::CVondCore::Instance().KeepsEosBetweenSessions()) CVondCallbackRelay::Instance().Reopen();
}

// The start-up on the SDK's own thread; its slot stays open until the outcome was reported.
void InitAsync(const char* app_id, const char* app_key, std::shared_ptr<EosGameInfo> info,
               VondResultCallback callback, void* user) {
    OpenSession();
    CVondCallbackRelay& relay = CVondCallbackRelay::Instance();
    const CVondCallbackRelay::Ticket ticket = relay.Open(callback, user, Lifetime::UntilClosed);
    if (ticket.relay == nullptr) {
        relay.Report(callback, user, VOND_CODE_TOO_MANY_PENDING, kTooManyPending);
        return;
    }
    const bool started = VondSdk::CVondCore::Instance().InitSdkAsync(
        Utf8(app_id), Utf8(app_key), std::move(info), ticket.relay,
        [ticket] { CVondCallbackRelay::Instance().Close(ticket); });
    if (!started) {
        ticket.relay(kCodeInitFailure, VondSdk::ToWide(kInitFailure), std::wstring());
        relay.Close(ticket);
    }
}

template <typename Start>
void WithRelay(VondResultCallback callback, void* user, Lifetime lifetime, Start&& start) {
    CVondCallbackRelay& relay = CVondCallbackRelay::Instance();
    const CVondCallbackRelay::Ticket ticket = relay.Open(callback, user, lifetime);
    if (ticket.relay == nullptr) {
        relay.Report(callback, user, VOND_CODE_TOO_MANY_PENDING, kTooManyPending);
        return;
    }
    start(ticket.relay);
    if (lifetime == Lifetime::UntilClosed) relay.Close(ticket);
}

}  // namespace

extern "C" {

int VONDSDK_C_CALL vond_set_callback_mode(int mode) {
    return CVondCallbackRelay::Instance().SetMode(mode) ? 0 : -1;
}

int VONDSDK_C_CALL vond_set_keep_eos_between_sessions(int keep) {
    return VondSdk::CVondCore::Instance().SetKeepEosBetweenSessions(keep != 0) ? 0 : -1;
}

void VONDSDK_C_CALL vond_set_startup_timeout_ms(int timeout_ms) {
    VondSdk::CVondCore::Instance().SetStartupTimeout(std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0));
}

int VONDSDK_C_CALL vond_set_events_in_flight(int count) {
    if (VondSdk::CVondEventOutbox::Instance().SetMaxInFlight(count)) return 0;
    LOG(WARNING) << kInFlightRefused << count;
    return -1;
}

void VONDSDK_C_CALL vond_set_log_callback(int min_level, VondLogCallback callback, void* user) {
    Guarded("vond_set_log_callback", [&] {
        if (callback == nullptr) {
            VondSdk::SetLogTarget(min_level, nullptr);
            return;
        }
        VondSdk::SetLogTarget(min_level, [callback, user](int level, const std::string& line) {
            CVondCallbackRelay::Instance().Log(callback, user, level, line);
        });
    });
}

void VONDSDK_C_CALL vond_init_async(const char* app_id, const char* app_key, VondResultCallback callback,
                                    void* user) {
    Guarded("vond_init_async", [&] { InitAsync(app_id, app_key, GameInfo(nullptr), callback, user); });
}

void VONDSDK_C_CALL vond_init_async_ex(const char* app_id, const char* app_key, const VondEosGameInfo* game_info,
                                       VondResultCallback callback, void* user) {
    Guarded("vond_init_async_ex", [&] { InitAsync(app_id, app_key, GameInfo(game_info), callback, user); });
}

void VONDSDK_C_CALL vond_init(const char* app_id, const char* app_key, VondResultCallback callback, void* user) {
    Guarded("vond_init", [&] {
        OpenSession();
        std::wstring appId = Wide(app_id);
        std::wstring appKey = Wide(app_key);
        WithRelay(callback, user, Lifetime::UntilClosed, [&](ResultCallback relay) {
            VondProxy::Init(std::move(appId), std::move(appKey), relay);
        });
    });
}

void VONDSDK_C_CALL vond_init_ex(const char* app_id, const char* app_key, const VondEosGameInfo* game_info,
                                 VondResultCallback callback, void* user) {
    Guarded("vond_init_ex", [&] {
        OpenSession();
        auto info = GameInfo(game_info);
        std::wstring appId = Wide(app_id);
        std::wstring appKey = Wide(app_key);
        WithRelay(callback, user, Lifetime::UntilClosed, [&](ResultCallback relay) {
            VondProxy::Init(std::move(appId), std::move(appKey), std::move(info), relay);
        });
    });
}

void VONDSDK_C_CALL vond_login(VondResultCallback callback, void* user) {
    Guarded("vond_login", [&] {
        WithRelay(callback, user, Lifetime::OneResult, [](ResultCallback relay) { VondProxy::Login(relay); });
    });
}

void VONDSDK_C_CALL vond_exit(void) {
    Guarded("vond_exit", [] {
        // The SDK's workers have ended when Exit returns, so the queue holds every result that
        // the game can still be told about.
        VondProxy::Exit();
        CVondCallbackRelay& relay = CVondCallbackRelay::Instance();
        relay.Shutdown();
        // The session is over but the process goes on: operations it left waiting end now,
        // and whatever EOS still answers them later never reaches the next session.
        if (VondSdk::CVondCore::Instance().KeepsEosBetweenSessions()) relay.RefuseOpen(kCodeNotInit, kNotInit);
    });
}

void VONDSDK_C_CALL vond_query_products(VondResultCallback callback, void* user) {
    Guarded("vond_query_products", [&] {
        WithRelay(callback, user, Lifetime::OneResult, [](ResultCallback relay) { VondProxy::QueryProducts(relay); });
    });
}

void VONDSDK_C_CALL vond_call_pay(const char* product_id, const char* ext_info, VondResultCallback callback,
                                  void* user) {
    Guarded("vond_call_pay", [&] {
        std::wstring productId = Wide(product_id);
        std::wstring extInfo = Wide(ext_info);
        WithRelay(callback, user, Lifetime::OneResult, [&](ResultCallback relay) {
            VondProxy::CallPay(std::move(productId), std::move(extInfo), relay);
        });
    });
}

void VONDSDK_C_CALL vond_post_event(const char* event_name, const char* params, double value) {
    Guarded("vond_post_event", [&] { VondProxy::PostEvent(Wide(event_name), Wide(params), value); });
}

void VONDSDK_C_CALL vond_set_server_id(const char* server_id) {
    Guarded("vond_set_server_id", [&] { VondProxy::SetServerId(Wide(server_id)); });
}

void VONDSDK_C_CALL vond_set_game_user_id(const char* game_user_id) {
    Guarded("vond_set_game_user_id", [&] { VondProxy::SetGameUserId(Wide(game_user_id)); });
}

void VONDSDK_C_CALL vond_set_nick_name(const char* nick_name) {
    Guarded("vond_set_nick_name", [&] { VondProxy::SetNickName(Wide(nick_name)); });
}

void VONDSDK_C_CALL vond_set_level(int level) {
    Guarded("vond_set_level", [&] { VondProxy::SetLevel(level); });
}

void VONDSDK_C_CALL vond_update_sdk_event(void) {
    Guarded("vond_update_sdk_event", [] {
        VondProxy::UpdateSDKEvent();
        CVondCallbackRelay::Instance().Drain();
    });
}

}  // extern "C"
