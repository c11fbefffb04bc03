// Login and the product catalogue, driven through the exported functions against the backend
// emulator and the EOS stand-in.
#include "e2e/EpicGame.h"

namespace e2e {
namespace {

constexpr char kLoginPath[] = "/sdkapi/v20/init.do";
constexpr char kProductsPath[] = "/sdkapi/v9/pay/products.do";
constexpr char kCreateOrderPath[] = "/sdkapi/v9/pay/create_order.do";

using Login = EpicGame;
using Products = EpicGame;

json Gems() {
    return {{"productId", "p1"},           {"productName", "Gems"},
            {"productDesc", "100 gems"},   {"productCurrencyCode", "USD"},
            {"gameCurrencyAmount", 100},   {"payChannel", json::array({{{"name", "EPIC"}, {"channelProductId", "offer1"}}})}};
}

}  // namespace

TEST_F(Login, SucceedsOnceWithTheBackendBodyAndItsUserIdGoesBackWhole) {
    Start();
    Heard login = LogIn();
    EXPECT_EQ(login.code, 200);
    json body = login.Data();
    ASSERT_TRUE(body.is_object()) << Utf8(login.data);
    EXPECT_EQ(body["userId"], 3000000001LL);
    EXPECT_TRUE(body["token"].is_string());
    auto forms = FormsTo(kLoginPath);
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_EQ(forms[0]["puserId"], kAccountId);

    // The entitlement pass adds no callback, and the id above 2^31 reaches later requests whole.
    Heard bought = Buy("p1");
    EXPECT_EQ(bought.code, 200);
    auto records = Heards();
    EXPECT_EQ(records.size(), 2u);
    auto orders = FormsTo(kCreateOrderPath);
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0]["userId"], "3000000001");
}

TEST_F(Login, UnknownExchangeCodeIsAnEpicLoginFailure) {
    scenario_["accounts"][0]["exchangeCode"] = "some-other-code";
    Start();
    Heard login = LogIn();
    EXPECT_EQ(login.code, -404);
    EXPECT_EQ(login.message, L"Epic Login Failure!");
    EXPECT_EQ(login.data, L"");
    EXPECT_TRUE(FormsTo(kLoginPath).empty());
    // Still not logged in.
    VondProxy::CallPay(L"p1", L"", &vondtest::Recorder::Callback);
    EXPECT_EQ(Heards().back().code, -405);
}

TEST_F(Login, BackendRefusalOrUnreadableBodyReachesTheGameAndLeavesThePlayerOut) {
    server_.AddFault({{"path", kLoginPath}, {"kind", "envelope"}, {"code", 2001}, {"msg", "Account banned"}});
    Start();
    Heard refused = LogIn();
    EXPECT_EQ(refused.code, 2001);
    EXPECT_EQ(refused.message, L"Account banned");
    EXPECT_EQ(refused.Data()["code"], 2001);

    server_.AddFault({{"path", kLoginPath}, {"kind", "body"}, {"body", "<html>not json</html>"}});
    Heard unreadable = LogIn();
    EXPECT_EQ(unreadable.code, -501);
    EXPECT_EQ(unreadable.data, L"");

    VondProxy::CallPay(L"p1", L"", &vondtest::Recorder::Callback);
    EXPECT_EQ(Heards().back().code, -405);
}

TEST_F(Login, AbsentUserIdIsMinusOneAndStillASuccess) {
    server_.AddFault({{"path", kLoginPath}, {"kind", "envelope"}, {"code", 200}, {"msg", "Success"},
                      {"extra", {{"token", "t-1"}}}});
    Start();
    Heard login = LogIn();
    EXPECT_EQ(login.code, 200);
    EXPECT_FALSE(login.Data().contains("userId"));
    // Logged in: the purchase goes out, for user -1 (whom this backend does not know).
    Heard bought = Buy("p1");
    auto orders = FormsTo(kCreateOrderPath);
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0]["userId"], "-1");
    EXPECT_NE(bought.code, 200);
}

TEST_F(Products, GemsExampleIsHandedOverByteForByteAndThenServedFromTheTable) {
    // The start-up pre-load and, should the game ask before it is in, the game's own query.
    server_.AddFault({{"path", kProductsPath}, {"kind", "envelope"}, {"code", 200}, {"msg", "Success"},
                      {"extra", {{"productList", json::array({Gems()})}}}, {"count", 2}});
    Start();
    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return Heards().size() == 1; }));
    const size_t requests = FormsTo(kProductsPath).size();
    // Loaded: answered at once, on the game's thread, without asking the backend.
    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    auto records = Heards();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].thread, std::this_thread::get_id());
    const std::wstring expected =
        LR"({"code":200,"msg":"Success","productList":[{"gameCurrencyAmount":100,"productDesc":"100 gems",)"
        LR"("productId":"p1","productName":"Gems"}]})";
    for (const Heard& heard : records) {
        EXPECT_EQ(heard.code, 200);
        EXPECT_EQ(heard.message, L"Success");
        EXPECT_EQ(heard.data, expected);
    }
    EXPECT_EQ(FormsTo(kProductsPath).size(), requests);
}

TEST_F(Products, OnlyExactEpicChannelsAreKept) {
    // The catalogue also sells p3 on phones only and p4 through a channel named "Epic".
    Start();
    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return !Heards().empty(); }));
    json data = Heards()[0].Data();
    ASSERT_TRUE(data["productList"].is_array()) << Utf8(Heards()[0].data);
    std::vector<std::string> ids;
    for (const json& product : data["productList"]) ids.push_back(product["productId"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"p1", "p2"}));
}

TEST_F(Products, NoProductListGivesOnlyCodeAndMessage) {
    server_.AddFault({{"path", kProductsPath}, {"kind", "envelope"}, {"code", 200}, {"msg", "Success"},
                      {"count", 2}});
    Start();
    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return !Heards().empty(); }));
    EXPECT_EQ(Heards()[0].data, LR"({"code":200,"msg":"Success"})");
    const size_t requests = FormsTo(kProductsPath).size();
    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    ASSERT_EQ(Heards().size(), 2u);
    EXPECT_EQ(Heards()[1].data, LR"({"code":200,"msg":"Success"})");
    EXPECT_EQ(FormsTo(kProductsPath).size(), requests);
}

TEST_F(Products, BackendErrorReachesTheGameAndARetrySucceeds) {
    // Two refusals: the pre-load's, then the game's first query's.
    server_.AddFault({{"path", kProductsPath}, {"kind", "envelope"}, {"code", 1001}, {"msg", "No products"},
                      {"count", 2}});
    Start();
    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return Heards().size() == 1; }));
    EXPECT_EQ(Heards()[0].code, 1001);
    EXPECT_EQ(Heards()[0].message, L"No products");
    EXPECT_EQ(Heards()[0].Data()["code"], 1001);

    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return Heards().size() == 2; }));
    EXPECT_EQ(Heards()[1].code, 200);
    EXPECT_EQ(Heards()[1].Data()["productList"].size(), 2u);
    EXPECT_EQ(FormsTo(kProductsPath).size(), 3u);
}

TEST_F(Products, UnreadableListIsOneJsonParseError) {
    server_.AddFault({{"path", kProductsPath}, {"kind", "envelope"}, {"code", 200}, {"msg", "Success"},
                      {"extra", {{"productList", json::array({{{"productId", "p1"}, {"productDesc", 5},
                                                              {"payChannel", json::array({{{"name", "EPIC"}}})}}})}}},
                      {"count", 2}});
    Start();
    VondProxy::QueryProducts(&vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return !Heards().empty(); }));
    EXPECT_EQ(Heards()[0].code, -501);
    EXPECT_EQ(Heards()[0].message, L"Server JSON Parse Error.");
}

}  // namespace e2e
