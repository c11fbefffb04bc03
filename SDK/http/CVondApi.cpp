#include "http/CVondApi.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <utility>

#include "utils/VondDevOverrides.h"

namespace VondSdk {
namespace {

constexpr const char* kChannel = "EPIC";
constexpr const char* kBindType = "1";
constexpr const char* kPage = "1";
constexpr const char* kPageSize = "999";
constexpr const char* kUnknown = "_unknown";
constexpr const char* kAnonymousUserId = "-1";
constexpr const char* kTrackContentTypeName = "Content-Type";
constexpr const char* kTrackContentType = "text/plain;charset=UTF-8";

std::string ChosenOrigin() {
    std::string overridden;
    if (ReadDevOverride(kOriginOverride, overridden)) return overridden;
    return VOND_BACKEND_ORIGIN;
}

// "https://host:1/" and "https://host:1" name the same origin; the paths below bring
// their own slash.
std::string TrimOrigin(std::string origin) {
    while (!origin.empty() && origin.back() == '/') origin.pop_back();
    return origin;
}

struct Field {
    const char* name;
    const std::string& value;
};

// The signature covers the raw values, which is what the backend's form decoder recovers
// from the encoded body.
std::string Sign(std::initializer_list<std::string> pieces) {
    std::string text;
    for (const std::string& piece : pieces) text += piece;
    return CVondApi::Md5Hex(text);
}

std::string SignedBody(const GlobalParams& params, std::initializer_list<Field> own,
                       const std::string& osign) {
    std::string body = CVondApi::CommonParams(params);
    for (const Field& field : own) {
        body += '&';
        body += field.name;
        body += '=';
        body += CVondApi::FormEncode(field.value);
    }
    body += "&osign=";
    body += osign;
    return body;
}

}  // namespace

CVondApi& CVondApi::Instance() {
    static CVondApi* instance = new CVondApi(ChosenOrigin());
    return *instance;
}

CVondApi::CVondApi(const std::string& origin)
    : baseUrl(TrimOrigin(origin) + "/sdkapi"),
      initUrl(baseUrl + "/v20/init.do"),
      configUrl(baseUrl + "/v3/config/client.do"),
      attributionUrl(baseUrl + "/v1/attribution.do"),
      productsUrl(baseUrl + "/v9/pay/products.do"),
      createOrderUrl(baseUrl + "/v9/pay/create_order.do"),
      payResultUrl(baseUrl + "/v9/pay/pay_result.do"),
      trackUrl(TrimOrigin(origin) + "/data/h5/v1.do") {}

std::string CVondApi::FormEncode(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(value.size());
    for (unsigned char c : value) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' ||
                    c == '-' || c == '.' || c == '_';
        if (keep) {
            encoded += static_cast<char>(c);
        } else if (c == ' ') {
            encoded += '+';
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0x0F];
        }
    }
    return encoded;
}

std::string CVondApi::Md5Hex(const std::string& text) {
    // The first OpenSSL use in the process decides whether OpenSSL tears itself down at
    // exit; it must not, while detached workers may still be using it.
    static const bool openSslReady = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    (void)openSslReady;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0F];
    }
    return hex;
}

std::string CVondApi::CommonParams(const GlobalParams& params) {
    return "appId=" + FormEncode(params.appId) + "&os=" + FormEncode(params.os) +
           "&sdkVer=" + FormEncode(params.sdkVer) + "&sdkType=" + FormEncode(params.sdkType) +
           "&clientId=" + FormEncode(params.clientId) + "&runPlatform=" + FormEncode(params.runPlatform) +
           "&gamePlatform=" + FormEncode(params.gamePlatform);
}

ApiRequest CVondApi::BuildClientConfig(const GlobalParams& p) const {
    std::string osign = Sign({p.appId, p.appKey, p.clientId, p.os, p.sdkVer, p.sdkType, p.runPlatform});
    return {configUrl, SignedBody(p, {}, osign), std::nullopt};
}

ApiRequest CVondApi::BuildAttribution(const GlobalParams& p) const {
    const std::string unknown = kUnknown;
    const std::string userId = kAnonymousUserId;
    const std::string empty;
    std::string osign =
        Sign({p.appId, p.appKey, p.sdkVer, p.sdkType, p.os, unknown, p.clientId, p.runPlatform,
              p.gamePlatform, unknown, unknown, unknown, userId, unknown, unknown, unknown});
    std::string body = SignedBody(p,
                                  {{"osVer", unknown},
                                   {"urlParams", empty},
                                   {"channelId", unknown},
                                   {"subChannelId", unknown},
                                   {"lp", unknown},
                                   {"userId", userId},
                                   {"browser", unknown},
                                   {"browserVersion", unknown},
                                   {"language", unknown}},
                                  osign);
    return {attributionUrl, std::move(body), std::nullopt};
}

ApiRequest CVondApi::BuildLogin(const GlobalParams& p, const std::string& puserId,
                                const std::string& accessToken) const {
    const std::string platform = kChannel;
    const std::string bindType = kBindType;
    std::string osign = Sign({p.appId, p.appKey, bindType, p.sdkVer, p.sdkType, p.clientId, p.runPlatform,
                              p.gamePlatform, platform, accessToken});
    std::string body = SignedBody(
        p,
        {{"platform", platform}, {"bindType", bindType}, {"puserId", puserId}, {"accessToken", accessToken}},
        osign);
    return {initUrl, std::move(body), std::nullopt};
}

ApiRequest CVondApi::BuildProducts(const GlobalParams& p) const {
    const std::string page = kPage;
    const std::string pageSize = kPageSize;
    std::string osign = Sign({p.sdkVer, p.sdkType, p.clientId, p.appId, p.os, p.runPlatform, p.gamePlatform,
                              page, pageSize, p.appKey});
    std::string body = SignedBody(p, {{"page", page}, {"pageSize", pageSize}}, osign);
    return {productsUrl, std::move(body), std::nullopt};
}

ApiRequest CVondApi::BuildCreateOrder(const GlobalParams& p, const std::string& userId,
                                      const CreateOrderParams& o) const {
    const std::string channel = kChannel;
    std::string osign =
        Sign({p.appId, p.appKey, channel, p.clientId, o.currencyCode, o.extInfo, o.orderAmountMicros,
              o.productId, p.sdkVer, p.sdkType, p.os, p.runPlatform, p.gamePlatform, o.serverId, o.gameUserId,
              o.nickName, userId, o.collectionInfo});
    std::string body = SignedBody(p,
                                  {{"appKey", p.appKey},
                                   {"channel", channel},
                                   {"productId", o.productId},
                                   {"orderAmountMicros", o.orderAmountMicros},
                                   {"currencyCode", o.currencyCode},
                                   {"extInfo", o.extInfo},
                                   {"collectionInfo", o.collectionInfo},
                                   {"userId", userId},
                                   {"serverId", o.serverId},
                                   {"gameUserId", o.gameUserId},
                                   {"nickName", o.nickName}},
                                  osign);
    return {createOrderUrl, std::move(body), std::nullopt};
}

ApiRequest CVondApi::BuildPayResult(const GlobalParams& p, const std::string& userId,
                                    const PayResultParams& r) const {
    const std::string channel = kChannel;
    std::string osign =
        Sign({p.appId,   p.appKey,        channel,           r.channelPayType, p.clientId,
              r.orderId, r.extVerifyInfo, r.payAmountMicros, p.sdkVer,         p.sdkType,
              p.os,      p.runPlatform,   p.gamePlatform,    r.serverId,       r.gameUserId,
              r.status,  r.trxId,         r.trxToken,        userId,           r.channelProductId});
    std::string body = SignedBody(p,
                                  {{"channel", channel},
                                   {"userId", userId},
                                   {"serverId", r.serverId},
                                   {"gameUserId", r.gameUserId},
                                   {"orderId", r.orderId},
                                   {"extVerifyInfo", r.extVerifyInfo},
                                   {"status", r.status},
                                   {"payAmountMicros", r.payAmountMicros},
                                   {"channelPayType", r.channelPayType},
                                   {"channelProductId", r.channelProductId},
                                   {"trxId", r.trxId},
                                   {"trxToken", r.trxToken}},
                                  osign);
    return {payResultUrl, std::move(body), std::nullopt};
}

ApiRequest CVondApi::BuildTrack(const std::string& body) const {
    sion::Header header;
    header.Add(kTrackContentTypeName, kTrackContentType);
    // Events wait behind the player's own requests: a backlog never delays a purchase.
    return {trackUrl, body, std::move(header), sion::Lane::Background};
}

void CVondApi::Send(const ApiRequest& request, Completion completion) {
    CVondHttp::PostCallback(request.url, request.body, std::move(completion),
                            request.header ? &*request.header : nullptr, request.lane);
}

void CVondApi::RequestClientConfig(Completion completion) const {
    Send(BuildClientConfig(CVondCore::Instance().GetGlobalParams()), std::move(completion));
}

void CVondApi::RequestAttribution(Completion completion) const {
    Send(BuildAttribution(CVondCore::Instance().GetGlobalParams()), std::move(completion));
}

void CVondApi::RequestLogin(std::string puserId, std::string accessToken, Completion completion) const {
    Send(BuildLogin(CVondCore::Instance().GetGlobalParams(), puserId, accessToken), std::move(completion));
}

void CVondApi::RequestProducts(Completion completion) const {
    Send(BuildProducts(CVondCore::Instance().GetGlobalParams()), std::move(completion));
}

void CVondApi::RequestCreateOrder(CreateOrderParams params, Completion completion) const {
    const CVondCore& core = CVondCore::Instance();
    Send(BuildCreateOrder(core.GetGlobalParams(), core.GetUserId(), params), std::move(completion));
}

void CVondApi::RequestPayResult(PayResultParams params, Completion completion) const {
    const CVondCore& core = CVondCore::Instance();
    Send(BuildPayResult(core.GetGlobalParams(), core.GetUserId(), params), std::move(completion));
}

void CVondApi::PostTrack(std::string body, Completion completion) const {
    Send(BuildTrack(body), std::move(completion));
}

}  // namespace VondSdk
