// The product catalogue and the first steps of an order against a backend on loopback:
// what the game receives, and when the backend is asked again.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include <nlohmann/json.hpp>

#include "VondProxy.h"
#include "http/SionAsync.h"
#include "src/CVondCore.h"
#include "src/CVondPay.h"
#include "support/LoopbackServer.h"
#include "support/TestEnv.h"
#include "utils/VondUtils.h"

using nlohmann::json;
using VondSdk::CVondCore;
using VondSdk::CVondPay;
using vondtest::LoopbackServer;
using vondtest::Recorder;

namespace {

constexpr char kProductsPath[] = "/sdkapi/v9/pay/products.do";
constexpr char kCreateOrderPath[] = "/sdkapi/v9/pay/create_order.do";

std::string HttpAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool IsRequestFor(const std::string& request, const std::string& path) {
    return request.rfind("POST " + path + " ", 0) == 0;
}

size_t RequestsFor(const LoopbackServer& server, const std::string& path) {
    size_t count = 0;
    for (const std::string& request : server.Requests()) count += IsRequestFor(request, path) ? 1 : 0;
    return count;
}

std::string Product(const std::string& id, const std::string& channels, const std::string& extra = "") {
    return R"({"productId":")" + id + R"(","productName":"Gems","productDesc":"100 gems",)"
           R"("productCurrencyCode":"USD","gameCurrencyAmount":100,"payChannel":)" +
           channels + extra + "}";
}

class Catalogue : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        vondtest::SetEnv("VOND_SDK_ORIGIN", server_.Url(""));
        Recorder::Clear();
        CVondCore::Instance().InitGlobalParams("app-1", "key-1");
        sion::Pool().Start();
    }
    void TearDown() override { sion::Pool().Stop(); }
    void Answer(const std::string& body, int code = 200) {
        server_.Reply([body, code](const std::string&) { return HttpAnswer(code, body); });
    }

    vondtest::TempDir data_;
    LoopbackServer server_;
};

}  // namespace

TEST_F(Catalogue, GemsExampleIsHandedOverExactlyAndThenServedFromTheTable) {
    Answer(R"({"code":200,"msg":"ok","productList":[)" + Product("p1", R"([{"name":"EPIC","channelProductId":"offer1"}])") +
           "]}");
    VondProxy::QueryProducts(&Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(1));
    const std::wstring expected =
        LR"({"code":200,"msg":"Success","productList":[{"gameCurrencyAmount":100,"productDesc":"100 gems",)"
        LR"("productId":"p1","productName":"Gems"}]})";
    auto first = Recorder::Records()[0];
    EXPECT_EQ(first.code, 200);
    EXPECT_EQ(first.message, L"Success");
    EXPECT_EQ(first.data, expected);

    // Loaded: the second query is answered at once, on the caller's thread, without a request.
    VondProxy::QueryProducts(&Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].data, expected);
    EXPECT_EQ(records[1].thread, std::this_thread::get_id());
    EXPECT_EQ(RequestsFor(server_, kProductsPath), 1u);

    VondSdk::ProductInfo product;
    ASSERT_TRUE(CVondPay::Instance().FindProduct("p1", product));
    EXPECT_EQ(product.channelProductId, "offer1");
    EXPECT_EQ(product.productCurrencyCode, "USD");
}

TEST_F(Catalogue, OnlyTheExactEpicChannelIsKeptAndOrderOfFirstInsertionHolds) {
    Answer(R"({"code":200,"msg":"ok","productList":[)" +
           Product("p1", R"([{"name":"Epic","channelProductId":"x"},{"name":"STEAM","channelProductId":"y"},{"channelProductId":"z"}])") +
           "," + Product("p3", R"([{"name":"EPIC","channelProductId":"o3"}])") + "," +
           Product("p2", R"([{"name":"EPIC","channelProductId":"a"},{"name":"EPIC","channelProductId":"b"}])") + "," +
           R"({"productId":"p4","payChannel":[{"name":"EPIC"}]})" + "," +
           Product("p3", R"([{"name":"EPIC","channelProductId":"o3-late"}])") + "]}");
    VondProxy::QueryProducts(&Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(1));
    json data = json::parse(VondSdk::ToUtf8(Recorder::Records()[0].data));
    ASSERT_EQ(data["productList"].size(), 3u);
    EXPECT_EQ(data["productList"][0]["productId"], "p3");
    EXPECT_EQ(data["productList"][1]["productId"], "p2");
    EXPECT_EQ(data["productList"][2]["productId"], "p4");
    EXPECT_EQ(data["productList"][2]["gameCurrencyAmount"], 0);
    EXPECT_EQ(data["productList"][2]["productName"], "");

    VondSdk::ProductInfo product;
    EXPECT_FALSE(CVondPay::Instance().FindProduct("p1", product));
    ASSERT_TRUE(CVondPay::Instance().FindProduct("p2", product));
    EXPECT_EQ(product.channelProductId, "b");
    ASSERT_TRUE(CVondPay::Instance().FindProduct("p3", product));
    EXPECT_EQ(product.channelProductId, "o3-late");
}

TEST_F(Catalogue, NoMatchingProductOrNoListLoadsAnEmptyTable) {
    Answer(R"({"code":200,"msg":"ok"})");
    VondProxy::QueryProducts(&Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(1));
    EXPECT_EQ(Recorder::Records()[0].data, LR"({"code":200,"msg":"Success"})");
    VondProxy::QueryProducts(&Recorder::Callback);
    ASSERT_EQ(Recorder::Records().size(), 2u);
    EXPECT_EQ(Recorder::Records()[1].data, LR"({"code":200,"msg":"Success"})");
    EXPECT_EQ(RequestsFor(server_, kProductsPath), 1u);
}

TEST_F(Catalogue, BackendErrorReachesTheGameAndTheNextQueryAsksAgain) {
    const std::string refusal = R"({"code":1001,"msg":"busy"})";
    Answer(refusal);
    VondProxy::QueryProducts(&Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(1));
    auto failed = Recorder::Records()[0];
    EXPECT_EQ(failed.code, 1001);
    EXPECT_EQ(failed.message, L"busy");
    EXPECT_EQ(failed.data, VondSdk::ToWide(refusal));
    EXPECT_FALSE(CVondCore::Instance().IsProductsLoaded());

    Answer(R"({"code":200,"msg":"ok","productList":[)" + Product("p1", R"([{"name":"EPIC","channelProductId":"o"}])") + "]}");
    VondProxy::QueryProducts(&Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(2));
    EXPECT_EQ(Recorder::Records()[1].code, 200);
    EXPECT_EQ(RequestsFor(server_, kProductsPath), 2u);
}

TEST_F(Catalogue, UnreadableProductListEndsInOneJsonParseError) {
    // A description of the wrong kind, then a product that is not an object, then a list
    // that is not an array: every one is answered, and nothing of it is kept.
    const std::string answers[] = {
        R"({"code":200,"msg":"ok","productList":[)" + Product("p1", R"([{"name":"EPIC","channelProductId":"o"}])") +
            "," + R"({"productId":"p2","productDesc":5,"payChannel":[{"name":"EPIC"}]}]})",
        R"({"code":200,"msg":"ok","productList":[7]})",
        R"({"code":200,"msg":"ok","productList":{"p":1}})",
    };
    size_t expected = 0;
    for (const std::string& body : answers) {
        Answer(body);
        VondProxy::QueryProducts(&Recorder::Callback);
        ASSERT_TRUE(Recorder::WaitFor(++expected));
        auto record = Recorder::Records().back();
        EXPECT_EQ(record.code, -501);
        EXPECT_EQ(record.message, L"Server JSON Parse Error.");
        EXPECT_EQ(record.data, L"");
    }
    EXPECT_FALSE(CVondCore::Instance().IsProductsLoaded());
    VondSdk::ProductInfo product;
    EXPECT_FALSE(CVondPay::Instance().FindProduct("p1", product));
}

TEST_F(Catalogue, OrderForAnUnknownProductOrAFailedListEndsAtOnce) {
    server_.Reply(HttpAnswer(500, "down"));
    CVondPay::Instance().CreateOrder("p1", "ext", &Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(1));
    auto failed = Recorder::Records()[0];
    EXPECT_EQ(failed.code, -502);
    EXPECT_EQ(failed.message.rfind(L"Query Product Failure, ", 0), 0u) << VondSdk::ToUtf8(failed.message);

    Answer(R"({"code":200,"msg":"ok","productList":[)" + Product("p1", R"([{"name":"EPIC","channelProductId":"o"}])") + "]}");
    CVondPay::Instance().CreateOrder("P1", "ext", &Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(2));
    EXPECT_EQ(Recorder::Records()[1].code, -400);

    // Loaded now: the refusal comes at once, on the game's thread, and no order is created.
    CVondPay::Instance().CreateOrder("p2", "ext", &Recorder::Callback);
    auto records = Recorder::Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].code, -400);
    EXPECT_EQ(records[2].message, L"Not Found Product.");
    EXPECT_EQ(records[2].data, L"");
    EXPECT_EQ(records[2].thread, std::this_thread::get_id());
    EXPECT_EQ(RequestsFor(server_, kCreateOrderPath), 0u);
}

TEST_F(Catalogue, CreateOrderAnswerIsReadOrEndsInOneCallback) {
    VondSdk::ProductInfo product;
    product.productId = "p1";
    product.channelProductId = "offer1";
    auto order = CVondPay::OrderFromCreateOrderAnswer(
        R"({"code":200,"msg":"ok","orderId":"o-1","productName":"Gems","defaultCurrency":"USD",)"
        R"("defaultAmountMicro":4294967296000,"virtualCoinAmount":100})",
        product, "ext");
    EXPECT_EQ(order->orderId, "o-1");
    EXPECT_EQ(order->defaultAmountMicro, 4294967296000);
    EXPECT_EQ(order->virtualCurrency, "");
    EXPECT_EQ(order->channelProductId, "offer1");
    EXPECT_EQ(order->extInfo, "ext");
    EXPECT_EQ(order->userId, "-1");
    EXPECT_THROW(CVondPay::OrderFromCreateOrderAnswer(R"({"orderId":7})", product, ""), json::exception);
    EXPECT_THROW(CVondPay::OrderFromCreateOrderAnswer(R"({"defaultAmountMicro":1.5})", product, ""),
                 json::exception);
    EXPECT_THROW(CVondPay::OrderFromCreateOrderAnswer("[]", product, ""), json::exception);

    // Through the flow: a code-200 answer that cannot be read is one -501 for the game.
    Answer(R"({"code":200,"msg":"ok","productList":[)" + Product("p1", R"([{"name":"EPIC","channelProductId":"o"}])") + "]}");
    VondProxy::QueryProducts(&Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(1));
    Answer(R"({"code":200,"msg":"ok","orderId":["o"]})");
    CVondPay::Instance().CreateOrder("p1", "ext", &Recorder::Callback);
    ASSERT_TRUE(Recorder::WaitFor(2));
    EXPECT_EQ(Recorder::Records()[1].code, -501);
    EXPECT_EQ(Recorder::Records()[1].message, L"Server JSON Parse Error.");
}

TEST(OrderRequests, ParametersOfBothRequestsComeFromTheOrderAndTheCore) {
    vondtest::TempDir data;
    vondtest::SetEnv("VOND_SDK_DATA_DIR", data.Path());
    CVondCore& core = CVondCore::Instance();
    core.InitGlobalParams("app-1", "key-1");
    core.SetSession("token", "4294967297");
    core.SetServerId("s1");
    core.SetGameUserId("g1");
    core.SetNickName("Nick & Co");

    VondSdk::CreateOrderParams create = CVondPay::MakeCreateOrderParams("p1", "ext=1&2");
    EXPECT_EQ(create.productId, "p1");
    EXPECT_EQ(create.userId, "4294967297");
    EXPECT_EQ(create.serverId, "s1");
    EXPECT_EQ(create.gameUserId, "g1");
    EXPECT_EQ(create.nickName, "Nick & Co");
    EXPECT_EQ(create.orderAmountMicros, "0");
    EXPECT_EQ(create.currencyCode, "");
    EXPECT_EQ(create.extInfo, "ext=1&2");
    json collection = json::parse(create.collectionInfo);
    EXPECT_EQ(collection.size(), 2u);
    EXPECT_TRUE(collection["deviceId"].is_string());
    EXPECT_TRUE(collection["resolution"].is_string());
    EXPECT_EQ(create.collectionInfo, collection.dump());

    VondSdk::OrderInfo order;
    order.orderId = "o-1";
    order.defaultAmountMicro = -5;
    order.serverId = "os";
    order.gameUserId = "og";
    order.userId = "ou";
    order.channelProductId = "offer1";
    order.epicTransId = "t-1";
    order.epicEntitlementId = "E1";
    order.defaultCurrency = "USD";
    order.extInfo = "x";
    order.productId = "p1";
    VondSdk::PayResultParams paid = CVondPay::MakePayResultParams("1", order, "at", "sb");
    EXPECT_EQ(paid.channelPayType, "");
    EXPECT_EQ(paid.orderId, "o-1");
    EXPECT_EQ(paid.extVerifyInfo, R"({"epicAccessToken":"at","epicEntitlementId":"E1","epicSandboxId":"sb"})");
    EXPECT_EQ(paid.payAmountMicros, "-5");
    EXPECT_EQ(paid.serverId, "os");
    EXPECT_EQ(paid.gameUserId, "og");
    EXPECT_EQ(paid.status, "1");
    EXPECT_EQ(paid.trxId, "t-1");
    EXPECT_EQ(paid.trxToken, "");
    EXPECT_EQ(paid.userId, "ou");
    EXPECT_EQ(paid.channelProductId, "offer1");
    EXPECT_EQ(CVondPay::MakePayResultParams("0", order, "", "").payAmountMicros, "0");

    EXPECT_EQ(CVondPay::PayResultData(order, 1),
              R"({"amount":-5,"currency":"USD","extInfo":"x","orderId":"o-1","productId":"p1","quantity":1,"status":1})");
}
