#include "support/EosTestEnv.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "eossim.h"
#include "service/EosPlatform.h"

namespace vondtest {

const char kAccountId[] = "0123456789abcdef0123456789abcdef";
const char kExchangeCode[] = "exchange-code-a";
const char kIdToken[] = "header.payload-a.signature";
const char kAccessToken[] = "access-token-a";

nlohmann::json BaseScenario(const nlohmann::json& extra) {
    nlohmann::json scenario = {
        {"accounts",
         {{{"exchangeCode", kExchangeCode}, {"accountId", kAccountId}, {"idToken", kIdToken}, {"accessToken", kAccessToken}}}},
        {"offers",
         {{{"offerId", "offer-1"}, {"entitlementName", "gem-pack"}, {"catalogItemId", "item-1"}, {"entitlementsPerCheckout", 1}},
          {{"offerId", "offer-3"}, {"entitlementName", "gem-bundle"}, {"catalogItemId", "item-3"}, {"entitlementsPerCheckout", 3}}}},
    };
    for (auto it = extra.begin(); it != extra.end(); ++it) scenario[it.key()] = it.value();
    return scenario;
}

void LoadScenario(const nlohmann::json& scenario) {
    ASSERT_EQ(EOSSim_LoadScenario(scenario.dump().c_str()), 0);
}

EosGameInfo FullGameInfo() {
    EosGameInfo info;
    info.productName = "VondGame";
    info.productVersion = "1.0.0";
    info.productId = "product-1";
    info.clientId = "client-1";
    info.clientSecret = "secret-1";
    info.sandboxId = "sandbox-1";
    info.deploymentId = "deployment-1";
    return info;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        VondSdk::FPlatform::Update();
        std::this_thread::yield();
    }
    return true;
}

namespace {
nlohmann::json ReadJson(const std::function<int32_t(char*, int32_t*)>& read) {
    int32_t length = 0;
    char probe[1];
    read(probe, &length);
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    length = static_cast<int32_t>(buffer.size());
    if (read(buffer.data(), &length) != 0) return nlohmann::json();
    return nlohmann::json::parse(buffer.data(), nullptr, false);
}
}  // namespace

nlohmann::json SimEntitlements(const std::string& accountId) {
    return ReadJson([&](char* buffer, int32_t* length) { return EOSSim_GetEntitlements(accountId.c_str(), buffer, length); });
}

nlohmann::json SimState() {
    return ReadJson([](char* buffer, int32_t* length) { return EOSSim_GetStateJson(buffer, length); });
}

size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace vondtest
