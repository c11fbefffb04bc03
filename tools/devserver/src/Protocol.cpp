#include "Protocol.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace devserver {
namespace {

#define COMMON "appId", "os", "sdkVer", "sdkType", "clientId", "runPlatform", "gamePlatform"

const RequestRule kRules[] = {
    {"/sdkapi/v3/config/client.do",
     {COMMON, "osign"},
     {"appId", "appKey", "clientId", "os", "sdkVer", "sdkType", "runPlatform"}},
    {"/sdkapi/v1/attribution.do",
     {COMMON, "osVer", "urlParams", "channelId", "subChannelId", "lp", "userId", "browser", "browserVersion",
      "language", "osign"},
     {"appId", "appKey", "sdkVer", "sdkType", "os", "osVer", "clientId", "runPlatform", "gamePlatform",
      "channelId", "subChannelId", "lp", "userId", "browser", "browserVersion", "language"}},
    {"/sdkapi/v20/init.do",
     {COMMON, "platform", "bindType", "puserId", "accessToken", "osign"},
     {"appId", "appKey", "bindType", "sdkVer", "sdkType", "clientId", "runPlatform", "gamePlatform",
      "platform", "accessToken"}},
    {"/sdkapi/v9/pay/products.do",
     {COMMON, "page", "pageSize", "osign"},
     {"sdkVer", "sdkType", "clientId", "appId", "os", "runPlatform", "gamePlatform", "page", "pageSize",
      "appKey"}},
    {"/sdkapi/v9/pay/create_order.do",
     {COMMON, "appKey", "channel", "productId", "orderAmountMicros", "currencyCode", "extInfo",
      "collectionInfo", "userId", "serverId", "gameUserId", "nickName", "osign"},
     {"appId", "appKey", "channel", "clientId", "currencyCode", "extInfo", "orderAmountMicros", "productId",
      "sdkVer", "sdkType", "os", "runPlatform", "gamePlatform", "serverId", "gameUserId", "nickName",
      "userId", "collectionInfo"}},
    {"/sdkapi/v9/pay/pay_result.do",
     {COMMON, "channel", "userId", "serverId", "gameUserId", "orderId", "extVerifyInfo", "status",
      "payAmountMicros", "channelPayType", "channelProductId", "trxId", "trxToken", "osign"},
     {"appId",   "appKey",        "channel",         "channelPayType", "clientId",
      "orderId", "extVerifyInfo", "payAmountMicros", "sdkVer",         "sdkType",
      "os",      "runPlatform",   "gamePlatform",    "serverId",       "gameUserId",
      "status",  "trxId",         "trxToken",        "userId",         "channelProductId"}},
};

#undef COMMON

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> DecodeComponent(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

const RequestRule* FindRule(const std::string& path) {
    for (const RequestRule& rule : kRules) {
        if (path == rule.path) return &rule;
    }
    return nullptr;
}

std::optional<Form> DecodeForm(const std::string& body) {
    Form form;
    if (body.empty()) return form;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0) return std::nullopt;
        auto name = DecodeComponent(pair.substr(0, eq));
        auto value = DecodeComponent(pair.substr(eq + 1));
        if (!name || !value || name->empty() || FormValue(form, *name) != nullptr) return std::nullopt;
        form.emplace_back(std::move(*name), std::move(*value));
        start = end + 1;
    }
    return form;
}

const std::string* FormValue(const Form& form, const std::string& name) {
    for (const auto& field : form) {
        if (field.first == name) return &field.second;
    }
    return nullptr;
}

std::string ExpectedSign(const RequestRule& rule, const Form& form, const std::string& appKey) {
    std::string text;
    for (const char* name : rule.signOrder) {
        if (std::string(name) == "appKey") {
            text += appKey;
        } else if (const std::string* value = FormValue(form, name)) {
            text += *value;
        }
    }
    return Md5Hex(text);
}

std::string Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 unavailable");
    std::string hex;
    char byte[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}

}  // namespace devserver
