// Purchases from CallPay to redemption, and the login pass that settles what a purchase left
// behind, through the exported functions against the backend emulator and the EOS stand-in.
#include "e2e/EpicGame.h"

#include <atomic>
#include <filesystem>
#include <mutex>

#include "vondsdk_c.h"

namespace e2e {
namespace {

constexpr char kProductsPath[] = "/sdkapi/v9/pay/products.do";
constexpr char kCreateOrderPath[] = "/sdkapi/v9/pay/create_order.do";
constexpr char kPayResultPath[] = "/sdkapi/v9/pay/pay_result.do";
constexpr char kUserId[] = "3000000001";

class Purchase : public EpicGame {
protected:
    void LoggedIn() {
        Start();
        ASSERT_EQ(LogIn().code, 200);
        // The catalogue is in before any purchase (the pre-load may still be on its way).
        VondProxy::QueryProducts(&vondtest::Recorder::Callback);
        ASSERT_TRUE(PumpUntil([&] { return Heards().size() == 2; }));
        vondtest::Recorder::Clear();
    }
    bool Redeemed(const std::string& entitlementId) {
        for (const json& e : Entitlements()) {
            if (e["entitlementId"] == entitlementId) return e["redeemed"].get<bool>();
        }
        return false;
    }
    // One paid order for this app on the backend, settled as paid.
    json PaidOrders() {
        json paid = json::array();
        for (const json& order : server_.Orders()) {
            if (order["status"] == "paid") paid.push_back(order);
        }
        return paid;
    }
};

using Reconciliation = Purchase;

}  // namespace

TEST_F(Purchase, PaidOrderIsStoredReportedHandedToTheGameRedeemedAndRemoved) {
    LoggedIn();
    VondProxy::SetServerId(L"s-1");
    VondProxy::SetGameUserId(L"g-1");
    // The report waits a moment on the backend, long enough to see the store before the answer.
    server_.AddFault({{"path", kPayResultPath}, {"kind", "delay"}, {"delayMs", 300}});
    VondProxy::CallPay(L"p1", L"ext-1", &vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return StoredOrders(kUserId) == 1; }));
    EXPECT_TRUE(Heards().empty());
    json stored = Store(kUserId);
    std::string entitlementId;
    for (auto& [key, value] : stored.items()) {
        if (key.rfind("pending:", 0) != 0) entitlementId = key;
    }
    ASSERT_FALSE(entitlementId.empty());
    EXPECT_EQ(stored[entitlementId]["productId"], "p1");
    EXPECT_EQ(stored[entitlementId]["channelProductId"], "offer1");
    EXPECT_EQ(stored[entitlementId]["userId"], kUserId);
    EXPECT_EQ(stored[entitlementId]["serverId"], "s-1");

    ASSERT_TRUE(PumpUntil([&] { return !Heards().empty(); }));
    Heard paid = Heards()[0];
    EXPECT_EQ(paid.code, 200);
    const std::string orderId = stored[entitlementId]["orderId"];
    EXPECT_EQ(Utf8(paid.data), R"({"amount":990000,"currency":"USD","extInfo":"ext-1","orderId":")" + orderId +
                                   R"(","productId":"p1","quantity":1,"status":1})");
    EXPECT_NE(paid.thread, std::this_thread::get_id());

    auto reports = FormsTo(kPayResultPath);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["status"], "1");
    EXPECT_EQ(reports[0]["orderId"], orderId);
    EXPECT_EQ(reports[0]["payAmountMicros"], "990000");
    EXPECT_EQ(reports[0]["trxId"], stored[entitlementId]["epicTransId"]);
    EXPECT_FALSE(reports[0]["trxId"].get<std::string>().empty());
    EXPECT_EQ(reports[0]["extVerifyInfo"], R"({"epicAccessToken":")" + std::string(kAccessToken) +
                                               R"(","epicEntitlementId":")" + entitlementId +
                                               R"(","epicSandboxId":")" + kSandboxId + R"("})");

    ASSERT_TRUE(PumpUntil([&] { return Redeemed(entitlementId) && StoredOrders(kUserId) == 0; }));
    EXPECT_EQ(Store(kUserId), json::object());
    EXPECT_EQ(PaidOrders().size(), 1u);
    EXPECT_EQ(Heards().size(), 1u);
    EXPECT_EQ(EOSSim_GetOffTickThreadCalls(), 0);
}

TEST_F(Purchase, CancelledCheckoutIsReportedUnpaidAndNothingIsStored) {
    scenario_["failures"] = {{"checkout", "EOS_Canceled"}};
    LoggedIn();
    Heard cancelled = Buy("p1");
    EXPECT_EQ(cancelled.code, 200);
    json data = cancelled.Data();
    EXPECT_EQ(data["status"], 0);
    EXPECT_EQ(data["amount"], 990000);
    auto reports = FormsTo(kPayResultPath);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["status"], "0");
    EXPECT_EQ(reports[0]["payAmountMicros"], "0");
    EXPECT_EQ(reports[0]["trxId"], "");
    EXPECT_EQ(Store(kUserId), json::object());
    EXPECT_TRUE(Entitlements().empty());
    PumpFrames();
    EXPECT_EQ(Heards().size(), 1u);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_RedeemEntitlements"), 0);
}

TEST_F(Purchase, UnknownProductIsRefusedAtOnceOnTheGamesThread) {
    LoggedIn();
    VondProxy::CallPay(L"no-such-product", L"", &vondtest::Recorder::Callback);
    auto records = Heards();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, -400);
    EXPECT_EQ(records[0].message, L"Not Found Product.");
    EXPECT_EQ(records[0].data, L"");
    EXPECT_EQ(records[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(FormsTo(kCreateOrderPath).empty());
}

TEST_F(Purchase, FailingProductListEndsThePurchase) {
    // The pre-load and the purchase's own product request both fail.
    server_.AddFault({{"path", kProductsPath}, {"kind", "status"}, {"status", 503}, {"count", 2}});
    Start();
    ASSERT_EQ(LogIn().code, 200);
    Heard failed = Buy("p1");
    EXPECT_EQ(failed.code, -502);
    EXPECT_EQ(failed.message.rfind(L"Query Product Failure, ", 0), 0u) << Utf8(failed.message);
    EXPECT_TRUE(FormsTo(kCreateOrderPath).empty());
}

TEST_F(Purchase, CreateOrderRefusalIsPassedOnWithoutACheckout) {
    LoggedIn();
    server_.AddFault({{"path", kCreateOrderPath}, {"kind", "envelope"}, {"code", 3001}, {"msg", "Order limit"}});
    Heard refused = Buy("p1");
    EXPECT_EQ(refused.code, 3001);
    EXPECT_EQ(refused.message, L"Order limit");
    EXPECT_EQ(refused.Data()["code"], 3001);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_Checkout"), 0);
    EXPECT_TRUE(FormsTo(kPayResultPath).empty());
}

TEST_F(Purchase, AnswerWithoutStatusIsNotRedeemedAndTheOrderStaysStored) {
    LoggedIn();
    server_.AddFault({{"path", kPayResultPath}, {"kind", "envelope"}, {"code", 200}, {"msg", "Success"},
                      {"extra", {{"orderId", "x"}}}});
    Heard reported = Buy("p1");
    EXPECT_EQ(reported.code, 200);
    EXPECT_EQ(reported.Data()["status"], 0);
    PumpFrames();
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_RedeemEntitlements"), 0);
    EXPECT_EQ(StoredOrders(kUserId), 1u);
}

TEST_F(Purchase, SecondPurchaseWhileTheFirstChecksOutIsReportedUnpaid) {
    // Long enough for the second create-order to be answered while the first checks out, also
    // when one worker reuses its connection and the other needs a new one on a loaded machine.
    scenario_["checkoutTicks"] = 500;
    LoggedIn();
    VondProxy::CallPay(L"p1", L"first", &vondtest::Recorder::Callback);
    VondProxy::CallPay(L"p2", L"second", &vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return Heards().size() == 2; }));
    int paid = 0, unpaid = 0;
    for (const Heard& heard : Heards()) {
        EXPECT_EQ(heard.code, 200);
        (heard.Data()["status"] == 1 ? paid : unpaid) += 1;
    }
    EXPECT_EQ(paid, 1);
    EXPECT_EQ(unpaid, 1);
    ASSERT_TRUE(PumpUntil([&] { return StoredOrders(kUserId) == 0 && Entitlements().size() == 1 &&
                                       Entitlements()[0]["redeemed"].get<bool>(); }));
    EXPECT_EQ(Heards().size(), 2u);
}

TEST_F(Purchase, FailedReportReachesTheGameAndTheNextLoginSettlesIt) {
    LoggedIn();
    server_.AddFault({{"path", kPayResultPath}, {"kind", "status"}, {"status", 500}});
    Heard failed = Buy("p1", "ext-9");
    EXPECT_EQ(failed.code, -502);
    EXPECT_EQ(failed.message, L"Http Code:500, Msg:");
    json data = failed.Data();
    EXPECT_EQ(data["status"], 0);
    EXPECT_EQ(data["extInfo"], "ext-9");
    EXPECT_EQ(data["productId"], "p1");
    PumpFrames();
    EXPECT_EQ(StoredOrders(kUserId), 1u);
    EXPECT_TRUE(PaidOrders().empty());
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_RedeemEntitlements"), 0);

    // The next login re-reports the order (no callback for it) and redeems it.
    ASSERT_EQ(LogIn().code, 200);
    ASSERT_TRUE(PumpUntil([&] { return StoredOrders(kUserId) == 0; }));
    EXPECT_EQ(PaidOrders().size(), 1u);
    ASSERT_EQ(Entitlements().size(), 1u);
    EXPECT_TRUE(Entitlements()[0]["redeemed"].get<bool>());
    EXPECT_EQ(Entitlements()[0]["redemptionCount"], 1);
    EXPECT_EQ(Heards().size(), 2u);
}

TEST_F(Reconciliation, StoredOrderIsReportedAgainAndUnexplainedEntitlementIsLeftForThePlayer) {
    const std::string gift = "0123456789abcdef0123456789abcdef";
    scenario_["entitlements"] = json::array({{{"accountId", kAccountId},
                                              {"entitlementId", gift},
                                              {"entitlementName", "gift"},
                                              {"catalogItemId", "gift-item"},
                                              {"redeemed", false}}});
    LoggedIn();
    server_.AddFault({{"path", kPayResultPath}, {"kind", "drop"}});
    Heard failed = Buy("p1");
    EXPECT_EQ(failed.code, -502);
    ASSERT_EQ(StoredOrders(kUserId), 1u);

    ASSERT_EQ(LogIn().code, 200);
    ASSERT_TRUE(PumpUntil([&] { return StoredOrders(kUserId) == 0; }));
    PumpFrames();
    // The purchase was confirmed and consumed once; the gift nothing explains is the player's
    // proof of payment and stays unredeemed, said once per login with its id, name and item.
    for (const json& e : Entitlements()) {
        EXPECT_EQ(e["redeemed"].get<bool>(), e["entitlementId"] != gift) << e.dump();
        EXPECT_EQ(e["redemptionCount"], e["entitlementId"] == gift ? 0 : 1) << e.dump();
    }
    EXPECT_EQ(PaidOrders().size(), 1u);
    auto reports = FormsTo(kPayResultPath);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1]["status"], "1");
    EXPECT_EQ(reports[1]["orderId"], reports[0]["orderId"]);
    std::string log;
    vondtest::ReadFile(work_.Path() + Sep() + "vondlog.log", log);
    const std::string line = "Entitlement left unredeemed (no order), epicEntitlementId: " + gift +
                             ", name: gift, catalogItemId: gift-item";
    size_t lines = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
    EXPECT_EQ(lines, 2u);
}

TEST_F(Reconciliation, StoreOfAnotherUserIsNeverConsulted) {
    const std::string entitlementId = "fedcba9876543210fedcba9876543210";
    scenario_["entitlements"] = json::array({{{"accountId", kAccountId},
                                              {"entitlementId", entitlementId},
                                              {"entitlementName", "offer1"},
                                              {"catalogItemId", "offer1"},
                                              {"redeemed", false}}});
    // User 42 of the same game has an order for that entitlement id.
    const std::string otherFolder = data_.Path() + Sep() + server_.AppId() + Sep() + "42";
    std::filesystem::create_directories(std::filesystem::u8path(otherFolder));
    json order = {{"userId", "42"},          {"serverId", ""},         {"gameUserId", ""},
                  {"productId", "p1"},       {"channelProductId", "offer1"}, {"orderId", "not-on-backend"},
                  {"productName", "Gems"},   {"defaultCurrency", "USD"},     {"defaultAmountMicro", 990000},
                  {"virtualCoinAmount", 100}, {"virtualCurrency", "Gems"},   {"extInfo", ""},
                  {"epicTransId", "t"},      {"epicEntitlementId", entitlementId}};
    const std::string otherStore = json{{entitlementId, order}}.dump();
    vondtest::WriteFile(otherFolder + Sep() + "UnconsumedOrder", otherStore);

    LoggedIn();
    PumpFrames(200);
    EXPECT_FALSE(Redeemed(entitlementId));
    EXPECT_TRUE(FormsTo(kPayResultPath).empty());
    std::string after;
    vondtest::ReadFile(otherFolder + Sep() + "UnconsumedOrder", after);
    EXPECT_EQ(after, otherStore);
}

TEST_F(Reconciliation, CorruptStoreIsKeptAsideAndTheNewPurchaseStored) {
    const std::string folder = data_.Path() + Sep() + server_.AppId() + Sep() + kUserId;
    std::filesystem::create_directories(std::filesystem::u8path(folder));
    const std::string corrupt = R"({"abc":{"orderId":"o-lost")";
    vondtest::WriteFile(folder + Sep() + "UnconsumedOrder", corrupt);

    LoggedIn();
    server_.AddFault({{"path", kPayResultPath}, {"kind", "envelope"}, {"code", 200}, {"msg", "Success"}});
    Heard reported = Buy("p1");
    EXPECT_EQ(reported.code, 200);
    EXPECT_EQ(StoredOrders(kUserId), 1u);
    bool keptAside = false;
    for (auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder))) {
        if (entry.path().filename().string().rfind("UnconsumedOrder.unreadable-", 0) != 0) continue;
        std::string text;
        vondtest::ReadFile(entry.path().u8string(), text);
        keptAside = text == corrupt;
    }
    EXPECT_TRUE(keptAside);
}

}  // namespace e2e

namespace e2e {
namespace {

bool HasEvent(const json& events, const std::string& name) {
    for (const json& event : events) {
        if (event.dump().find(name) != std::string::npos) return true;
    }
    return false;
}

struct LogLine {
    int level = 0;
    std::string line;
    std::thread::id thread;
};
std::mutex g_logMutex;
std::vector<LogLine> g_logLines;
std::atomic<bool> g_exitFromLog{false};
std::atomic<bool> g_exitedFromLog{false};

void OnLogLine(int level, const char* line, void*) {
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_logLines.push_back(LogLine{level, line, std::this_thread::get_id()});
    }
    // A game that ends the SDK from its log callback, pumping once more first.
    if (g_exitFromLog.exchange(false)) {
        vond_update_sdk_event();
        vond_exit();
        g_exitedFromLog = true;
    }
}

std::vector<LogLine> LogLines() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_logLines;
}

}  // namespace

// An editor keeps the library loaded: three play sessions in one process, each with its own
// start-up, login, purchase and Exit, on the EOS SDK and platform the first one started.
TEST_F(Purchase, ThreeSessionsInOneProcessEachBuyAndRedeem) {
    ASSERT_EQ(vond_set_keep_eos_between_sessions(1), 0);
    for (int session = 1; session <= 3; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        LoggedIn();
        Heard paid = Buy("p1", "session-" + std::to_string(session));
        EXPECT_EQ(paid.code, 200);
        EXPECT_EQ(paid.Data()["status"], 1);
        EXPECT_EQ(paid.Data()["extInfo"], "session-" + std::to_string(session));
        ASSERT_TRUE(PumpUntil([&] {
            if (PaidOrders().size() != static_cast<size_t>(session)) return false;
            json all = Entitlements();
            if (all.size() != static_cast<size_t>(session)) return false;
            for (const json& e : all) {
                if (!e["redeemed"].get<bool>()) return false;
            }
            return StoredOrders(kUserId) == 0;
        }));
        // The event of the session before reached the backend in this one at the latest.
        if (session > 1) {
            const std::string before = "leaving_" + std::to_string(session - 1);
            EXPECT_TRUE(PumpUntil([&] { return HasEvent(server_.Events(), before); })) << before;
        }
        VondProxy::PostEvent(L"leaving_" + std::to_wstring(session), L"{}", 1);
        VondProxy::Exit();
        // Between sessions the SDK answers as before any start-up.
        vondtest::Recorder::Clear();
        VondProxy::CallPay(L"p1", L"", &vondtest::Recorder::Callback);
        ASSERT_EQ(Heards().size(), 1u);
        EXPECT_EQ(Heards()[0].code, -401);
    }
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Initialize"), 1);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Create"), 1);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Shutdown"), 0);
    // The stand-in spends the launcher's code as the vendor does: the later sessions log in
    // with the account EOS kept, never with the spent code.
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Auth_Login"), 1);
    EXPECT_EQ(EOSSim_GetOffTickThreadCalls(), 0);
}

// An editor's play session ends while the player is still in the checkout: Exit does not wait
// for it, and when it lands, between sessions, its outcome goes to that player's own store
// only; the game hears nothing more of the ended session, and the player's next login reports
// and redeems it once.
TEST_F(Purchase, CheckoutOutlivingItsSessionIsSettledByThatPlayersNextLogin) {
    ASSERT_EQ(vond_set_keep_eos_between_sessions(1), 0);
    // Far longer than Exit lets EOS work go on.
    scenario_["checkoutTicks"] = 1500;
    LoggedIn();
    VondProxy::CallPay(L"p1", L"outlived", &vondtest::Recorder::Callback);
    ASSERT_TRUE(PumpUntil([&] { return EOSSim_GetCallCount("EOS_Ecom_Checkout") == 1; }));
    VondProxy::Exit();
    ASSERT_TRUE(PumpUntil([&] { return StoredOrders(kUserId) == 1; })) << Store(kUserId).dump();
    for (int frame = 0; frame < 50; ++frame) VondProxy::UpdateSDKEvent();
    EXPECT_TRUE(Heards().empty());
    EXPECT_TRUE(PaidOrders().empty());
    EXPECT_FALSE(Redeemed(Store(kUserId).begin().key()));

    Start();
    ASSERT_EQ(LogIn().code, 200);
    vondtest::Recorder::Clear();
    ASSERT_TRUE(PumpUntil([&] {
        json all = Entitlements();
        return PaidOrders().size() == 1 && all.size() == 1 && all[0]["redeemed"].get<bool>() &&
               StoredOrders(kUserId) == 0;
    }));
    EXPECT_TRUE(Heards().empty()) << "a callback of the ended session reached the next one";
}

// The game's log callback hears the lines of a purchase, logged on the game's thread, the
// tick, the workers and the writers, with the log file off; it may end the SDK from there.
TEST_F(Purchase, LogCallbackHearsAPurchaseAndMayExitTheSdk) {
    vond_set_log_callback(VOND_LOG_DEBUG, &OnLogLine, nullptr);
    LoggedIn();
    EXPECT_EQ(Buy("p1").Data()["status"], 1);
    ASSERT_TRUE(PumpUntil([&] { return StoredOrders(kUserId) == 0 && PaidOrders().size() == 1; }));
    auto heard = [](const std::string& needle) {
        for (const LogLine& line : LogLines()) {
            if (line.line.find(needle) != std::string::npos) return true;
        }
        return false;
    };
    // Logged by the start-up (game's thread), the login completion (tick) and the pool.
    for (const char* needle : {"Init AppId:", "Epic login success", "/sdkapi/v9/pay/pay_result.do"}) {
        EXPECT_TRUE(vondtest::WaitUntil([&] { return heard(needle); })) << needle;
    }
    for (const LogLine& line : LogLines()) {
        EXPECT_GE(line.level, VOND_LOG_DEBUG);
        EXPECT_LE(line.level, VOND_LOG_ERROR);
        EXPECT_EQ(line.line.find('\n'), std::string::npos);
    }
    if (!vondtest::FileExists(work_.Path() + Sep() + "vondlog.log")) {
        // Not a test device: the file stays off and the lines came all the same.
        EXPECT_FALSE(LogLines().empty());
    }
    // Engines forward these lines to consoles, crash reports and uploaded player logs: no
    // secret of the player or the game may be in them, only its first characters.
    std::vector<std::string> secrets = {kExchangeCode, kAccessToken, "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ2b25kIn0.",
                                        server_.AppKey()};
    for (const json& request : server_.Requests()) {
        if (!request["form"].is_array()) continue;
        for (const json& pair : request["form"]) {
            const std::string key = pair[0].get<std::string>();
            if (key == "osign" || key == "token" || key == "accessToken") secrets.push_back(pair[1].get<std::string>());
        }
    }
    ASSERT_GT(secrets.size(), 6u);
    for (const LogLine& line : LogLines()) {
        for (const std::string& secret : secrets) {
            if (secret.size() >= 8) EXPECT_EQ(line.line.find(secret), std::string::npos) << secret << " in: " << line.line;
        }
    }
    g_exitFromLog = true;
    VondProxy::SetLevel(7);  // one more line, delivered to the callback that exits
    ASSERT_TRUE(vondtest::WaitUntil([] { return g_exitedFromLog.load(); }));
    EXPECT_TRUE(vondtest::WaitUntil([&] { return heard("Excute Exit."); }));
    vond_set_log_callback(VOND_LOG_DEBUG, nullptr, nullptr);
}

}  // namespace e2e
