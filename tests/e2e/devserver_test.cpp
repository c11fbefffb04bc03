// The SDK's request catalogue and transport against the backend emulator: every request
// accepted with a verified signature, tampering refused, faults reaching the SDK as the
// transport's codes, payments settled once, and a server that outlives garbage.
#include "support/DevServer.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "http/CVondApi.h"
#include "http/CVondHttp.h"
#include "http/Sion.h"
#include "http/SionAsync.h"
#include "platform/Net.h"
#include "src/CVondCore.h"
#include "support/TestEnv.h"
#include "utils/VondUtils.h"

namespace VondSdk {
namespace {

using nlohmann::json;

// Mapped to user ids in tools/devserver/sample-config.json (the first one above 2^31).
const char kEpicAccount[] = "e05a1d2f3c4b5a69788796a5b4c3d2e1";
const int64_t kEpicAccountUserId = 3000000001LL;
const char kOtherEpicAccount[] = "0b1c2d3e4f5a69788796a5b4c3d2e1f0";

const char kProductsPath[] = "/sdkapi/v9/pay/products.do";

struct Answer {
    int32_t code = 0;
    std::string msg;
    std::string data;
    json body;  // data parsed, or discarded
};

Answer ToAnswer(const HttpResp& resp) {
    Answer a;
    a.code = resp.code;
    a.msg = ToUtf8(resp.msg);
    a.data = ToUtf8(resp.data);
    a.body = json::parse(a.data, nullptr, false);
    return a;
}

// Sends one request through a CVondApi sender and waits for its completion.
Answer Call(const std::function<void(CVondApi::Completion)>& send) {
    auto done = std::make_shared<std::promise<HttpResp>>();
    std::future<HttpResp> answered = done->get_future();
    send([done](HttpResp resp) { done->set_value(std::move(resp)); });
    if (answered.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "no completion within 60 s";
        return Answer{};
    }
    return ToAnswer(answered.get());
}

Answer Post(const std::string& url, const std::string& body) {
    return Call([&](CVondApi::Completion completion) { CVondHttp::PostCallback(url, body, completion); });
}

// The SDK set up for one test app of the shared server.
class DevServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        server_ = std::make_unique<vondtest::DevServer>();
        CVondCore::Instance().InitGlobalParams(server_->AppId(), server_->AppKey());
        if (!sion::Pool().Started()) sion::Pool().Start();
    }

    const CVondApi& Api() const { return CVondApi::Instance(); }

    // Logs account in and makes the core carry its backend user id.
    int64_t LogIn(const std::string& account) {
        Answer login = Call([&](auto c) { Api().RequestLogin(account, "id-token-of-" + account, c); });
        EXPECT_EQ(login.code, 200) << login.msg;
        if (login.code != 200) return -1;
        const int64_t userId = login.body.at("userId").get<int64_t>();
        CVondCore::Instance().SetSession(login.body.at("token").get<std::string>(), std::to_string(userId));
        return userId;
    }

    Answer CreateOrder(const std::string& productId) {
        CreateOrderParams order;
        order.productId = productId;
        order.serverId = "s1";
        order.gameUserId = "g7";
        order.nickName = "Ann & Bob=1+1%";
        order.orderAmountMicros = "0";
        order.collectionInfo = R"({"deviceId":"d","resolution":"1920*1080"})";
        order.extInfo = "ext-42";
        return Call([&](auto c) { Api().RequestCreateOrder(order, c); });
    }

    PayResultParams PaidReport(const Answer& created, const std::string& status = "1") {
        PayResultParams result;
        result.orderId = created.body.value("orderId", std::string());
        result.extVerifyInfo = R"({"epicAccessToken":"at","epicEntitlementId":"ent-1","epicSandboxId":"sb"})";
        result.payAmountMicros =
            status == "1" ? std::to_string(created.body.value("defaultAmountMicro", 0LL)) : "0";
        result.serverId = "s1";
        result.gameUserId = "g7";
        result.status = status;
        result.trxId = status == "1" ? "trx-1" : "";
        result.channelProductId = "offer1";
        return result;
    }

    vondtest::TempDir data_;
    std::unique_ptr<vondtest::DevServer> server_;
};

TEST_F(DevServerTest, AllSevenRequestsAreAcceptedWithVerifiedSignatures) {
    Answer config = Call([&](auto c) { Api().RequestClientConfig(c); });
    ASSERT_EQ(config.code, 200) << config.msg;
    EXPECT_EQ(config.body.value("isTestDevice", 0), 1);
    EXPECT_EQ(config.body.value("epicGameName", ""), "Vond Sample Game");
    EXPECT_EQ(config.body.value("epicProductId", ""), "vond-sample-product-id");
    EXPECT_EQ(config.body.value("epicClientCredentialsId", ""), "vond-sample-client-id");
    EXPECT_EQ(config.body.value("epicClientCredentialsSecret", ""), "vond-sample-client-secret");

    EXPECT_EQ(Call([&](auto c) { Api().RequestAttribution(c); }).code, 200);

    Answer login = Call([&](auto c) { Api().RequestLogin(kEpicAccount, "jwt", c); });
    ASSERT_EQ(login.code, 200) << login.msg;
    ASSERT_TRUE(login.body.at("userId").is_number_integer());
    EXPECT_EQ(login.body.at("userId").get<int64_t>(), kEpicAccountUserId);
    EXPECT_FALSE(login.body.value("token", "").empty());
    CVondCore::Instance().SetSession(login.body["token"], std::to_string(kEpicAccountUserId));

    Answer products = Call([&](auto c) { Api().RequestProducts(c); });
    ASSERT_EQ(products.code, 200) << products.msg;
    const json& gems = products.body.at("productList").at(0);
    EXPECT_EQ(
        gems.dump(),
        R"({"gameCurrencyAmount":100,"payChannel":[{"channelProductId":"offer1","name":"EPIC"}],)"
        R"("productCurrencyCode":"USD","productDesc":"100 gems","productId":"p1","productName":"Gems"})");

    Answer created = CreateOrder("p1");
    ASSERT_EQ(created.code, 200) << created.msg;
    EXPECT_FALSE(created.body.value("orderId", "").empty());
    EXPECT_EQ(created.body.value("productName", ""), "Gems");
    EXPECT_EQ(created.body.value("defaultCurrency", ""), "USD");
    EXPECT_EQ(created.body.value("defaultAmountMicro", 0LL), 990000);
    EXPECT_EQ(created.body.value("virtualCoinAmount", 0LL), 100);
    EXPECT_EQ(created.body.value("virtualCurrency", ""), "Gems");

    Answer paid = Call([&](auto c) { Api().RequestPayResult(PaidReport(created), c); });
    ASSERT_EQ(paid.code, 200) << paid.msg;
    EXPECT_EQ(paid.body.value("status", -1), 1);

    const json event = {{"appId", server_->AppId()}, {"event", "qlx_startup"}, {"eventOrder", "n1"}};
    EXPECT_EQ(Call([&](auto c) { Api().PostTrack(event.dump(), c); }).code, 200);

    const json requests = server_->Requests();
    ASSERT_EQ(requests.size(), 7u) << requests.dump(1);
    const char* const paths[] = {"/sdkapi/v3/config/client.do",
                                 "/sdkapi/v1/attribution.do",
                                 "/sdkapi/v20/init.do",
                                 kProductsPath,
                                 "/sdkapi/v9/pay/create_order.do",
                                 "/sdkapi/v9/pay/pay_result.do",
                                 "/data/h5/v1.do"};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(requests[i]["path"], paths[i]);
        EXPECT_EQ(requests[i]["signature"], i < 6 ? "valid" : "unsigned") << requests[i].dump();
        EXPECT_EQ(requests[i]["answer"]["status"], 200);
    }
    // The nickname's "&", "=", "+" and "%" reached the server as one value.
    bool nickName = false;
    for (const auto& field : requests[4]["form"])
        nickName = nickName || field == json{"nickName", "Ann & Bob=1+1%"};
    EXPECT_TRUE(nickName) << requests[4]["form"].dump();

    const json orders = server_->Orders();
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0]["status"], "paid");
    EXPECT_EQ(orders[0]["userId"], kEpicAccountUserId);
    const json events = server_->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["event"], event);
}

TEST_F(DevServerTest, TamperedOrWronglySignedRequestsAreRefused) {
    const GlobalParams params = CVondCore::Instance().GetGlobalParams();
    const ApiRequest good = Api().BuildProducts(params);
    ASSERT_EQ(Post(good.url, good.body).code, 200);

    // One byte of the body changed: the clientId's last character.
    std::string tampered = good.body;
    const size_t at = tampered.find("&runPlatform=") - 1;
    tampered[at] = tampered[at] == 'a' ? 'b' : 'a';
    Answer changed = Post(good.url, tampered);
    EXPECT_EQ(changed.code, 4001);
    EXPECT_EQ(changed.msg, "Sign Error");

    GlobalParams otherKey = params;
    otherKey.appKey = "not-" + params.appKey;
    EXPECT_EQ(Post(good.url, Api().BuildProducts(otherKey).body).code, 4001);
    // The create-order form carries the key itself; the server holds it to the app's key.
    CreateOrderParams order;
    order.productId = "p1";
    EXPECT_EQ(Post(Api().createOrderUrl, Api().BuildCreateOrder(otherKey, "1", order).body).code, 4001);

    GlobalParams otherApp = params;
    otherApp.appId = "no-such-app";
    EXPECT_EQ(Post(good.url, Api().BuildProducts(otherApp).body).code, 4002);
    std::string missing = good.body;
    missing.erase(missing.find("&page=1"), 7);
    EXPECT_EQ(Post(good.url, missing).code, 4003);
    EXPECT_EQ(Post(good.url, good.body + "%zz").code, 4005);

    const json requests = server_->Requests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[0]["signature"], "valid");
    EXPECT_EQ(requests[1]["signature"], "invalid");
    EXPECT_EQ(requests[1]["verdict"], "bad-signature");
    EXPECT_EQ(requests[1]["body"], tampered);
    EXPECT_EQ(json::parse(requests[1]["answer"]["body"].get<std::string>())["code"], 4001);
    EXPECT_EQ(requests[2]["signature"], "invalid");
}

TEST_F(DevServerTest, FaultsReachTheSdkAsTheTransportsCodes) {
    // The SDK's read bound shortened, so a delayed answer runs past it quickly.
    sion::SetTimeouts(std::chrono::seconds(10), std::chrono::milliseconds(1500));
    auto products = [&] { return Call([&](auto c) { Api().RequestProducts(c); }); };

    server_->AddFault({{"path", kProductsPath}, {"kind", "status"}, {"status", 500}, {"body", "boom"}});
    Answer status500 = products();
    EXPECT_EQ(status500.code, -502);
    EXPECT_EQ(status500.msg, "Http Code:500, Msg:");

    server_->AddFault({{"path", kProductsPath}, {"kind", "body"}, {"body", "<html>not json</html>"}});
    EXPECT_EQ(products().code, -501);

    server_->AddFault({{"path", kProductsPath}, {"kind", "drop"}});
    Answer dropped = products();
    EXPECT_EQ(dropped.code, -502);
    EXPECT_EQ(dropped.msg.rfind("Http Code:, Msg:", 0), 0u) << dropped.msg;

    server_->AddFault({{"path", kProductsPath}, {"kind", "chunked"}});
    Answer chunked = products();
    EXPECT_EQ(chunked.code, 200) << chunked.msg;
    EXPECT_EQ(chunked.body.at("productList").size(), 4u);

    server_->AddFault({{"path", kProductsPath}, {"kind", "delay"}, {"delayMs", 4000}});
    Answer late = products();
    EXPECT_EQ(late.code, -502);
    EXPECT_NE(late.msg.find(sion::kIoTimeoutMessage), std::string::npos) << late.msg;

    // A backend error passed through as it is, twice, then the normal answer again.
    server_->AddFault({{"path", kProductsPath},
                       {"kind", "envelope"},
                       {"code", 1001},
                       {"msg", "No Products"},
                       {"count", 2}});
    for (int i = 0; i < 2; ++i) {
        Answer refused = products();
        EXPECT_EQ(refused.code, 1001);
        EXPECT_EQ(refused.msg, "No Products");
        EXPECT_EQ(refused.data, R"({"code":1001,"msg":"No Products"})");
    }
    EXPECT_EQ(products().code, 200);

    const json requests = server_->Requests();
    ASSERT_EQ(requests.size(), 8u);
    EXPECT_EQ(requests[4]["fault"], "delay");
    EXPECT_EQ(requests[2]["fault"], "drop");
    EXPECT_TRUE(requests[2]["answer"].is_null());
    EXPECT_EQ(requests[3]["answer"]["chunked"], true);

    // An error status with an empty body goes out as it is, logged once.
    server_->AddFault({{"path", kProductsPath}, {"kind", "status"}, {"status", 503}});
    EXPECT_EQ(products().msg, "Http Code:503, Msg:");
    const json last = server_->Requests().back();
    EXPECT_EQ(last["answer"], json({{"body", ""}, {"chunked", false}, {"status", 503}}));
    EXPECT_EQ(server_->Requests().size(), 9u);
    EXPECT_THROW(server_->AddFault({{"path", kProductsPath}, {"kind", "explode"}}), std::runtime_error);
}

TEST_F(DevServerTest, PayResultSettlesAnOrderOnceAndOnlyForItsUser) {
    LogIn(kEpicAccount);
    Answer created = CreateOrder("p2");
    ASSERT_EQ(created.code, 200) << created.msg;
    const std::string orderId = created.body["orderId"];
    EXPECT_EQ(created.body.value("defaultAmountMicro", 0LL), 9990000);

    // Reports racing each other: every one hears status 1, the order is paid once.
    constexpr int kReports = 6;
    std::vector<std::future<Answer>> reports;
    for (int i = 0; i < kReports; ++i) {
        reports.push_back(std::async(std::launch::async, [&] {
            return Call([&](auto c) { Api().RequestPayResult(PaidReport(created), c); });
        }));
    }
    for (auto& report : reports) {
        Answer a = report.get();
        EXPECT_EQ(a.code, 200) << a.msg;
        EXPECT_EQ(a.body.value("status", -1), 1);
    }
    json orders = server_->Orders();
    ASSERT_EQ(orders.size(), 1u);
    int paid = 0, repeats = 0;
    for (const auto& entry : orders[0]["history"]) {
        paid += entry["event"] == "paid";
        repeats += entry["event"] == "repeat";
    }
    EXPECT_EQ(paid, 1);
    EXPECT_EQ(repeats, kReports - 1);

    // A cancelled checkout of another order answers status 0 and leaves it unpaid.
    Answer second = CreateOrder("p1");
    Answer cancelled = Call([&](auto c) { Api().RequestPayResult(PaidReport(second, "0"), c); });
    EXPECT_EQ(cancelled.code, 200);
    EXPECT_EQ(cancelled.body.value("status", -1), 0);

    // Another player cannot report these orders, nor anyone an order that does not exist.
    LogIn(kOtherEpicAccount);
    EXPECT_EQ(Call([&](auto c) { Api().RequestPayResult(PaidReport(second), c); }).code, 4008);
    PayResultParams unknown = PaidReport(second);
    unknown.orderId = "VD-no-such-order";
    EXPECT_EQ(Call([&](auto c) { Api().RequestPayResult(unknown, c); }).code, 4007);
    orders = server_->Orders();
    ASSERT_EQ(orders.size(), 2u);
    EXPECT_EQ(orders[1]["status"], "created");

    // Products the SDK must not buy through Epic, and unknown ones, are refused at creation.
    EXPECT_EQ(CreateOrder("p3").code, 4006);
    EXPECT_EQ(CreateOrder("p4").code, 4006);
    EXPECT_EQ(CreateOrder("nope").code, 4006);
}

// Writes bytes over TLS to the server (no certificate check: garbage needs no trust) and
// returns what came back before the server closed, or nothing when readAnswer is false.
std::string SendOverTls(const std::string& origin, const std::string& bytes, bool readAnswer) {
    std::string ignored;
    net::StartupNetwork(ignored);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    BIO* bio = BIO_new_ssl_connect(context);
    BIO_set_conn_hostname(bio, origin.substr(origin.find("//") + 2).c_str());
    std::string answer;
    if (BIO_do_connect(bio) == 1 && BIO_do_handshake(bio) == 1) {
        BIO_write(bio, bytes.data(), static_cast<int>(bytes.size()));
        char buffer[4096];
        int n = 0;
        // The status line and head are the answer; the server may keep the connection open
        // for its kept-alive period after them, which is not waited out.
        while (readAnswer && answer.find("\r\n\r\n") == std::string::npos &&
               (n = BIO_read(bio, buffer, sizeof buffer)) > 0)
            answer.append(buffer, n);
    }
    BIO_free_all(bio);
    SSL_CTX_free(context);
    net::CleanupNetwork();
    return answer;
}

// Raw bytes on the TCP socket, not even TLS.
void SendRawTcp(const std::string& origin, const std::string& bytes, bool readAnswer) {
    std::string ignored;
    net::StartupNetwork(ignored);
    BIO* bio = BIO_new_connect(origin.substr(origin.find("//") + 2).c_str());
    if (BIO_do_connect(bio) == 1) {
        BIO_write(bio, bytes.data(), static_cast<int>(bytes.size()));
        char buffer[512];
        while (readAnswer && BIO_read(bio, buffer, sizeof buffer) > 0) {
        }
    }
    BIO_free_all(bio);
    net::CleanupNetwork();
}

TEST_F(DevServerTest, ServerKeepsServingAfterGarbage) {
#ifdef SIGPIPE
    // The server closes on garbage while this side still writes; that must fail the write,
    // not end the test.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::mt19937 random(7);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    SendRawTcp(server_->Origin(), noise, true);
    SendRawTcp(server_->Origin(), noise.substr(0, 5), false);
    // Garbage inside TLS, short enough that the server has read all of it when it answers
    // (closing on unread bytes would reset the connection before the answer arrives).
    EXPECT_EQ(
        SendOverTls(server_->Origin(), noise.substr(0, 200) + "\r\n\r\n", true).rfind("HTTP/1.1 400", 0), 0u);
    SendOverTls(server_->Origin(), noise, false);
    // A head cut short and a body shorter than its length, then the client goes away.
    SendOverTls(server_->Origin(),
                "POST /sdkapi/v9/pay/products.do HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le", false);
    SendOverTls(server_->Origin(),
                "POST /sdkapi/v9/pay/products.do HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\nappId=1",
                false);
    EXPECT_EQ(
        SendOverTls(server_->Origin(),
                    "GET /sdkapi/v9/pay/products.do HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", true)
            .rfind("HTTP/1.1 405", 0),
        0u);
    EXPECT_EQ(
        SendOverTls(server_->Origin(), "BREW /pot HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", true)
            .rfind("HTTP/1.1 4", 0),
        0u);

    // A 10 MiB body is refused without being taken in.
    Answer huge = Post(Api().productsUrl, std::string(10 * 1024 * 1024, 'a'));
    EXPECT_EQ(huge.code, -502);
    EXPECT_EQ(Post(server_->Origin() + "/no/such/path", "a=1").code, -502);
    EXPECT_EQ(Post(Api().productsUrl, std::string("appId=\xff\xfe&x=%00")).code, 4002);

    Answer good = Call([&](auto c) { Api().RequestProducts(c); });
    EXPECT_EQ(good.code, 200) << good.msg;
    EXPECT_FALSE(server_->Requests().empty());
}

// State outlives the server process: a killed server keeps every answered order, and the
// next one (as a second SDK process would find it) settles it once.
TEST(DevServerStateTest, OrdersSurviveAKilledServer) {
    if (!vondtest::DevServerProcess::Supported())
        GTEST_SKIP() << "starts a server process of its own (Linux legs)";
    vondtest::TempDir dir;
    vondtest::SetEnv("VOND_SDK_DATA_DIR", dir.Path());
    std::string orderId;
    std::string appId, appKey;
    {
        vondtest::DevServerProcess first(dir.Path());
        vondtest::DevServer server(first.Origin(), first.CaFile(), "1001", true);
        appId = server.AppId();
        appKey = server.AppKey();
        CVondCore::Instance().InitGlobalParams(appId, appKey);
        if (!sion::Pool().Started()) sion::Pool().Start();
        Answer login = Call([&](auto c) { CVondApi::Instance().RequestLogin(kEpicAccount, "jwt", c); });
        ASSERT_EQ(login.code, 200);
        CVondCore::Instance().SetSession(login.body["token"], std::to_string(kEpicAccountUserId));
        CreateOrderParams order;
        order.productId = "p1";
        Answer created = Call([&](auto c) { CVondApi::Instance().RequestCreateOrder(order, c); });
        ASSERT_EQ(created.code, 200) << created.msg;
        orderId = created.body["orderId"];
        first.Kill();
    }
    // The second server on the same state, on another port: the origin the SDK read at its
    // first request is the first server's, so this one is reached through raw forms.
    vondtest::DevServerProcess second(dir.Path());
    vondtest::DevServer admin(second.Origin(), second.CaFile(), "1001", false);
    vondtest::HttpResult orders = admin.Send("GET", "/__admin/orders?appId=" + appId);
    ASSERT_EQ(orders.status, 200);
    const json stored = json::parse(orders.body);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["orderId"], orderId);

    CVondApi api(second.Origin());
    PayResultParams report;
    report.orderId = orderId;
    report.extVerifyInfo = R"({"epicAccessToken":"a","epicEntitlementId":"e","epicSandboxId":"s"})";
    report.payAmountMicros = "990000";
    report.status = "1";
    const GlobalParams params = CVondCore::Instance().GetGlobalParams();
    const ApiRequest request = api.BuildPayResult(params, std::to_string(kEpicAccountUserId), report);
    for (int i = 0; i < 2; ++i) {
        Answer paid = Post(request.url, request.body);
        EXPECT_EQ(paid.code, 200) << paid.msg;
        EXPECT_EQ(paid.body.value("status", -1), 1);
    }
    const json after = json::parse(admin.Send("GET", "/__admin/orders?appId=" + appId).body);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0]["status"], "paid");
    EXPECT_EQ(after[0]["history"].size(), 3u);  // created, paid, repeat
}

}  // namespace
}  // namespace VondSdk
