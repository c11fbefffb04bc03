// CVondApi: the catalogue of every request the SDK sends to the publisher's backend and to
// its tracking endpoint: the URL table, the form bodies and their MD5 signatures.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "http/CVondHttp.h"
#include "http/Sion.h"
#include "src/CVondCore.h"

namespace VondSdk {

// The values the order flow hands to the create-order request. userId is not sent: the
// request carries the core's user id at build time instead.
struct CreateOrderParams {
    std::string productId;
    std::string userId;
    std::string serverId;
    std::string gameUserId;
    std::string nickName;
    std::string orderAmountMicros;
    std::string collectionInfo;
    std::string currencyCode;
    std::string extInfo;
};

// The values the order flow hands to the pay-result request. userId is not sent, as above.
struct PayResultParams {
    std::string channelPayType;
    std::string orderId;
    std::string extVerifyInfo;
    std::string payAmountMicros;
    std::string serverId;
    std::string gameUserId;
    std::string status;
    std::string trxId;
    std::string trxToken;
    std::string userId;
    std::string channelProductId;
};

// One request ready to go: where, what, the header list to send instead of the form
// content type (none for the signed form requests), and the pool lane it waits in.
struct ApiRequest {
    std::string url;
    std::string body;
    std::optional<sion::Header> header;
    sion::Lane lane = sion::Lane::Foreground;
};

class CVondApi {
public:
    using Completion = std::function<void(HttpResp)>;

    // The process-wide catalogue, built on first use and never destroyed. Its origin is
    // VOND_SDK_ORIGIN when the build honours development overrides and it is set and not empty,
    // else the built-in VOND_BACKEND_ORIGIN.
    static CVondApi& Instance();

    // A catalogue for the given origin (scheme, host and optional port).
    explicit CVondApi(const std::string& origin);
    CVondApi(const CVondApi&) = delete;
    CVondApi& operator=(const CVondApi&) = delete;

    // The senders: each copies the core's current GlobalParams (and user id where the
    // request carries one) on the calling thread, any thread, then queues the request with
    // CVondHttp::PostCallback and returns at once. completion runs once on a pool worker.
    void RequestClientConfig(Completion completion) const;
    void RequestAttribution(Completion completion) const;
    void RequestLogin(std::string puserId, std::string accessToken, Completion completion) const;
    void RequestProducts(Completion completion) const;
    void RequestCreateOrder(CreateOrderParams params, Completion completion) const;
    void RequestPayResult(PayResultParams params, Completion completion) const;
    // Unsigned: body is the event text as it is, sent as "text/plain;charset=UTF-8".
    void PostTrack(std::string body, Completion completion) const;

    // The same requests built without sending, from the given values. Pure.
    ApiRequest BuildClientConfig(const GlobalParams& params) const;
    ApiRequest BuildAttribution(const GlobalParams& params) const;
    ApiRequest BuildLogin(const GlobalParams& params, const std::string& puserId,
                          const std::string& accessToken) const;
    ApiRequest BuildProducts(const GlobalParams& params) const;
    ApiRequest BuildCreateOrder(const GlobalParams& params, const std::string& userId,
                                const CreateOrderParams& order) const;
    ApiRequest BuildPayResult(const GlobalParams& params, const std::string& userId,
                              const PayResultParams& result) const;
    ApiRequest BuildTrack(const std::string& body) const;

    // "appId=...&os=...&sdkVer=...&sdkType=...&clientId=...&runPlatform=...&gamePlatform=..."
    // with every value form-encoded.
    static std::string CommonParams(const GlobalParams& params);
    // RFC 1321 digest of the bytes as 32 lowercase hex digits; empty if the digest is
    // unavailable.
    static std::string Md5Hex(const std::string& text);
    // application/x-www-form-urlencoded form of one value: ALPHA, DIGIT and "*-._" stay,
    // a space becomes "+", every other byte "%XX" (upper-case hex).
    static std::string FormEncode(const std::string& value);

    const std::string baseUrl;
    const std::string initUrl;
    const std::string configUrl;
    const std::string attributionUrl;
    const std::string productsUrl;
    const std::string createOrderUrl;
    const std::string payResultUrl;
    const std::string trackUrl;

private:
    static void Send(const ApiRequest& request, Completion completion);
};

}  // namespace VondSdk
