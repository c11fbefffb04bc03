// The stand-in's scenario (see scenario.h).
#include "scenario.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <nlohmann/json.hpp>

#include "sim_files.h"
#include "state_file.h"

namespace eossim {

using nlohmann::json;

namespace {

constexpr char kDefaultScenario[] = R"({
  "accounts": [{"exchangeCode": "eossim-exchange-code", "accountId": "e05a1d2f3c4b5a69788796a5b4c3d2e1",
                "idToken": "eyJhbGciOiJub25lIn0.eyJzdWIiOiJlMDVhMWQyZjNjNGI1YTY5Nzg4Nzk2YTViNGMzZDJlMSJ9.",
                "accessToken": "eossim-access-token"}],
  "offers": [{"offerId": "eossim-offer", "entitlementName": "eossim-item", "catalogItemId": "eossim-catalog-item",
              "entitlementsPerCheckout": 1}],
  "anyOffer": true
})";

// A result given in a scenario: its name ("EOS_Canceled") or its number.
bool ResultFromJson(const json& value, EOS_EResult& result) {
    if (value.is_number_integer()) {
        result = static_cast<EOS_EResult>(value.get<int32_t>());
        return true;
    }
    if (!value.is_string()) return false;
    return ResultFromName(value.get<std::string>(), result);
}

}  // namespace

bool LoadScenarioLocked(Sim& sim, const std::string& text) {
    json scenario = json::parse(text, nullptr, false);
    if (scenario.is_discarded() || !scenario.is_object()) return false;

    sim.accounts.clear();
    sim.offers.clear();
    sim.entitlements.clear();
    sim.quirks.clear();
    sim.transactions.clear();
    sim.failures.clear();
    sim.calls.clear();
    sim.offTickThreadCalls = 0;
    sim.nestedTicks = 0;
    sim.ticked = false;

    if (auto it = scenario.find("accounts"); it != scenario.end() && it->is_array()) {
        for (const json& item : *it) {
            if (!item.is_object()) continue;
            Account account{Str(item, "exchangeCode"), Str(item, "accountId"), Str(item, "idToken"),
                            Str(item, "accessToken")};
            if (account.accountId.empty()) continue;
            if (account.idToken.empty()) account.idToken = "eossim-id-token-" + account.accountId;
            if (account.accessToken.empty()) account.accessToken = "eossim-access-token-" + account.accountId;
            sim.accounts.push_back(std::move(account));
        }
    }
    if (auto it = scenario.find("offers"); it != scenario.end() && it->is_array()) {
        for (const json& item : *it) {
            if (!item.is_object()) continue;
            Offer offer{Str(item, "offerId"), Str(item, "entitlementName"), Str(item, "catalogItemId"),
                        Int(item, "entitlementsPerCheckout", 1)};
            if (offer.offerId.empty()) continue;
            if (offer.entitlementName.empty()) offer.entitlementName = offer.offerId;
            if (offer.catalogItemId.empty()) offer.catalogItemId = offer.offerId;
            sim.offers.push_back(std::move(offer));
        }
    }
    if (auto it = scenario.find("entitlements"); it != scenario.end() && it->is_array()) {
        for (const json& item : *it) {
            Entitlement e;
            if (!EntitlementFromJson(item, e)) continue;
            EntitlementQuirk quirk;
            quirk.stale = Bool(item, "stale");
            if (auto copy = item.find("copyResult"); copy != item.end()) ResultFromJson(*copy, quirk.copyResult);
            sim.quirks[e.entitlementId] = quirk;
            sim.entitlements.push_back(std::move(e));
        }
    }
    sim.anyOffer = Bool(scenario, "anyOffer");
    sim.loginTicks = std::max(1, Int(scenario, "loginTicks", 1));
    sim.checkoutTicks = std::max(1, Int(scenario, "checkoutTicks", 1));
    sim.failPlatformCreate = false;
    sim.staleEntitlements = false;
    sim.checkoutGrantsOnFailure = false;
    if (auto it = scenario.find("failures"); it != scenario.end() && it->is_object()) {
        for (auto entry = it->begin(); entry != it->end(); ++entry) {
            if (entry.key() == "platformCreate") {
                sim.failPlatformCreate = entry->is_boolean() && entry->get<bool>();
            } else if (entry.key() == "staleEntitlements") {
                sim.staleEntitlements = entry->is_boolean() && entry->get<bool>();
            } else if (entry.key() == "checkoutGrantsOnFailure") {
                sim.checkoutGrantsOnFailure = entry->is_boolean() && entry->get<bool>();
            } else {
                EOS_EResult result;
                if (ResultFromJson(*entry, result) && result != EOS_EResult::EOS_Success) {
                    sim.failures[entry.key()] = result;
                }
            }
        }
    }
    sim.stateFile = Str(scenario, "stateFile");
    LoadStateLocked(sim);
    sim.scenarioLoaded = true;
    return true;
}

void EnsureScenarioLocked(Sim& sim) {
    if (sim.scenarioLoaded) return;
    std::random_device device;
    sim.idSeed = (static_cast<uint64_t>(device()) << 32) ^ device() ^
                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string text = kDefaultScenario;
    if (const char* path = std::getenv("VOND_EOSSIM_SCENARIO"); path != nullptr && *path != '\0') {
        std::string fileText;
        if (ReadWholeFile(path, fileText)) {
            text = fileText;
        } else {
            std::fprintf(stderr, "eossim: cannot read the scenario %s; using the default one\n", path);
        }
    }
    if (!LoadScenarioLocked(sim, text)) {
        std::fprintf(stderr, "eossim: the scenario is not a JSON object; using the default one\n");
        LoadScenarioLocked(sim, kDefaultScenario);
    }
}

}  // namespace eossim
