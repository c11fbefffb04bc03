// The request catalogue: exact bodies, signature orders, the digest, and form encoding that
// a standard decoder inverts.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/md5.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/CVondApi.h"
#include "http/SionAsync.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"

namespace VondSdk {
namespace {

// A digest made by a different OpenSSL entry point than the one under test.
std::string ReferenceMd5(const std::string& text) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    std::string hex;
    char byte[3];
    for (unsigned char b : digest) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        hex += byte;
    }
    return hex;
}

// What a backend's application/x-www-form-urlencoded parser recovers from a body.
std::vector<std::pair<std::string, std::string>> DecodeForm(const std::string& body) {
    auto decode = [](const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                out += ' ';
            } else if (text[i] == '%' && i + 2 < text.size()) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    std::vector<std::pair<std::string, std::string>> fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        std::string pair = body.substr(start, end - start);
        size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            fields.emplace_back(decode(pair), "");
        } else {
            fields.emplace_back(decode(pair.substr(0, eq)), decode(pair.substr(eq + 1)));
        }
        start = end + 1;
    }
    return fields;
}

GlobalParams FixedParams() {
    GlobalParams p;
    p.appId = "1001";
    p.appKey = "k3y";
    p.os = "Windows";
    p.sdkVer = "EpicEXE_1.0.0";
    p.sdkType = "html5";
    p.clientId = "c0ffee";
    p.runPlatform = "html5";
    p.gamePlatform = "epic";
    return p;
}

const char kCommon[] =
    "appId=1001&os=Windows&sdkVer=EpicEXE_1.0.0&sdkType=html5&clientId=c0ffee"
    "&runPlatform=html5&gamePlatform=epic";

CreateOrderParams SampleOrder() {
    CreateOrderParams o;
    o.productId = "gold_100";
    o.userId = "ignored77";
    o.serverId = "s1";
    o.gameUserId = "g42";
    o.nickName = "Ann";
    o.orderAmountMicros = "0";
    o.collectionInfo = "ci";
    o.currencyCode = "";
    o.extInfo = "ext";
    return o;
}

TEST(CVondApiTest, Md5HexGivesRfc1321DigestsInLowerCase) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, digest] : vectors) {
        EXPECT_EQ(CVondApi::Md5Hex(input), digest) << input;
    }
    std::string withNul("a\0b", 3);
    EXPECT_EQ(CVondApi::Md5Hex(withNul), ReferenceMd5(withNul));
}

TEST(CVondApiTest, SignedRequestsCarryExactBodiesAndSignatureOrders) {
    CVondApi api("https://backend.example");
    const GlobalParams p = FixedParams();
    const std::string common = kCommon;

    PayResultParams pay;
    pay.channelPayType = "";
    pay.orderId = "ord9";
    pay.extVerifyInfo = "ev";
    pay.payAmountMicros = "990000";
    pay.serverId = "s1";
    pay.gameUserId = "g42";
    pay.status = "1";
    pay.trxId = "tx5";
    pay.trxToken = "";
    pay.userId = "ignored77";
    pay.channelProductId = "offer7";

    struct Case {
        const char* name;
        ApiRequest request;
        std::string url;
        std::string own;
        std::string signText;
    };
    const Case cases[] = {
        {"client config", api.BuildClientConfig(p), "https://backend.example/sdkapi/v3/config/client.do", "",
         "1001k3yc0ffeeWindowsEpicEXE_1.0.0html5html5"},
        {"attribution", api.BuildAttribution(p), "https://backend.example/sdkapi/v1/attribution.do",
         "&osVer=_unknown&urlParams=&channelId=_unknown&subChannelId=_unknown&lp=_unknown"
         "&userId=-1&browser=_unknown&browserVersion=_unknown&language=_unknown",
         "1001k3yEpicEXE_1.0.0html5Windows_unknownc0ffeehtml5epic"
         "_unknown_unknown_unknown-1_unknown_unknown_unknown"},
        {"login", api.BuildLogin(p, "epicAcct", "jwt.tok"), "https://backend.example/sdkapi/v20/init.do",
         "&platform=EPIC&bindType=1&puserId=epicAcct&accessToken=jwt.tok",
         "1001k3y1EpicEXE_1.0.0html5c0ffeehtml5epicEPICjwt.tok"},
        {"products", api.BuildProducts(p), "https://backend.example/sdkapi/v9/pay/products.do",
         "&page=1&pageSize=999", "EpicEXE_1.0.0html5c0ffee1001Windowshtml5epic1999k3y"},
        {"create order", api.BuildCreateOrder(p, "123456", SampleOrder()),
         "https://backend.example/sdkapi/v9/pay/create_order.do",
         "&appKey=k3y&channel=EPIC&productId=gold_100&orderAmountMicros=0&currencyCode="
         "&extInfo=ext&collectionInfo=ci&userId=123456&serverId=s1&gameUserId=g42"
         "&nickName=Ann",
         "1001k3yEPICc0ffeeext0gold_100EpicEXE_1.0.0html5Windowshtml5epics1g42Ann123456ci"},
        {"pay result", api.BuildPayResult(p, "123456", pay),
         "https://backend.example/sdkapi/v9/pay/pay_result.do",
         "&channel=EPIC&userId=123456&serverId=s1&gameUserId=g42&orderId=ord9"
         "&extVerifyInfo=ev&status=1&payAmountMicros=990000&channelPayType="
         "&channelProductId=offer7&trxId=tx5&trxToken=",
         "1001k3yEPICc0ffeeord9ev990000EpicEXE_1.0.0html5Windowshtml5epics1g421tx5123456"
         "offer7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.request.url, c.url);
        EXPECT_EQ(c.request.body, common + c.own + "&osign=" + ReferenceMd5(c.signText));
        // Form requests leave the content type to the wrapper's form default.
        EXPECT_FALSE(c.request.header.has_value());
        // The user id inside the records is never what goes out.
        EXPECT_EQ(c.request.body.find("ignored77"), std::string::npos);
    }
}

TEST(CVondApiTest, FormValuesSurviveAStandardDecoderAndSignaturesCoverRawValues) {
    CVondApi api("https://backend.example");
    GlobalParams p = FixedParams();
    p.appId = "app id+1";
    CreateOrderParams o = SampleOrder();
    o.nickName = "A&B=C+D%E 龙之谷";
    o.extInfo = "{\"k\":\"x&y=z\"}";
    o.collectionInfo = "{\"deviceId\":\"d%20\",\"resolution\":\"1920*1080\"}";
    o.currencyCode = "";

    ApiRequest request = api.BuildCreateOrder(p, "-1", o);
    const auto fields = DecodeForm(request.body);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"appId", p.appId},
        {"os", p.os},
        {"sdkVer", p.sdkVer},
        {"sdkType", p.sdkType},
        {"clientId", p.clientId},
        {"runPlatform", p.runPlatform},
        {"gamePlatform", p.gamePlatform},
        {"appKey", p.appKey},
        {"channel", "EPIC"},
        {"productId", o.productId},
        {"orderAmountMicros", o.orderAmountMicros},
        {"currencyCode", ""},
        {"extInfo", o.extInfo},
        {"collectionInfo", o.collectionInfo},
        {"userId", "-1"},
        {"serverId", o.serverId},
        {"gameUserId", o.gameUserId},
        {"nickName", o.nickName},
    };
    ASSERT_EQ(fields.size(), expected.size() + 1) << request.body;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(fields[i], expected[i]) << i;
    }
    EXPECT_EQ(fields.back().first, "osign");
    EXPECT_EQ(
        fields.back().second,
        ReferenceMd5(p.appId + p.appKey + "EPIC" + p.clientId + o.currencyCode + o.extInfo +
                     o.orderAmountMicros + o.productId + p.sdkVer + p.sdkType + p.os + p.runPlatform +
                     p.gamePlatform + o.serverId + o.gameUserId + o.nickName + "-1" + o.collectionInfo));

    EXPECT_EQ(CVondApi::FormEncode("a b~*-._Z9/\xE9\xBE\x99"), "a+b%7E*-._Z9%2F%E9%BE%99");
}

TEST(CVondApiTest, TrackPostIsUnsignedPlainText) {
    CVondApi api("https://backend.example");
    const std::string event = "{\"event\":\"qlx_login\",\"a\":\"x&y=z\"}";
    ApiRequest request = api.BuildTrack(event);
    EXPECT_EQ(request.url, "https://backend.example/data/h5/v1.do");
    EXPECT_EQ(request.body, event);
    ASSERT_TRUE(request.header.has_value());
    ASSERT_EQ(request.header->Pairs().size(), 1u);
    EXPECT_EQ(request.header->Pairs()[0],
              std::make_pair(std::string("Content-Type"), std::string("text/plain;charset=UTF-8")));
    EXPECT_EQ(request.body.find("osign"), std::string::npos);
}

// The senders read the origin from the environment on first use and the user id from the
// core at build time ("-1" while no account login has happened).
TEST(CVondApiTest, SendersUseTheEnvironmentOriginAndTheCoresUserId) {
    CVondApi trailing("http://127.0.0.1:18080/");
    EXPECT_EQ(trailing.productsUrl, "http://127.0.0.1:18080/sdkapi/v9/pay/products.do");
    EXPECT_EQ(trailing.trackUrl, "http://127.0.0.1:18080/data/h5/v1.do");

    vondtest::LoopbackServer server;
    server.Reply("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"code\":200}");
    const std::string origin = "http://127.0.0.1:" + std::to_string(server.Port());
    vondtest::SetEnv("VOND_SDK_ORIGIN", origin);
    const CVondApi& api = CVondApi::Instance();
    EXPECT_EQ(&api, &CVondApi::Instance());
    EXPECT_EQ(api.baseUrl, origin + "/sdkapi");
    EXPECT_EQ(api.trackUrl, origin + "/data/h5/v1.do");

    if (!sion::Pool().Started()) sion::Pool().Start();
    auto done = std::make_shared<std::promise<int32_t>>();
    std::future<int32_t> answered = done->get_future();
    api.RequestCreateOrder(SampleOrder(), [done](HttpResp resp) { done->set_value(resp.code); });
    ASSERT_EQ(answered.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(answered.get(), 200);

    const std::string expectedBody =
        api.BuildCreateOrder(CVondCore::Instance().GetGlobalParams(), "-1", SampleOrder()).body;
    ASSERT_TRUE(server.WaitRequests(1));
    const std::string sent = server.Requests()[0];
    EXPECT_EQ(sent.rfind("POST /sdkapi/v9/pay/create_order.do HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(sent.substr(sent.find("\r\n\r\n") + 4), expectedBody);
    EXPECT_NE(expectedBody.find("&userId=-1&"), std::string::npos);

    auto tracked = std::make_shared<std::promise<void>>();
    std::future<void> trackAnswered = tracked->get_future();
    api.PostTrack("{\"event\":\"qlx_startup\"}", [tracked](HttpResp) { tracked->set_value(); });
    ASSERT_EQ(trackAnswered.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ASSERT_TRUE(server.WaitRequests(2));
    EXPECT_EQ(server.Requests()[1],
              "POST /data/h5/v1.do HTTP/1.1\r\nContent-Type: text/plain;charset=UTF-8\r\n"
              "Host: 127.0.0.1\r\nContent-Length: 23\r\n\r\n{\"event\":\"qlx_startup\"}");
}

}  // namespace
}  // namespace VondSdk
