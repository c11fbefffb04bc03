// The EOS stand-in itself where the SDK's tests rely on it behaving like EOS: lifetime
// answers, the account-id buffer rules, and a store that outlives the game process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "eos_auth.h"
#include "eos_ecom.h"
#include "eos_logging.h"
#include "eos_sdk.h"
#include "eossim.h"
#include "support/EosTestEnv.h"
#include "support/TestEnv.h"

using nlohmann::json;

namespace {

EOS_HPlatform CreatePlatform() {
    EOS_Platform_Options options{};
    options.ApiVersion = EOS_PLATFORM_OPTIONS_API_LATEST;
    options.ProductId = "product-1";
    options.SandboxId = "sandbox-1";
    options.DeploymentId = "deployment-1";
    return EOS_Platform_Create(&options);
}

void Initialize() {
    EOS_InitializeOptions options{};
    options.ApiVersion = EOS_INITIALIZE_API_LATEST;
    options.ProductName = "VondGame";
    options.ProductVersion = "1.0.0";
    ASSERT_EQ(EOS_Initialize(&options), EOS_EResult::EOS_Success);
    EXPECT_EQ(EOS_Initialize(&options), EOS_EResult::EOS_AlreadyConfigured);
}

struct Outcome {
    bool done = false;
    EOS_EResult result = EOS_EResult::EOS_UnexpectedError;
    EOS_EpicAccountId user = nullptr;
    std::string transactionId;
};

void EOS_CALL OnLogin(const EOS_Auth_LoginCallbackInfo* data) {
    auto* outcome = static_cast<Outcome*>(data->ClientData);
    outcome->done = true;
    outcome->result = data->ResultCode;
    outcome->user = data->LocalUserId;
}

void EOS_CALL OnCheckout(const EOS_Ecom_CheckoutCallbackInfo* data) {
    auto* outcome = static_cast<Outcome*>(data->ClientData);
    outcome->done = true;
    outcome->result = data->ResultCode;
    outcome->transactionId = data->TransactionId != nullptr ? data->TransactionId : "";
}

void Tick(EOS_HPlatform platform, const Outcome& outcome) {
    for (int i = 0; i < 10 && !outcome.done; ++i) EOS_Platform_Tick(platform);
}

EOS_EpicAccountId Login(EOS_HPlatform platform) {
    EOS_Auth_Credentials credentials{};
    credentials.ApiVersion = EOS_AUTH_CREDENTIALS_API_LATEST;
    credentials.Token = vondtest::kExchangeCode;
    credentials.Type = EOS_ELoginCredentialType::EOS_LCT_ExchangeCode;
    EOS_Auth_LoginOptions options{};
    options.ApiVersion = EOS_AUTH_LOGIN_API_LATEST;
    options.Credentials = &credentials;
    Outcome outcome;
    EOS_Auth_Login(EOS_Platform_GetAuthInterface(platform), &options, &outcome, &OnLogin);
    Tick(platform, outcome);
    EXPECT_EQ(outcome.result, EOS_EResult::EOS_Success);
    return outcome.user;
}

}  // namespace

TEST(EosSim, LifetimeAnswersAndAccountIdText) {
    vondtest::LoadScenario(vondtest::BaseScenario());
    EXPECT_EQ(EOS_Shutdown(), EOS_EResult::EOS_NotConfigured);
    EXPECT_EQ(EOS_Logging_SetCallback(nullptr), EOS_EResult::EOS_NotConfigured);
    EXPECT_EQ(CreatePlatform(), nullptr);
    Initialize();
    EOS_HPlatform platform = CreatePlatform();
    ASSERT_NE(platform, nullptr);
    EOS_EpicAccountId user = Login(platform);

    char text[EOS_EPICACCOUNTID_MAX_LENGTH + 1];
    int32_t length = EOS_EPICACCOUNTID_MAX_LENGTH;  // one byte short of the terminator
    EXPECT_EQ(EOS_EpicAccountId_ToString(user, text, &length), EOS_EResult::EOS_LimitExceeded);
    EXPECT_EQ(length, 33);
    EXPECT_EQ(EOS_EpicAccountId_ToString(user, text, &length), EOS_EResult::EOS_Success);
    EXPECT_STREQ(text, vondtest::kAccountId);
    EXPECT_EQ(EOS_EpicAccountId_ToString(user, nullptr, &length), EOS_EResult::EOS_InvalidParameters);
    EXPECT_EQ(EOS_EpicAccountId_ToString(nullptr, text, &length), EOS_EResult::EOS_InvalidUser);
    EXPECT_EQ(EOS_EpicAccountId_FromString(vondtest::kAccountId), user);
    EXPECT_EQ(EOS_Auth_GetLoggedInAccountByIndex(EOS_Platform_GetAuthInterface(platform), 1), nullptr);
    EXPECT_STREQ(EOS_EResult_ToString(EOS_EResult::EOS_Ecom_EntitlementStale), "EOS_Ecom_EntitlementStale");

    EOS_Platform_Release(platform);
    EXPECT_EQ(EOS_Shutdown(), EOS_EResult::EOS_Success);
    EXPECT_EQ(EOS_Shutdown(), EOS_EResult::EOS_UnexpectedError);
    EXPECT_EQ(EOSSim_GetCallCount("EOS_Shutdown"), 3);
}

TEST(EosSim, PurchasesOutliveTheProcessInTheStateFile) {
    vondtest::TempDir dir;
    const std::string stateFile = dir.Path() + "/eos-state.json";
    const json scenario = vondtest::BaseScenario({{"stateFile", stateFile}});
    vondtest::LoadScenario(scenario);
    Initialize();
    EOS_HPlatform platform = CreatePlatform();
    ASSERT_NE(platform, nullptr);
    EOS_EpicAccountId user = Login(platform);

    EOS_Ecom_CheckoutEntry entry{EOS_ECOM_CHECKOUTENTRY_API_LATEST, "offer-1"};
    EOS_Ecom_CheckoutOptions options{};
    options.ApiVersion = EOS_ECOM_CHECKOUT_API_LATEST;
    options.LocalUserId = user;
    options.EntryCount = 1;
    options.Entries = &entry;
    Outcome outcome;
    EOS_Ecom_Checkout(EOS_Platform_GetEcomInterface(platform), &options, &outcome, &OnCheckout);
    // The store granted at "buy": the entitlement is on disk before the game hears anything.
    EXPECT_EQ(EOSSim_GetPendingCompletions(), 1);
    std::string text;
    ASSERT_TRUE(vondtest::ReadFile(stateFile, text));
    const json saved = json::parse(text);
    ASSERT_EQ(saved["entitlements"].size(), 1u);
    EXPECT_EQ(saved["entitlements"][0]["redeemed"], false);

    // The game dies here. The next game process finds the purchase unredeemed.
    vondtest::LoadScenario(scenario);
    json entitlements = vondtest::SimEntitlements();
    ASSERT_EQ(entitlements.size(), 1u);
    EXPECT_EQ(entitlements[0]["entitlementName"], "gem-pack");
    EXPECT_EQ(entitlements[0]["redeemed"], false);
    EXPECT_EQ(entitlements[0]["redemptionCount"], 0);
    // Only whole files are ever in place: no temporary file is left beside it.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        EXPECT_EQ(entry.path().filename().string(), "eos-state.json");
        ++files;
    }
    EXPECT_EQ(files, 1u);

    // A state file that is not the stand-in's keeps the scenario's own entitlements.
    vondtest::WriteFile(stateFile, "{\"entitlements\": [tru");
    json withOne = scenario;
    withOne["entitlements"] = json::array(
        {json{{"accountId", std::string(vondtest::kAccountId)}, {"entitlementId", "ent-1"}, {"entitlementName", "x"}}});
    vondtest::LoadScenario(withOne);
    entitlements = vondtest::SimEntitlements();
    ASSERT_EQ(entitlements.size(), 1u);
    EXPECT_EQ(entitlements[0]["entitlementId"], "ent-1");
    EXPECT_NE(EOSSim_LoadScenario("not json"), 0);
    EXPECT_EQ(vondtest::SimEntitlements().size(), 1u);
}
