// vondsdk: the SDK's whole public surface.
//
// The functions are exported under their C++ (decorated) names and pass standard-library
// strings and shared pointers across the boundary, so the game and the library must be built
// with the same compiler family and standard library.
//
// Threads: every function may be called from the game's thread. Results arrive through
// ResultCallback, on the thread that calls UpdateSDKEvent (EOS work) or on one of the SDK's
// background workers (backend work), never on the thread that called Login.
#pragma once

#include <memory>
#include <string>

#if defined(_WIN32)
#if defined(VONDSDK_BUILDING)
#define VONDSDK_API __declspec(dllexport)
#else
#define VONDSDK_API __declspec(dllimport)
#endif
#else
#define VONDSDK_API __attribute__((visibility("default")))
#endif

// Every operation the game starts ends in one call: code 200 on success, otherwise a
// negative SDK code or the backend's own code; message and data as UTF-16 text.
typedef void (*ResultCallback)(int code, std::wstring message, std::wstring data);

// EOS product identifiers. Fields left empty are filled during Init from the launcher
// command line and the backend's client configuration; fields the game fills are kept.
struct EosGameInfo {
    std::string productName;
    std::string productVersion;
    std::string productId;
    std::string clientId;
    std::string clientSecret;
    std::string sandboxId;
    std::string deploymentId;
};

namespace VondProxy {

// Starts the SDK and blocks until the backend's client configuration has answered.
// Reports "Epic Init Success!" (200) or "Epic Init Failure!" (-402); a failed configuration
// request is reported first with its own code.
VONDSDK_API void Init(std::wstring appId, std::wstring appKey, ResultCallback callback);
VONDSDK_API void Init(std::wstring appId, std::wstring appKey, std::shared_ptr<EosGameInfo> gameInfo,
                      ResultCallback callback);

// Logs the player in (Epic account, then the backend). Returns at once; -401 before Init.
VONDSDK_API void Login(ResultCallback callback);

// Shuts EOS down and stops the background workers. Returns within moments.
VONDSDK_API void Exit();

// The products the game can sell, as JSON text in data. callback must not be null.
VONDSDK_API void QueryProducts(ResultCallback callback);

// Buys one product: backend order, Epic checkout, payment report. callback must not be null.
VONDSDK_API void CallPay(std::wstring productId, std::wstring extInfo, ResultCallback callback);

// Posts one analytics event; params is a JSON object text (may be empty).
VONDSDK_API void PostEvent(const std::wstring& eventName, const std::wstring& params, double value);

VONDSDK_API void SetServerId(std::wstring serverId);
VONDSDK_API void SetGameUserId(std::wstring gameUserId);
VONDSDK_API void SetNickName(std::wstring nickName);
VONDSDK_API void SetLevel(int level);

// Pumps pending EOS work; call once per frame. EOS completions run inside this call.
VONDSDK_API void UpdateSDKEvent();

}  // namespace VondProxy
