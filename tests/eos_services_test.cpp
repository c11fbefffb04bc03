// The EOS services against the stand-in: platform start and stop, Epic login, checkout,
// entitlement query and redemption, and the rule that every EOS call runs on the thread
// that pumps UpdateSDKEvent.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "eossim.h"
#include "service/EosPlatform.h"
#include "src/CVondCore.h"
#include "service/EpicLoginService.h"
#include "service/EpicPayService.h"
#include "service/EpicSdkService.h"
#include "service/QueryEntitlementsService.h"
#include "service/RedeemEntitlementService.h"
#include "support/EosTestEnv.h"
#include "support/TestEnv.h"
#include "utils/VondLogging.h"

using namespace VondSdk;
using nlohmann::json;

namespace {

class EosServices : public ::testing::Test {
protected:
    void SetUp() override {
        vondtest::SetEnv("VOND_SDK_DATA_DIR", data_.Path());
        ConfigureLogging(true);
    }
    void TearDown() override { ConfigureLogging(false); }

    void Start(const json& extra = json::object()) {
        vondtest::LoadScenario(vondtest::BaseScenario(extra));
        ASSERT_TRUE(EpicSdkService::init(vondtest::FullGameInfo()));
    }

    // Logs the scenario's account in and returns its EOS id.
    EOS_EpicAccountId LogIn() {
        std::shared_ptr<LoginInfo> result;
        bool done = false;
        std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo> info) {
            result = info;
            done = true;
        });
        EXPECT_TRUE(vondtest::PumpUntil([&] { return done; }));
        EXPECT_TRUE(result);
        return EpicLoginService::getLoggedInAccountId();
    }

    std::shared_ptr<std::vector<FEntitlementData>> Query(EOS_EpicAccountId account) {
        std::shared_ptr<std::vector<FEntitlementData>> result;
        bool done = false;
        std::make_shared<QueryEntitlementsService>()->queryEntitlements(
            account, [&](std::shared_ptr<std::vector<FEntitlementData>> list) {
                result = list;
                done = true;
            });
        EXPECT_TRUE(vondtest::PumpUntil([&] { return done; }));
        return result;
    }

    std::string Log() {
        std::string text;
        vondtest::ReadFile(cwd_.Path() + "/vondlog.log", text);
        return text;
    }

    vondtest::TempDir data_;
    vondtest::TempDir cwd_;
    vondtest::ScopedCurrentDir inside_{cwd_.Path()};
};

}  // namespace

TEST_F(EosServices, LoginGivesAccountIdAndIdTokenOnTheTickingThread) {
    Start();
    std::shared_ptr<LoginInfo> result;
    bool onTickThread = false;
    int calls = 0;
    std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo> info) {
        result = info;
        onTickThread = FPlatform::OnTickThread();
        ++calls;
    });
    // Nothing arrives during the call, only inside a tick.
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(EpicLoginService::isLoggingIn());
    ASSERT_TRUE(vondtest::PumpUntil([&] { return calls > 0; }));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->puserId, vondtest::kAccountId);
    EXPECT_EQ(result->jwtToken, vondtest::kIdToken);
    EXPECT_TRUE(onTickThread);
    EXPECT_FALSE(EpicLoginService::isLoggingIn());
    EXPECT_NE(EpicLoginService::getLoggedInAccountId(), nullptr);
    EXPECT_NE(Log().find(std::string("[EOS SDK] 登录成功: User ID: ") + vondtest::kAccountId + ", jwtToken: " +
                         vondtest::kIdToken),
              std::string::npos);

    // The access token, asked for from a worker while the game pumps.
    std::string token;
    std::atomic<bool> answered{false};
    std::thread worker([&] {
        token = EpicLoginService::getAccessToken();
        answered = true;
    });
    ASSERT_TRUE(vondtest::PumpUntil([&] { return answered.load(); }));
    worker.join();
    EXPECT_EQ(token, vondtest::kAccessToken);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(EOSSim_GetOffTickThreadCalls(), 0);
}

TEST_F(EosServices, RejectedExchangeCodesEndInAnEmptyResult) {
    Start();
    for (const std::string code : {"no-such-code", ""}) {
        std::shared_ptr<LoginInfo> result = std::make_shared<LoginInfo>();
        bool done = false;
        std::make_shared<EpicLoginService>()->login(code, [&](std::shared_ptr<LoginInfo> info) {
            result = info;
            done = true;
        });
        // Even EOS's immediate refusals arrive inside a tick.
        EXPECT_FALSE(done);
        ASSERT_TRUE(vondtest::PumpUntil([&] { return done; }));
        EXPECT_FALSE(result) << code;
        EXPECT_FALSE(EpicLoginService::isLoggingIn());
    }
    EXPECT_NE(Log().find("[EOS SDK] 登录失败: resultCode: EOS_Auth_ExchangeCodeNotFound"), std::string::npos);
    EXPECT_NE(Log().find("[EOS SDK] 登录失败: resultCode: EOS_InvalidParameters"), std::string::npos);
    EXPECT_EQ(EpicLoginService::getLoggedInAccountId(), nullptr);
    EXPECT_EQ(EpicLoginService::getAccessToken(), "");

    // An ID token EOS cannot copy fails the login as well.
    vondtest::LoadScenario(vondtest::BaseScenario({{"failures", {{"copyIdToken", "EOS_NotFound"}}}}));
    bool done = false;
    std::shared_ptr<LoginInfo> result = std::make_shared<LoginInfo>();
    std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo> info) {
        result = info;
        done = true;
    });
    ASSERT_TRUE(vondtest::PumpUntil([&] { return done; }));
    EXPECT_FALSE(result);
    EXPECT_NE(Log().find("[EOS SDK] 获取token失败: TokenResult: EOS_NotFound"), std::string::npos);
}

TEST_F(EosServices, SecondLoginWhileOneRunsIsAnsweredAtOnce) {
    Start();
    std::shared_ptr<LoginInfo> first;
    int firstCalls = 0;
    std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo> info) {
        first = info;
        ++firstCalls;
    });
    bool secondCalled = false;
    std::shared_ptr<LoginInfo> second = std::make_shared<LoginInfo>();
    std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo> info) {
        second = info;
        secondCalled = true;
    });
    EXPECT_TRUE(secondCalled);
    EXPECT_FALSE(second);
    EXPECT_EQ(firstCalls, 0);
    EXPECT_NE(Log().find("Is Logging In."), std::string::npos);
    ASSERT_TRUE(vondtest::PumpUntil([&] { return firstCalls > 0; }));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->puserId, vondtest::kAccountId);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Auth_Login"), 1);
}

TEST_F(EosServices, WorkAskedForOnAWorkerRunsOnTheTickingThread) {
    Start();
    FPlatform::Update();  // the stand-in now knows the ticking thread
    std::atomic<bool> done{false};
    std::thread::id completionThread;
    std::thread worker([&] {
        std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo> info) {
            EXPECT_TRUE(info);
            completionThread = std::this_thread::get_id();
            done = true;
        });
    });
    worker.join();
    // Queued, not yet handed to EOS.
    EXPECT_EQ(FPlatform::PendingWork(), 1u);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Auth_Login"), 0);
    ASSERT_TRUE(vondtest::PumpUntil([&] { return done.load(); }));
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Auth_Login"), 1);
    EXPECT_EQ(completionThread, std::this_thread::get_id());

    // Checkout, query and redemption started from workers too.
    EOS_EpicAccountId account = EpicLoginService::getLoggedInAccountId();
    std::atomic<int> finished{0};
    std::thread buyer([&] {
        PaymentItem item{"offer-1"};
        std::make_shared<EpicPayService>()->pay(account, item, [&](std::shared_ptr<PayInfo> info) {
            EXPECT_TRUE(info);
            std::make_shared<RedeemEntitlementService>()->redeem(account, info->entitlementId, [&](bool redeemed) {
                EXPECT_TRUE(redeemed);
                ++finished;
            });
        });
        std::make_shared<QueryEntitlementsService>()->queryEntitlements(
            account, [&](std::shared_ptr<std::vector<FEntitlementData>> list) {
                EXPECT_TRUE(list);
                ++finished;
            });
    });
    buyer.join();
    ASSERT_TRUE(vondtest::PumpUntil([&] { return finished.load() == 2; }));
    EXPECT_EQ(EOSSim_GetOffTickThreadCalls(), 0);
    EXPECT_GT(EOSSim_GetCallCount("EOS_Ecom_RedeemEntitlements"), 0);
}

TEST_F(EosServices, CheckoutReportsTheFirstEntitlementOfTheTransaction) {
    Start();
    EOS_EpicAccountId account = LogIn();
    std::shared_ptr<PayInfo> result;
    bool done = false;
    PaymentItem item{"offer-3"};
    std::make_shared<EpicPayService>()->pay(account, item, [&](std::shared_ptr<PayInfo> info) {
        result = info;
        done = true;
    });
    EXPECT_TRUE(EpicPayService::isPaying());
    ASSERT_TRUE(vondtest::PumpUntil([&] { return done; }));
    ASSERT_TRUE(result);
    EXPECT_FALSE(EpicPayService::isPaying());

    const json entitlements = vondtest::SimEntitlements();
    ASSERT_EQ(entitlements.size(), 3u);
    EXPECT_EQ(result->entitlementId, entitlements[0]["entitlementId"]);
    EXPECT_NE(result->entitlementId, entitlements[1]["entitlementId"]);
    const json state = vondtest::SimState();
    ASSERT_EQ(state["transactions"].size(), 1u);
    EXPECT_EQ(result->transactionId, state["transactions"][0]["transactionId"]);
    EXPECT_NE(Log().find("[EOS SDK] 获取 Entitlement : " + result->entitlementId), std::string::npos);
    EXPECT_NE(Log().find("[EOS SDK] 支付成功: TransactionId: " + result->transactionId), std::string::npos);
    // Every copy EOS handed out was given back.
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_Transaction_Release"), 1);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_Entitlement_Release"), 1);
}

TEST_F(EosServices, CancelledCheckoutAndSecondCheckoutWhileOneRuns) {
    Start({{"failures", {{"checkout", "EOS_Canceled"}}}});
    EOS_EpicAccountId account = LogIn();
    std::shared_ptr<PayInfo> first = std::make_shared<PayInfo>();
    int firstCalls = 0;
    PaymentItem item{"offer-1"};
    std::make_shared<EpicPayService>()->pay(account, item, [&](std::shared_ptr<PayInfo> info) {
        first = info;
        ++firstCalls;
    });
    bool secondCalled = false;
    std::shared_ptr<PayInfo> second = std::make_shared<PayInfo>();
    std::make_shared<EpicPayService>()->pay(account, item, [&](std::shared_ptr<PayInfo> info) {
        second = info;
        secondCalled = true;
    });
    EXPECT_TRUE(secondCalled);
    EXPECT_FALSE(second);
    EXPECT_NE(Log().find("Is Paying"), std::string::npos);
    EXPECT_EQ(firstCalls, 0);

    ASSERT_TRUE(vondtest::PumpUntil([&] { return firstCalls > 0; }));
    EXPECT_FALSE(first);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_NE(Log().find("[EOS SDK] 支付失败: resultCode: EOS_Canceled"), std::string::npos);
    EXPECT_EQ(vondtest::SimEntitlements().size(), 0u);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_Checkout"), 1);
    EXPECT_FALSE(EpicPayService::isPaying());
}

TEST_F(EosServices, CheckoutRefusedAtOnceWithoutOfferAccountOrPlatform) {
    Start();
    EOS_EpicAccountId account = LogIn();
    struct Case {
        EOS_EpicAccountId account;
        std::string offerId;
        std::string logLine;
    };
    for (const Case& c : {Case{account, "", "支付失败, Item.offerId 为空"}, Case{nullptr, "offer-1", "支付失败, accountId 为空"}}) {
        bool called = false;
        std::shared_ptr<PayInfo> result = std::make_shared<PayInfo>();
        PaymentItem item{c.offerId};
        std::make_shared<EpicPayService>()->pay(c.account, item, [&](std::shared_ptr<PayInfo> info) {
            result = info;
            called = true;
        });
        EXPECT_TRUE(called);
        EXPECT_FALSE(result);
        EXPECT_FALSE(EpicPayService::isPaying());
        EXPECT_NE(Log().find(c.logLine), std::string::npos);
    }
    // An empty completion starts nothing and leaves no flag behind.
    PaymentItem item{"offer-1"};
    std::make_shared<EpicPayService>()->pay(account, item, PayCompletion());
    EXPECT_FALSE(EpicPayService::isPaying());

    // An unknown offer goes to EOS, which refuses it.
    bool done = false;
    std::shared_ptr<PayInfo> result = std::make_shared<PayInfo>();
    PaymentItem unknown{"no-such-offer"};
    std::make_shared<EpicPayService>()->pay(account, unknown, [&](std::shared_ptr<PayInfo> info) {
        result = info;
        done = true;
    });
    ASSERT_TRUE(vondtest::PumpUntil([&] { return done; }));
    EXPECT_FALSE(result);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_Checkout"), 1);
}

TEST_F(EosServices, QueryListsUnredeemedEntitlementsKeepsStaleOnesAndSkipsBrokenOnes) {
    Start();
    EOS_EpicAccountId account = LogIn();
    // None at all: an empty list, not a failure.
    auto list = Query(account);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());
    EXPECT_NE(Log().find("[EOS SDK] NumEntitlements: 0"), std::string::npos);

    // Several, one of them redeemed, one EOS cannot copy.
    const std::string id = vondtest::kAccountId;
    vondtest::LoadScenario(vondtest::BaseScenario({{"entitlements",
        {{{"accountId", id}, {"entitlementId", "ent-1"}, {"entitlementName", "gem-pack"}, {"catalogItemId", "item-1"}},
         {{"accountId", id}, {"entitlementId", "ent-2"}, {"entitlementName", "gem-pack"}, {"catalogItemId", "item-1"},
          {"redeemed", true}},
         {{"accountId", id}, {"entitlementId", "ent-3"}, {"entitlementName", "gem-bundle"}, {"catalogItemId", "item-3"},
          {"copyResult", "EOS_NotFound"}},
         {{"accountId", id}, {"entitlementId", "ent-4"}, {"entitlementName", "gem-bundle"}, {"catalogItemId", "item-3"},
          {"stale", true}},
         {{"accountId", "ffffffffffffffffffffffffffffffff"}, {"entitlementId", "other"}, {"entitlementName", "x"}}}}}));
    list = Query(account);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[0].entitlementId, "ent-1");
    EXPECT_EQ((*list)[0].entitlementName, "gem-pack");
    EXPECT_FALSE((*list)[0].redeemed);
    EXPECT_EQ((*list)[1].entitlementId, "ent-4");
    EXPECT_NE(Log().find("[EOS SDK] NumEntitlements: 3"), std::string::npos);
    EXPECT_NE(Log().find("[EOS SDK] Entitlement[1] invalid : EOS_NotFound"), std::string::npos);
    EXPECT_NE(Log().find("[EOS SDK] Entitlement[0] : gem-pack : ent-1 : 0"), std::string::npos);

    // Every record stale: all still used.
    vondtest::LoadScenario(vondtest::BaseScenario({{"failures", {{"staleEntitlements", true}}},
        {"entitlements", {{{"accountId", id}, {"entitlementId", "ent-5"}, {"entitlementName", "gem-pack"}}}}}));
    list = Query(account);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0].entitlementId, "ent-5");

    // A failed query, and a query without an account.
    vondtest::LoadScenario(vondtest::BaseScenario({{"failures", {{"queryEntitlements", "EOS_ServiceFailure"}}}}));
    EXPECT_FALSE(Query(account));
    EXPECT_NE(Log().find("[EOS SDK] Query entitlement error: EOS_ServiceFailure"), std::string::npos);
    bool called = false;
    std::make_shared<QueryEntitlementsService>()->queryEntitlements(
        nullptr, [&](std::shared_ptr<std::vector<FEntitlementData>> result) {
            EXPECT_FALSE(result);
            called = true;
        });
    EXPECT_TRUE(called);
}

TEST_F(EosServices, RedemptionSucceedsOnceAndFailuresReportFalse) {
    const std::string id = vondtest::kAccountId;
    Start({{"entitlements", {{{"accountId", id}, {"entitlementId", "ent-1"}, {"entitlementName", "gem-pack"}}}}});
    EOS_EpicAccountId account = LogIn();
    auto redeem = [&](EOS_EpicAccountId who, const std::string& entitlementId) {
        int result = -1;
        std::make_shared<RedeemEntitlementService>()->redeem(who, entitlementId, [&](bool ok) { result = ok ? 1 : 0; });
        EXPECT_TRUE(vondtest::PumpUntil([&] { return result >= 0; }));
        return result == 1;
    };
    EXPECT_TRUE(redeem(account, "ent-1"));
    const json entitlements = vondtest::SimEntitlements();
    ASSERT_EQ(entitlements.size(), 1u);
    EXPECT_EQ(entitlements[0]["redeemed"], true);
    EXPECT_EQ(entitlements[0]["redemptionCount"], 1);
    EXPECT_NE(Log().find("[EOS SDK] 消耗商品结果: RESULT: EOS_Success, 消耗数量: 1"), std::string::npos);
    // Redeemed ones drop out of the query.
    auto list = Query(account);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());
    // Redeeming again changes nothing in the store.
    redeem(account, "ent-1");
    EXPECT_EQ(vondtest::SimEntitlements()[0]["redemptionCount"], 1);

    // No account: false at once, nothing sent.
    const int before = EOSSim_GetCallCount("EOS_Ecom_RedeemEntitlements");
    bool called = false;
    std::make_shared<RedeemEntitlementService>()->redeem(nullptr, "ent-1", [&](bool ok) {
        EXPECT_FALSE(ok);
        called = true;
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Ecom_RedeemEntitlements"), before);

    // EOS refuses the redemption.
    vondtest::LoadScenario(vondtest::BaseScenario({{"failures", {{"redeem", "EOS_ServiceFailure"}}},
        {"entitlements", {{{"accountId", id}, {"entitlementId", "ent-9"}, {"entitlementName", "gem-pack"}}}}}));
    EXPECT_FALSE(redeem(account, "ent-9"));
    EXPECT_EQ(vondtest::SimEntitlements()[0]["redeemed"], false);
    EXPECT_NE(Log().find("消耗商品结果: RESULT: EOS_ServiceFailure, 消耗数量: 0"), std::string::npos);
}

TEST_F(EosServices, UpdateBeforeAnyPlatformReportsOnceAndTicksNothing) {
    vondtest::LoadScenario(vondtest::BaseScenario());
    FPlatform::Update();
    FPlatform::Update();
    EXPECT_EQ(vondtest::Occurrences(Log(), "[EOS SDK] Platform Create Failed!"), 1u);
    EXPECT_EQ(vondtest::Occurrences(Log(), "One or more parameters required"), 0u);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Tick"), 0);

    // A missing sandbox id: init fails without asking EOS for a platform, and the next
    // Update names the invalid parameters, once.
    EosGameInfo info = vondtest::FullGameInfo();
    info.sandboxId.clear();
    EXPECT_FALSE(EpicSdkService::init(info));
    EXPECT_NE(Log().find("[EOS SDK] Sandbox Id is empty"), std::string::npos);
    EXPECT_NE(Log().find("[EOS SDK] Platform Create failed ..."), std::string::npos);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Create"), 0);
    FPlatform::Update();
    FPlatform::Update();
    EXPECT_EQ(vondtest::Occurrences(Log(),
                                    "One or more parameters required for EOS_Platform_Create are invalid. Check "
                                    "SampleConstants have been set up correctly."),
              1u);
    EXPECT_EQ(vondtest::Occurrences(Log(), "[EOS SDK] Platform Create Failed!"), 1u);

    // Half the credentials are invalid; a retried start-up with good ids then succeeds, which
    // EOS allows only because the SDK does not initialise it twice.
    info = vondtest::FullGameInfo();
    info.clientId.clear();
    EXPECT_FALSE(EpicSdkService::init(info));
    EXPECT_NE(Log().find("[EOS SDK] Client credentials are invalid, check clientid and clientsecret in SampleConstants"),
              std::string::npos);
    info.clientSecret.clear();
    EXPECT_TRUE(EpicSdkService::init(info));
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Initialize"), 1);
    EXPECT_TRUE(FPlatform::IsCreated());
    EXPECT_EQ(EpicSdkService::currentGameInfo()->sandboxId, "sandbox-1");
    FPlatform::Update();
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Tick"), 1);
    EXPECT_FALSE(EpicSdkService::init(info));
    EXPECT_NE(Log().find("[EOS SDK] Has Init ..."), std::string::npos);
}

TEST_F(EosServices, PlatformRefusedByEosIsReportedOnce) {
    vondtest::LoadScenario(vondtest::BaseScenario({{"failures", {{"platformCreate", true}}}}));
    EXPECT_FALSE(EpicSdkService::init(vondtest::FullGameInfo()));
    EXPECT_NE(Log().find("[EOS SDK] Platform Create failed ..."), std::string::npos);
    // EOS's own error line reaches the log through the logging callback.
    EXPECT_NE(Log().find("[EOS SDK] LogEOS: EOS_Platform_Create failed: refused by the scenario"), std::string::npos);
    FPlatform::Update();
    FPlatform::Update();
    EXPECT_EQ(vondtest::Occurrences(Log(), "[EOS SDK] Platform Create Failed!"), 1u);
    EXPECT_EQ(vondtest::Occurrences(Log(), "One or more parameters required"), 0u);
}

TEST_F(EosServices, ShutdownTwiceAndNothingTicksAfterIt) {
    EpicSdkService::shutdown();
    EXPECT_NE(Log().find("Shutdown Epic SDK failed, has not inited"), std::string::npos);
    Start();
    EOS_EpicAccountId account = LogIn();

    // Work queued by a worker when the SDK goes down still ends, with a failure.
    std::shared_ptr<PayInfo> pending = std::make_shared<PayInfo>();
    bool pendingDone = false;
    std::thread([&] {
        PaymentItem item{"offer-1"};
        std::make_shared<EpicPayService>()->pay(account, item, [&](std::shared_ptr<PayInfo> info) {
            pending = info;
            pendingDone = true;
        });
    }).join();

    EpicSdkService::shutdown();
    EXPECT_TRUE(pendingDone);
    EXPECT_FALSE(pending);
    EXPECT_FALSE(EpicPayService::isPaying());
    EXPECT_NE(Log().find("Shutdown Epic SDK [1]"), std::string::npos);
    EXPECT_NE(Log().find("[EOS SDK] Shutdown Complete"), std::string::npos);
    EpicSdkService::shutdown();
    EXPECT_NE(Log().find("Shutdown Epic SDK [0]"), std::string::npos);
    EXPECT_NE(Log().find("Shutdown Epic SDK failed, has been shutdown"), std::string::npos);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Shutdown"), 1);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Release"), 1);

    const int ticks = EOSSim_GetCallCount("EOS_Platform_Tick");
    FPlatform::Update();
    FPlatform::Update();
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Platform_Tick"), ticks);
    EXPECT_EQ(vondtest::Occurrences(Log(), "[EOS SDK] Platform Create Failed!"), 0u);
    EXPECT_EQ(FPlatform::GetPlatformHandle(), nullptr);
    EXPECT_EQ(EpicLoginService::getLoggedInAccountId(), nullptr);

    // Work asked for afterwards ends at once, and the SDK cannot come up again.
    bool called = false;
    std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo> info) {
        EXPECT_FALSE(info);
        called = true;
    });
    EXPECT_TRUE(called);
    EXPECT_FALSE(EpicSdkService::init(vondtest::FullGameInfo()));
    EXPECT_NE(Log().find("[EOS SDK] Has Init ..."), std::string::npos);
}

TEST_F(EosServices, ThrowingCompletionDoesNotLeaveTheTick) {
    Start();
    bool thrown = false;
    std::make_shared<EpicLoginService>()->login(vondtest::kExchangeCode, [&](std::shared_ptr<LoginInfo>) {
        thrown = true;
        throw std::runtime_error("game code failed");
    });
    FPlatform::RunOnTickThread([] { throw std::logic_error("queued work failed"); });
    ASSERT_TRUE(vondtest::PumpUntil([&] { return thrown; }));
    EXPECT_FALSE(EpicLoginService::isLoggingIn());
    // The SDK keeps working afterwards.
    EXPECT_NE(LogIn(), nullptr);
}

namespace {

// What the game's callback of a refused Epic login does, inside UpdateSDKEvent.
enum class InCallback { PumpAgain, LookAtTheEosLock, WaitForAThreadThatShutsDown };
std::atomic<int> g_answers{0};
std::atomic<bool> g_eosLockFree{false};
std::atomic<bool> g_shutDownInTime{false};
InCallback g_inCallback = InCallback::PumpAgain;

void OnRefusedLogin(int code, std::wstring, std::wstring) {
    EXPECT_EQ(code, -404);
    switch (g_inCallback) {
        case InCallback::PumpAgain:
            VondProxy::UpdateSDKEvent();
            break;
        case InCallback::LookAtTheEosLock:
            std::thread([] {
                std::unique_lock<std::recursive_mutex> lock(FPlatform::EosMutex(), std::try_to_lock);
                g_eosLockFree = lock.owns_lock();
            }).join();
            break;
        case InCallback::WaitForAThreadThatShutsDown: {
            // A game thread calling Exit while the callback waits for it: under the EOS lock
            // this would never end.
            auto done = std::make_shared<std::atomic<bool>>(false);
            std::thread([done] {
                EpicSdkService::shutdown();
                *done = true;
            }).detach();
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!*done && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            g_shutDownInTime = done->load();
            break;
        }
    }
    ++g_answers;
}

}  // namespace

TEST_F(EosServices, GameCallbacksOfTheTickRunWithNoSdkLockAndNeverNestATick) {
    Start();
    const struct {
        InCallback action;
        const char* what;
    } cases[] = {
        {InCallback::PumpAgain, "a callback that pumps again does not tick inside the tick"},
        {InCallback::LookAtTheEosLock, "the EOS lock is free while the callback runs"},
        {InCallback::WaitForAThreadThatShutsDown, "a callback waiting for a thread that shuts EOS down"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_inCallback = c.action;
        const int before = g_answers.load();
        // No exchange code on this command line: EOS refuses, and the game hears -404.
        CVondCore::Instance().Login(&OnRefusedLogin);
        ASSERT_TRUE(vondtest::PumpUntil([&] { return g_answers.load() > before; }));
    }
    EXPECT_EQ(EOSSim_GetNestedTicks(), 0);
    EXPECT_TRUE(g_eosLockFree.load());
    EXPECT_TRUE(g_shutDownInTime.load());
}
